#include "entry.h"

#include "AbruptEnd.h"
#include "SessionLock.h"
#include "SigTermNotifier.h"
#include "Translations.h"
#include "TrayHost.h"
#include "globals.h"

#include "agent/Config.h"
#include "agent/ScriptExecutorThread.h"
#include "agent/errors.h"
#include "agent/log.h"
#include "agent/operations.h"
#include "agent/session/SessionEndWatch.h"
#include "agent/session/SessionFacts.h"
#include "agent/utils.h"
#include "brimvault_agent/link/MessagesProcessor.h"
#include "brimvault_agent/tray/BrimvaultSystemTray.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QThread>

#include <csignal>
#include <memory>

namespace app {

int main(Args &args)
{
    std::unique_ptr<QApplication> owned;
    QApplication *application = args.app;
    if (!application) {
        owned = makeApplication(args.argc, args.argv);
        application = owned.get();
    }

    QCoreApplication::setOrganizationName(config().ORGANIZATION_NAME);
    QCoreApplication::setOrganizationDomain(config().ORGANIZATION_DOMAIN);
    QCoreApplication::setApplicationName(config().APPLICATION_TITLE);

    Translations translations;
    translations.install();
    logger::setJournalField("BRIMVAULT_SESSION", SessionFacts::current().logindId());

    // Autostart plus a manual start must not give two agents, two logins and every script twice.
    SessionLock lock;
    if (!lock.acquire()) {
        if (lock.holder() > 0 || lock.error().isEmpty()) {
            logger::warn(QStringLiteral(
                             "An agent already runs in this session (pid %1); this one steps aside")
                             .arg(lock.holder()));
            return 0;
        }
        // A lock that cannot be had at all must not keep the session without limits.
        logger::warn(QStringLiteral("Session lock not taken: %1").arg(lock.error()));
    }

    // In autostart the panel often comes up beside the agent: wait for its tray before asking Qt,
    // which settles on its route at the first question.
    const int trayWait = config().TRAY_WAIT_SECONDS;
    if (trayWait > 0 && TrayHost::route().isEmpty()) {
        logger::info(
            QStringLiteral("No system tray yet; waiting up to %1 s for one").arg(trayWait));
        if (TrayHost::waitFor(trayWait))
            logger::info(QStringLiteral("System tray found: %1").arg(TrayHost::route()));
    }
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        logger::error(QStringLiteral("I couldn't detect any system tray on this system."));
        return 1;
    }

    QApplication::setQuitOnLastWindowClosed(false);

    // A SIGTERM that comes once the login is on its way must still end with a logout, even before
    // the icon is shown; before that point it ends the process at once, as it always did.
    bool termBeforeTray = false;
    SigTermNotifier sigterm;
    QObject::connect(&sigterm, &SigTermNotifier::received, [&termBeforeTray] {
        // After the logout, the session's end may come as SIGTERM.
        if (SessionEndWatch::sessionEnding())
            return;
        if (trayIcon)
            sigTerm(SIGTERM, nullptr);
        else
            termBeforeTray = true;
    });
    if (!sigterm.install(&MessagesProcessor::loginSent()))
        logger::warn(QStringLiteral("SIGTERM handler could not be installed"));

    std::unique_ptr<BrimvaultSystemTray> tray;
    try {
        tray = std::make_unique<BrimvaultSystemTray>(application);
        trayIcon = tray.get();
        AbruptEnd::arm(tray.get());
        if (termBeforeTray) // quit() only takes effect inside the event loop
            QMetaObject::invokeMethod(
                application, [] { sigTerm(SIGTERM, nullptr); }, Qt::QueuedConnection);
    } catch (const std::exception &e) {
        logger::exception();
        logger::error(QString::fromUtf8(e.what()));
        logger::error(QStringLiteral("Brimvault Service is not running, or it can't contact with "
                                     "Brimvault Server. User Tools stopped"));
        if (const auto *unavailable = dynamic_cast<const ServiceUnavailableError *>(&e))
            logger::error(unavailable->detail());
        return 1;
    }

    try {
        operations::initIdleDuration(57600);
        operations::startIdleTracking();
    } catch (const std::exception &e) {
        logger::error(utils::exceptionToMessage(e));
    }

    tray->show();

    const int result = QApplication::exec();

    logger::debug(QStringLiteral("Exiting"));
    tray->quit();

    if (doLogoff) {
        // The agent has ended; a logout that has to be checked keeps the process a while, its
        // event loop running so that the session can end it.
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
    return result;
}

} // namespace app
