#include "BrimvaultSystemTray.h"

#include "agent/config/Config.h"
#include "agent/errors.h"
#include "agent/ipc/ClientIPC.h"
#include "agent/ipc/protocol.h"
#include "agent/log/log.h"
#include "agent/operations.h"
#include "agent/process/ScriptExecutorThread.h"
#include "agent/utils.h"

#include "brimvault_agent/app/globals.h"
#include "brimvault_agent/app/translate.h"
#include "brimvault_agent/dialogs/About.h"
#include "brimvault_agent/dialogs/BrimvaultMessageDialog.h"
#include "brimvault_agent/link/MessagesProcessor.h"
#include "brimvault_agent/link/Reconnector.h"
#include <QHash>

#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QMenu>
#include <QPixmap>
#include <QTimer>

namespace {

// A flat gray copy of `source`: every pixel that is not fully transparent becomes opaque gray
// (128, 128, 128), half-transparent edges included; transparent ones stay transparent.
QPixmap graySilhouette(const QPixmap &source)
{
    const QImage in = source.toImage().convertToFormat(QImage::Format_ARGB32);
    QImage out(in.size(), QImage::Format_ARGB32);
    const QRgb gray = QColor(QStringLiteral("gray")).rgba();
    for (int y = 0; y < in.height(); ++y) {
        const auto *src = reinterpret_cast<const QRgb *>(in.constScanLine(y));
        auto *dst = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < in.width(); ++x)
            dst[x] = qAlpha(src[x]) == 0 ? qRgba(0, 0, 0, 0) : gray;
    }
    QPixmap result = QPixmap::fromImage(out);
    result.setDevicePixelRatio(source.devicePixelRatio());
    return result;
}

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
      noticeCloser([this](WarningNotices::Kind kind) { notices->close(kind); })
{
    notices = new WarningNotices(this, this);
    const Config &cfg = config();
    if (cfg.QT5_USES_FAVICON_FILE && QFileInfo::exists(cfg.QT5_FAVICON_FILE)) {
        logger::warn(
            QStringLiteral("Create tray icon from static file %1").arg(cfg.QT5_FAVICON_FILE));
        icon = QIcon(cfg.QT5_FAVICON_FILE);
    } else {
        QIcon::setThemeSearchPaths({cfg.IMG_DIR});
        QIcon::setThemeName(cfg.QT5_THEME_NAME);
        icon = QIcon::fromTheme(cfg.QT5_ICON_FILE);
    }
    if (icon.isNull())
        throw AgentError(QStringLiteral("Tray icon not available"));
    const QList<QSize> sizes = icon.availableSizes();
    if (sizes.isEmpty())
        throw AgentError(QStringLiteral("Tray icon sizes not available"));

    const QSize size = sizes.first();
    icon_online = QIcon(icon.pixmap(size));
    icon_offline = QIcon(graySilhouette(icon_online.pixmap(size)));

    setIcon(icon_online);
    setOnline();

    if (cfg.TRAY_MENU_ENABLED) {
        auto *parentWidget = qobject_cast<QWidget *>(parent);
        aboutDlg = std::make_unique<About>(parentWidget);
        menu = std::make_unique<QMenu>(parentWidget);
        QAction *action = menu->addAction(translate("agent", "About"));
        connect(action, &QAction::triggered, this, [this] { aboutDlg->exec(); });
        setContextMenu(menu.get());
    }

    ipc = std::make_unique<MessagesProcessor>();
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
                .arg(cfg.IPC_PORT)
                .arg(MessagesProcessor::kConnectAttempts)
                .arg(ipc->failureReason()));

    stopped = false;
    wireLink();
    reconnector = new Reconnector(cfg.IPC_PORT, cfg.IPC_SERVICE_UID, this);
    connect(reconnector, &Reconnector::connected, this, &BrimvaultSystemTray::reconnected);
    connect(reconnector, &Reconnector::gaveUp, this, [this] {
        utils::guarded("Ending without a service", [this] {
            logger::warn(
                QStringLiteral("No service within %1 s; ending").arg(config().RECONNECT_SECONDS));
        });
        end(QStringLiteral("connection to the service lost"));
    });

    timer->start(kCheckIntervalMs);
    graceTimerShots = kGraceTicks;
    if (!startLink())
        throw AgentError(QStringLiteral("The link thread could not be started"));
}

// The link is destroyed first: its destructor stops it and waits, bounded, for the thread.
BrimvaultSystemTray::~BrimvaultSystemTray()
{
    ipc.reset();
}

void BrimvaultSystemTray::wireLink()
{
    connect(ipc.get(), &MessagesProcessor::disconnect, this, &BrimvaultSystemTray::disconnect);
    connect(ipc.get(), &MessagesProcessor::displayMessage, this,
            &BrimvaultSystemTray::displayMessage);
    connect(ipc.get(), &MessagesProcessor::information, this, &BrimvaultSystemTray::information);
    connect(ipc.get(), &MessagesProcessor::exit, this, &BrimvaultSystemTray::linkEnded);
    connect(ipc.get(), &MessagesProcessor::logoff, this, &BrimvaultSystemTray::logoff);
    connect(ipc.get(), &MessagesProcessor::script, this, &BrimvaultSystemTray::executeScript);
}

void BrimvaultSystemTray::linkEnded()
{
    const int seconds = config().RECONNECT_SECONDS;
    if (seconds == 0 || stopped) {
        end(QStringLiteral("connection to the service lost"));
        return;
    }
    utils::guarded("Going offline", [this, seconds] {
        // Limits go on being enforced from here: the timer runs on.
        offline = true;
        setOffline();
        logger::warn(
            QStringLiteral("Lost the connection to the service; reconnecting for up to %1 s")
                .arg(seconds),
            {{"BRIMVAULT_EVENT", QStringLiteral("link-lost")}});
        reconnector->start(seconds);
    });
}

bool BrimvaultSystemTray::startLink()
{
    ipc->start();
    if (!ipc->isRunning()) {
        // Out of threads (a user slice's task limit): nothing would read the service.
        logger::error(QStringLiteral("The link thread could not be started"));
        ipc->stop();
        return false;
    }
    ipc->requestInformation();
    ipc->sendLogin(operations::getCurrentUser());
    return true;
}

void BrimvaultSystemTray::reconnected(ClientIPC *client)
{
    std::unique_ptr<ClientIPC> connected(client);
    utils::guarded("Reconnecting", [&] { takeLink(std::move(connected)); });
}

void BrimvaultSystemTray::takeLink(std::unique_ptr<ClientIPC> connected)
{
    std::unique_ptr<MessagesProcessor> old;
    {
        // An exit hook may be ending the agent on another thread: either it finds the new link
        // and logs out on it, or this finds the agent stopped and the new link never logs in.
        std::lock_guard<std::mutex> lock(linkMutex);
        if (stopped)
            return;
        old = std::move(ipc);
        ipc = std::make_unique<MessagesProcessor>(std::move(connected));
        wireLink();
        if (!startLink()) {
            reconnector->resume();
            return;
        }
    }
    old.reset(); // its loop has ended; the destructor waits, bounded, for its thread
    offline = false;
    setOnline();
    logger::info(
        QStringLiteral("Reconnected to the service after %1 s").arg(reconnector->elapsedSeconds()),
        {{"BRIMVAULT_EVENT", QStringLiteral("connected")}});
}

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
    // A bad value ends the handling here; what was set before it stays.
    try {
        logger::debug(QStringLiteral("Got information message: %1").arg(mapText(info)));
        if (info.contains(QStringLiteral("idle"))) {
            const qint64 idle = ipc::wholeSeconds(info.value(QStringLiteral("idle")));
            idleTimeoutSetter(idle); // says so in the log when it could set it
            maxIdleTime = idle;
        } else {
            maxIdleTime.reset();
        }
        if (info.contains(QStringLiteral("maxSession"))) {
            const qint64 maxSession = ipc::wholeSeconds(info.value(QStringLiteral("maxSession")));
            maxSessionTime = maxSession;
            logger::debug(QStringLiteral("Set maxsession to %1").arg(maxSession));
        }
    } catch (const std::exception &e) {
        logger::error(QStringLiteral("Information message not applied: %1")
                          .arg(utils::exceptionToMessage(e)));
    }
    const auto seconds = [](const std::optional<qint64> &limit, bool zeroIsNone) {
        return !limit || (zeroIsNone && *limit == 0) ? QStringLiteral("none")
                                                     : QStringLiteral("%1 s").arg(*limit);
    };
    const QString idle = seconds(maxIdleTime, false), length = seconds(maxSessionTime, true);
    logger::info(QStringLiteral("Session limits: idle %1, session length %2").arg(idle, length),
                 {{"BRIMVAULT_EVENT", QStringLiteral("limits")},
                  {"BRIMVAULT_IDLE_LIMIT", idle.section(QLatin1Char(' '), 0, 0)},
                  {"BRIMVAULT_SESSION_LIMIT", length.section(QLatin1Char(' '), 0, 0)}});
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
                     logger::event("clock-step"));
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
        noticeCloser(WarningNotices::Idle);
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
        end(QStringLiteral("idle limit reached"), true);
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
        end(QStringLiteral("session limit reached"), true);
    }
}

void BrimvaultSystemTray::displayMessage(const QString &message)
{
    logger::debug(QStringLiteral("Displaying message: %1").arg(message));
    if (!config().NOTIFY_USER)
        return;
    utils::guarded("Showing the message", [&] {
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
    end(QStringLiteral("logoff requested by the service"), true);
}

void BrimvaultSystemTray::end(const QString &cause, bool logoff)
{
    if (endCause.isEmpty())
        endCause = cause;
    quit(logoff);
}

void BrimvaultSystemTray::logEnding(const QString &cause)
{
    // The causes as short keys, for queries across sessions.
    static const QHash<QString, QString> keys = {
        {QStringLiteral("logoff requested by the service"), QStringLiteral("service-logoff")},
        {QStringLiteral("idle limit reached"), QStringLiteral("idle-limit")},
        {QStringLiteral("session limit reached"), QStringLiteral("session-limit")},
        {QStringLiteral("SIGTERM received"), QStringLiteral("sigterm")},
        {QStringLiteral("SIGHUP received"), QStringLiteral("sighup")},
        {QStringLiteral("connection to the service lost"), QStringLiteral("link-lost")},
        {QStringLiteral("the display connection was lost"), QStringLiteral("display-lost")},
        {QStringLiteral("the Wayland compositor went away"), QStringLiteral("compositor-lost")},
        {QStringLiteral("a library ended the process while it was running"),
         QStringLiteral("library-exit")},
        {QStringLiteral("the application was asked to quit"), QStringLiteral("quit")},
    };
    logger::info(QStringLiteral("Ending: %1").arg(cause),
                 {{"BRIMVAULT_EVENT", QStringLiteral("ending")},
                  {"BRIMVAULT_CAUSE", keys.value(cause, QStringLiteral("other"))}});
}

void BrimvaultSystemTray::closeNotices()
{
    // Warnings on screen must not outlive the agent.
    try {
        noticeCloser(WarningNotices::Idle);
        noticeCloser(WarningNotices::Session);
    } catch (...) {
    }
}

void BrimvaultSystemTray::endBeforeExit(const QString &cause)
{
    MessagesProcessor *link = nullptr;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(linkMutex);
        // Once stopped, no reconnect replaces the link, and the tray outlives this call.
        link = ipc.get();
        first = !stopped.exchange(true);
        if (first) {
            logEnding(cause);
            link->sendLogout(operations::getCurrentUser());
            link->stop();
        }
    }
    if (first)
        closeNotices();
    // A reconnect attempt must not run on while exit() destroys what it reads.
    reconnector->close(Reconnector::kAttemptWaitMs);
    link->waitClosed(ClientIPC::kDrainMs + 500);
}

void BrimvaultSystemTray::disconnect() {}

void BrimvaultSystemTray::about()
{
    if (aboutDlg)
        aboutDlg->exec();
}

void BrimvaultSystemTray::quit(bool logoff)
{
    const bool first = !stopped.exchange(true);
    utils::guarded("Quit", [&] {
        logger::debug(QStringLiteral("Quit invoked, logoff: %1").arg(utils::boolText(logoff)));
        // What the administrator reads to learn why the session ended; once per run.
        if (first)
            logEnding(endCause.isEmpty() ? QStringLiteral("the application was asked to quit")
                                         : endCause);
    });
    if (first) {
        try {
            reconnector->stop();
            if (!ipc->sendLogout(operations::getCurrentUser()) && offline)
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
