#include "BrimvaultSystemTray.h"

#include "TrayIcons.h"

#include "agent/base/errors.h"
#include "agent/base/utils.h"
#include "agent/config/Config.h"
#include "agent/ipc/ClientIPC.h"
#include "agent/ipc/protocol.h"
#include "agent/log/events.h"
#include "agent/log/log.h"
#include "agent/operations.h"
#include "agent/process/ScriptExecutorThread.h"
#include "brimvault_agent/app/globals.h"
#include "brimvault_agent/app/translate.h"
#include "brimvault_agent/dialogs/About.h"
#include "brimvault_agent/dialogs/BrimvaultMessageDialog.h"
#include "brimvault_agent/link/MessagesProcessor.h"
#include "brimvault_agent/link/ServiceLink.h"

#include <QApplication>
#include <QJsonDocument>
#include <QMenu>
#include <QTimer>

namespace {

QString mapText(const QVariantMap &map)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(map).toJson(QJsonDocument::Compact));
}

} // namespace

BrimvaultSystemTray::BrimvaultSystemTray(QApplication *app_, QObject *parent)
    : QSystemTrayIcon(parent), app(app_), idleSource(operations::getIdleDuration),
      idleTimeoutSetter(operations::initIdleDuration), clock(&bootclock::now),
      wallClock(&bootclock::wallNow),
      notifier([this](WarningNotices::Kind kind, const QString &title, const QString &text) {
          notices->show(kind, title, text);
      }),
      noticeCloser([this](WarningNotices::Kind kind, bool forGood) {
          forGood ? notices->closeForGood(kind) : notices->close(kind);
      })
{
    notices = new WarningNotices(this, this);
    const TrayIcons icons = TrayIcons::load();
    icon_online = icons.online;
    icon_offline = icons.offline;

    setIcon(icon_online);
    setOnline();

    if (config().TRAY_MENU_ENABLED) {
        aboutParent = qobject_cast<QWidget *>(parent);
        menu = std::make_unique<QMenu>(aboutParent);
        QAction *action = menu->addAction(translate("agent", "About"));
        connect(action, &QAction::triggered, this, &BrimvaultSystemTray::about);
        setContextMenu(menu.get());
    }

    ipc = std::make_unique<ServiceLink>();
    sessionStart = clock();
    wallWatch.emplace(sessionStart, wallClock());
    maxIdleTime.reset();
    showIdleWarn = true;
    maxSessionTime.reset();
    showMaxSessionWarn = true;

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &BrimvaultSystemTray::checkTimers);

    if (!ipc->isAlive())
        throw ServiceUnavailableError(
            QStringLiteral("No connection to service, exiting."),
            QStringLiteral("No usable service at 127.0.0.1:%1 after %2 attempts; the last: %3")
                .arg(config().IPC_PORT)
                .arg(MessagesProcessor::kConnectAttempts)
                .arg(ipc->failureReason()));

    stopped = false;
    connect(ipc.get(), &ServiceLink::disconnect, this, &BrimvaultSystemTray::disconnect);
    connect(ipc.get(), &ServiceLink::displayMessage, this, &BrimvaultSystemTray::displayMessage);
    connect(ipc.get(), &ServiceLink::information, this, &BrimvaultSystemTray::information);
    connect(ipc.get(), &ServiceLink::exit, this, [this] { end(EndCause::LinkLost); });
    connect(ipc.get(), &ServiceLink::logoff, this, &BrimvaultSystemTray::logoff);
    connect(ipc.get(), &ServiceLink::script, this, &BrimvaultSystemTray::executeScript);
    connect(ipc.get(), &ServiceLink::offline, this, &BrimvaultSystemTray::setOffline);
    connect(ipc.get(), &ServiceLink::online, this, &BrimvaultSystemTray::setOnline);

    timer->start(kCheckIntervalMs);
    graceTimerShots = kGraceTicks;
    if (!ipc->start())
        throw AgentError(QStringLiteral("The link thread could not be started"));
}

// The link is destroyed first: its destructor stops it and waits, bounded, for the thread.
BrimvaultSystemTray::~BrimvaultSystemTray() = default;

void BrimvaultSystemTray::setOnline()
{
    setIcon(icon_online);
    setToolTip(
        QStringLiteral("%1: %2").arg(config().APPLICATION_TITLE, translate("agent", "Online")));
}

void BrimvaultSystemTray::setOffline()
{
    setIcon(icon_offline);
    setToolTip(
        QStringLiteral("%1: %2").arg(config().APPLICATION_TITLE, translate("agent", "Offline")));
}

void BrimvaultSystemTray::information(const QVariantMap &info)
{
    // Applied in order, idle then the session length: a bad value ends the handling there, and
    // what was set before it stays.
    try {
        logger::debug(QStringLiteral("Got information message: %1").arg(mapText(info)));
        const ipc::Limits limits = ipc::decodeLimits(info);
        QString error = limits.idle.error;
        if (error.isEmpty()) {
            if (limits.idle.seconds) {
                idleTimeoutSetter(*limits.idle.seconds); // says so in the log when it could
                maxIdleTime = limits.idle.seconds;
            } else {
                maxIdleTime.reset();
            }
            error = limits.maxSession.error;
            if (error.isEmpty() && limits.maxSession.seconds) {
                maxSessionTime = limits.maxSession.seconds;
                logger::debug(QStringLiteral("Set maxsession to %1").arg(*maxSessionTime));
            }
        }
        if (!error.isEmpty())
            logger::error(QStringLiteral("Information message not applied: %1").arg(error));
    } catch (const std::exception &e) {
        logger::error(QStringLiteral("Information message not applied: %1")
                          .arg(utils::exceptionToMessage(e)));
    }
    const QString idle = ipc::limitText(maxIdleTime, false);
    const QString length = ipc::limitText(maxSessionTime, true);
    logger::info(
        QStringLiteral("Session limits: idle %1, session length %2").arg(idle, length),
        logger::event(logger::events::kLimits,
                      {{logger::fields::kIdleLimit, idle.section(QLatin1Char(' '), 0, 0)},
                       {logger::fields::kSessionLimit, length.section(QLatin1Char(' '), 0, 0)}}));
}

void BrimvaultSystemTray::checkTimers()
{
    // An unexpected failure drops the rest of this tick; the timer goes on.
    try {
        noteWallClockStep();
        checkIdle();
        checkMaxSession();
    } catch (const std::exception &e) {
        logger::error(
            QStringLiteral("Session limit check failed: %1").arg(utils::exceptionToMessage(e)));
    }
}

void BrimvaultSystemTray::noteWallClockStep()
{
    const qint64 moved = wallWatch->step(clock(), wallClock());
    if (moved != 0)
        logger::info(QStringLiteral("The wall clock moved %1 s %2; the session length counts real "
                                    "time")
                         .arg(qAbs(moved))
                         .arg(moved > 0 ? QStringLiteral("forward") : QStringLiteral("back")),
                     logger::event(logger::events::kClockStep));
}

void BrimvaultSystemTray::checkIdle()
{
    if (!maxIdleTime)
        return;
    if (graceTimerShots > 0) {
        --graceTimerShots;
        return;
    }
    double idle = 0;
    try {
        idle = idleSource();
    } catch (const std::exception &e) {
        // Only this tick's idle check is lost; the session-length check still runs. A lasting
        // failure is logged once, not every tick.
        const QString reason = QString::fromUtf8(e.what());
        if (idleFailure != reason)
            logger::error(QStringLiteral("Idle time not available: %1").arg(reason));
        idleFailure = reason;
        return;
    }
    if (idleFailure) {
        idleFailure.reset();
        logger::info(QStringLiteral("Idle time available again"));
    }
    const double remaining = double(*maxIdleTime) - idle;
    if (remaining > kIdleWarnSeconds)
        showIdleWarn = true;
    if (idleAtWarning && (remaining > kIdleWarnSeconds || idle < *idleAtWarning)) {
        idleAtWarning.reset(); // the user is back: the warning no longer applies
        noticeCloser(WarningNotices::Idle, false);
    }
    logger::debug(QStringLiteral("User has been idle for: %1").arg(idle));
    if (showIdleWarn && remaining < kIdleWarnSeconds) {
        showIdleWarn = false;
        logger::warn(QStringLiteral(
            "The user has been inactive for too long. The session will end if it does not resume"));
        notifyTimeLeft(WarningNotices::Idle,
                       QT_TRANSLATE_NOOP("agent", "You have been inactive for a while. Your "
                                                  "session will end in %1 unless you resume."),
                       remaining);
        if (config().NOTIFY_USER)
            idleAtWarning = idle;
    }
    if (remaining <= 0) {
        logger::info(QStringLiteral(
            "User has been idle for too long, notifying Broker that service can be reclaimed"));
        end(EndCause::IdleLimit, true);
    }
}

void BrimvaultSystemTray::checkMaxSession()
{
    if (!maxSessionTime || *maxSessionTime == 0) {
        logger::debug(QStringLiteral("Returning because maxSessionTime is zero"));
        return;
    }
    const double elapsed = double((clock() - sessionStart).count()) / 1000.0;
    const double remaining = double(*maxSessionTime) - elapsed;
    logger::debug(QStringLiteral("Remaining time: %1").arg(remaining));
    const char *const phrase = QT_TRANSLATE_NOOP("agent", "Your session will end in %1.");
    if (showMaxSessionWarn && remaining < kSessionWarnSeconds) {
        showMaxSessionWarn = false;
        logger::warn(QStringLiteral("User session will expire in less that 5 minutes"));
        notifyTimeLeft(WarningNotices::Session, phrase, remaining);
        sessionNoticeAt = clock();
        return;
    }
    // The warning on screen says the time actually left, not the time at its first showing.
    if (sessionNoticeAt && (clock() - *sessionNoticeAt).count() >= kNoticeRefreshMs &&
        remaining > 0) {
        notifyTimeLeft(WarningNotices::Session, phrase, remaining);
        sessionNoticeAt = clock();
    }
    if (remaining <= 0) {
        logger::debug(QStringLiteral("Remaining time is less than zero, exiting and logoff"));
        end(EndCause::SessionLimit, true);
    }
}

void BrimvaultSystemTray::displayMessage(const QString &message)
{
    logger::debug(QStringLiteral("Displaying message: %1").arg(message));
    if (!config().NOTIFY_USER)
        return;
    logger::guarded("Showing the message", [&] {
        if (!messageDlg)
            messageDlg = std::make_unique<BrimvaultMessageDialog>();
        messageDlg->displayMessage(message);
    });
}

void BrimvaultSystemTray::notifyTimeLeft(WarningNotices::Kind kind, const char *phrase,
                                         double secondsLeft)
{
    if (!config().NOTIFY_USER)
        return;
    const qint64 left = qMax<qint64>(0, qint64(secondsLeft));
    const QString time =
        translate("agent", "%1 min %2 s").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
    notifier(kind, config().APPLICATION_TITLE, translate("agent", phrase).arg(time));
}

void BrimvaultSystemTray::executeScript(const QString &script)
{
    try {
        logger::debug(QStringLiteral("Executing script"));
        (new ScriptExecutorThread(script))->start();
    } catch (const std::exception &e) {
        logger::error(QStringLiteral("Script not started: %1").arg(utils::exceptionToMessage(e)));
    }
}

void BrimvaultSystemTray::logoff()
{
    end(EndCause::ServiceLogoff, true);
}

void BrimvaultSystemTray::end(EndCause cause, bool logoff)
{
    if (!endCause)
        endCause = cause;
    quit(logoff);
}

void BrimvaultSystemTray::closeNotices()
{
    // Warnings on screen must not outlive the agent.
    try {
        noticeCloser(WarningNotices::Idle, true);
        noticeCloser(WarningNotices::Session, true);
    } catch (...) {
    }
}

void BrimvaultSystemTray::endBeforeExit(EndCause cause)
{
    if (!stopped.exchange(true)) {
        logger::ending(cause);
        ipc->sendLogout(operations::getCurrentUser());
        ipc->stop();
        closeNotices();
    }
    ipc->waitClosed(ClientIPC::kDrainMs + 500);
}

void BrimvaultSystemTray::disconnect() {}

void BrimvaultSystemTray::about()
{
    if (!menu)
        return;
    // Made when first shown, then kept: laying it out loads the font database and the logo,
    // half a MiB that every session would otherwise hold for a dialog few ever open.
    if (!aboutDlg)
        aboutDlg = std::make_unique<About>(aboutParent);
    aboutDlg->exec();
}

void BrimvaultSystemTray::quit(bool logoff)
{
    const bool first = !stopped.exchange(true);
    logger::guarded("Quit", [&] {
        logger::debug(QStringLiteral("Quit invoked, logoff: %1").arg(utils::boolText(logoff)));
        // What the administrator reads to learn why the session ended; once per run.
        if (first)
            logger::ending(endCause.value_or(EndCause::Quit));
    });
    if (first) {
        try {
            if (!ipc->sendLogout(operations::getCurrentUser()) && ipc->isOffline())
                logger::warn(
                    QStringLiteral("No logout could be sent: no connection to the service"));
            timer->stop();
            ipc->stop();
        } catch (...) {
            // Best effort: the agent ends all the same.
        }
        closeNotices();
        ::app::doLogoff = logoff;
    }
    app->quit();
}
