#include "entry.h"

#include "AbruptEnd.h"
#include "SigTermNotifier.h"
#include "Translations.h"
#include "agent/session/SessionLock.h"
#include "agent/session/TrayHost.h"
#include "globals.h"

#include "agent/base/errors.h"
#include "agent/base/utils.h"
#include "agent/config/Config.h"
#include "agent/log/events.h"
#include "agent/log/log.h"
#include "agent/operations.h"
#include "agent/process/ScriptExecutorThread.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/logoff/SessionEndWatch.h"
#include "brimvault_agent/link/MessagesProcessor.h"
#include "brimvault_agent/tray/BrimvaultSystemTray.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QThread>

#include <csignal>
#include <memory>

namespace app {

namespace {

// What Qt and the About dialog call the agent, and its texts in the user's language.
void setIdentity(Translations &translations)
{
    QCoreApplication::setOrganizationName(config().ORGANIZATION_NAME);
    QCoreApplication::setOrganizationDomain(config().ORGANIZATION_DOMAIN);
    QCoreApplication::setApplicationName(config().APPLICATION_TITLE);
    translations.install();
    logger::setJournalField(logger::fields::kSession, SessionFacts::current().logindId());
}

// Autostart plus a manual start must not give two agents, two logins and every script twice.
// False when another agent has the session.
bool takeSessionLock(SessionLock &lock)
{
    if (lock.acquire())
        return true;
    if (lock.holder() > 0 || lock.error().isEmpty()) {
        logger::warn(
            QStringLiteral("An agent already runs in this session (pid %1); this one steps aside")
                .arg(lock.holder()));
        return false;
    }
    // A lock that cannot be had at all must not keep the session without limits.
    logger::warn(QStringLiteral("Session lock not taken: %1").arg(lock.error()));
    return true;
}

// In autostart the panel often comes up beside the agent: wait for its tray before asking Qt,
// which settles on its route at the first question. True when there is a tray.
bool waitForTray()
{
    const int trayWait = config().TRAY_WAIT_SECONDS;
    if (trayWait > 0 && TrayHost::route().isEmpty()) {
        logger::info(
            QStringLiteral("No system tray yet; waiting up to %1 s for one").arg(trayWait));
        if (TrayHost::waitFor(trayWait))
            logger::info(QStringLiteral("System tray found: %1").arg(TrayHost::route()));
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}

// No tray: the agent ends, unless the administrator chose to have the limits without an icon.
bool runWithoutTray()
{
    if (!config().TRAY_REQUIRED) {
        logger::warn(QStringLiteral("No system tray; running without an icon"));
        return true;
    }
    if (SessionFacts::current().desktop() == QLatin1String("gnome"))
        logger::error(TrayHost::gnomeHint());
    logger::error(QStringLiteral("I couldn't detect any system tray on this system."));
    return false;
}

// After the login is handed to the link, SIGTERM ends the agent with a logout; before that it
// ends the process at once, as there is nothing to announce yet.
void handleSigTerm(SigTermNotifier &sigterm)
{
    QObject::connect(&sigterm, &SigTermNotifier::received, [](int signal) {
        // After the logout, the session's end may come as SIGTERM.
        if (!SessionEndWatch::sessionEnding())
            sigTerm(signal, nullptr);
    });
    if (!sigterm.install(&MessagesProcessor::loginSent()))
        logger::warn(QStringLiteral("SIGTERM handler could not be installed"));
}

// The controller, connected and logged in; null when there is no service.
std::unique_ptr<BrimvaultSystemTray> startTray(QApplication *application)
{
    try {
        auto tray = std::make_unique<BrimvaultSystemTray>(application);
        trayIcon = tray.get();
        AbruptEnd::arm(tray.get());
        return tray;
    } catch (const std::exception &e) {
        logger::exception();
        logger::error(QString::fromUtf8(e.what()));
        logger::error(QStringLiteral("Brimvault Service is not running, or it can't contact with "
                                     "Brimvault Server. User Tools stopped"));
        if (const auto *unavailable = dynamic_cast<const ServiceUnavailableError *>(&e))
            logger::error(unavailable->detail());
        return nullptr;
    }
}

// Idle tracking, the icon, and the event loop until the agent ends.
int run(BrimvaultSystemTray &tray, bool icon)
{
    try {
        operations::initIdleDuration(57600);
        operations::startIdleTracking();
    } catch (const std::exception &e) {
        logger::error(utils::exceptionToMessage(e));
    }
    if (icon)
        tray.show();
    const int result = QApplication::exec();
    logger::debug(QStringLiteral("Exiting"));
    tray.quit();
    return result;
}

// The logoff, if the end asked for one, then nothing left running.
void end(std::unique_ptr<BrimvaultSystemTray> tray)
{
    if (doLogoff) {
        // A logout that has to be checked keeps the process a while, its event loop running
        // so that the session can end it.
        tray->hide();
        try {
            QThread::sleep(1);
            operations::loggoff();
        } catch (const std::exception &e) {
            logger::error(utils::exceptionToMessage(e));
        }
    }
    // Scripts still running would otherwise outlive the threads that watch them.
    ScriptExecutorThread::shutdown(2000);
    AbruptEnd::disarm();
    trayIcon = nullptr;
    tray.reset(); // waits, bounded, for the link to flush the logout and end
}

} // namespace

int main(Args &args)
{
    std::unique_ptr<QApplication> owned;
    QApplication *application = args.app;
    if (!application) {
        owned = makeApplication(args.argc, args.argv);
        application = owned.get();
    }
    Translations translations;
    setIdentity(translations);

    SessionLock lock;
    if (!takeSessionLock(lock))
        return 0;
    const bool icon = waitForTray();
    if (!icon && !runWithoutTray())
        return 1;
    QApplication::setQuitOnLastWindowClosed(false);

    SigTermNotifier sigterm;
    handleSigTerm(sigterm);
    std::unique_ptr<BrimvaultSystemTray> tray = startTray(application);
    if (!tray)
        return 1;
    const int result = run(*tray, icon);
    end(std::move(tray));
    return result;
}

} // namespace app
