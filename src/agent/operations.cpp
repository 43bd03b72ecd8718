#include "operations.h"

#include "Config.h"
#include "WaylandIdle.h"
#include "errors.h"
#include "log.h"
#include "sessiondbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QThread>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include <csignal>
#include <functional>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace operations {

namespace {

constexpr qint64 kMaxScreenSaverTimeout = 32767; // INT16 in the X protocol
constexpr int kLogoffCommandWaitMs = 30000;

int onXError(Display *display, XErrorEvent *event)
{
    char text[256] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    logger::warn(QStringLiteral("X error ignored: %1 (request %2.%3)")
                     .arg(QString::fromLocal8Bit(text))
                     .arg(event->request_code)
                     .arg(event->minor_code));
    return 0;
}

// One display connection of our own, opened on first use, independent of Qt's.
struct X11
{
    std::mutex mutex;
    bool tried = false;
    Display *display = nullptr;
};

X11 &x11()
{
    static X11 state;
    return state;
}

// Caller holds the mutex.
Display *display(X11 &x)
{
    if (!x.tried) {
        x.tried = true;
        installXErrorHandler();
        x.display = XOpenDisplay(nullptr);
    }
    return x.display;
}

} // namespace

QString getCurrentUser()
{
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd *result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_name && *result->pw_name)
        return QString::fromLocal8Bit(result->pw_name);
    return qEnvironmentVariable("USER");
}

void installXErrorHandler()
{
    XSetErrorHandler(onXError);
}

void initIdleDuration(qint64 seconds)
{
    X11 &x = x11();
    std::lock_guard<std::mutex> lock(x.mutex);
    Display *dpy = display(x);
    if (!dpy) {
        logger::debug(QStringLiteral("No X display; screensaver timeout not set"));
        return;
    }
    const qint64 clamped = qBound<qint64>(0, seconds, kMaxScreenSaverTimeout);
    if (clamped != seconds)
        logger::debug(
            QStringLiteral("Screensaver timeout %1 s clamped to %2 s").arg(seconds).arg(clamped));
    int timeout = 0, interval = 0, preferBlanking = 0, allowExposures = 0;
    XGetScreenSaver(dpy, &timeout, &interval, &preferBlanking, &allowExposures);
    XSetScreenSaver(dpy, static_cast<int>(clamped), interval, preferBlanking, allowExposures);
    XSync(dpy, False);
}

bool waylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

namespace {

std::optional<double> xIdle()
{
    X11 &x = x11();
    std::lock_guard<std::mutex> lock(x.mutex);
    Display *dpy = display(x);
    int eventBase = 0, errorBase = 0;
    if (!dpy || !XScreenSaverQueryExtension(dpy, &eventBase, &errorBase))
        return std::nullopt;
    XScreenSaverInfo *info = XScreenSaverAllocInfo();
    if (!info)
        return std::nullopt;
    const Status ok = XScreenSaverQueryInfo(dpy, DefaultRootWindow(dpy), info);
    const unsigned long idleMs = info->idle;
    XFree(info);
    if (!ok)
        return std::nullopt;
    return static_cast<double>(idleMs) / 1000.0;
}

} // namespace

namespace {

// The compositor's idle protocol, connected on first use on the GUI thread and kept open for
// the process's life.
WaylandIdle *waylandIdle()
{
    static WaylandIdle *const source =
        waylandSession() && QCoreApplication::instance()
            ? new WaylandIdle(QString(), QCoreApplication::instance())
            : nullptr;
    return source;
}

QString &idleSourceInUse()
{
    static QString name; // GUI thread only, like every caller
    return name;
}

} // namespace

void startIdleTracking()
{
    waylandIdle();
}

QString idleSourceName()
{
    return idleSourceInUse();
}

double getIdleDuration()
{
    struct Source
    {
        QString label;                 // in the failure text
        std::function<QString()> name; // in the log line of the source in use
        std::function<std::optional<double>(QString *why)> read;
    };
    const auto fixed = [](const char *name) { return [name] { return QLatin1String(name); }; };
    static const std::vector<Source> sources = {
        {QStringLiteral("X11"), fixed("the XScreenSaver extension"),
         [](QString *why) -> std::optional<double> {
             if (waylandSession()) {
                 *why = QStringLiteral("skipped, Wayland session");
                 return std::nullopt;
             }
             const auto seconds = xIdle();
             if (!seconds)
                 *why = QStringLiteral("no X display with the MIT-SCREEN-SAVER extension");
             return seconds;
         }},
        {QStringLiteral("Wayland"),
         [] {
             return QStringLiteral("the Wayland %1 protocol").arg(waylandIdle()->interfaceName());
         },
         [](QString *why) -> std::optional<double> {
             WaylandIdle *source = waylandIdle();
             if (!source) {
                 *why = QStringLiteral("not a Wayland session");
                 return std::nullopt;
             }
             const auto seconds = source->idleSeconds();
             if (!seconds)
                 *why = source->failure();
             return seconds;
         }},
        {QStringLiteral("Mutter"), fixed("org.gnome.Mutter.IdleMonitor"), sessiondbus::mutterIdle},
        {QStringLiteral("org.freedesktop.ScreenSaver"), fixed("org.freedesktop.ScreenSaver"),
         sessiondbus::screenSaverIdle},
        {QStringLiteral("logind"), fixed("logind IdleSinceHint"), sessiondbus::logindIdle},
    };
    QString &inUse = idleSourceInUse();
    QStringList reasons;
    for (const Source &source : sources) {
        QString why;
        if (const auto seconds = source.read(&why)) {
            const QString name = source.name();
            if (inUse != name) {
                inUse = name;
                logger::info(QStringLiteral("Idle time from %1").arg(name));
            }
            return *seconds;
        }
        reasons << QStringLiteral("%1: %2").arg(source.label, why);
    }
    inUse.clear();
    throw OperationError(reasons.join(QStringLiteral("; ")));
}

namespace {

// Runs the command and reports how it ended. Not a QProcess: ending the session may end this
// process first, and the command must then go on rather than be killed with it.
void runLogoffCommand(const QString &program, const QStringList &arguments)
{
    std::vector<QByteArray> args{QFile::encodeName(program)};
    for (const QString &a : arguments)
        args.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        logger::error(QStringLiteral("Logoff command could not be started: %1").arg(program));
        return;
    }
    QElapsedTimer clock;
    clock.start();
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && clock.elapsed() < kLogoffCommandWaitMs)
        QThread::msleep(50);
    if (done != pid) {
        logger::warn(QStringLiteral("Logoff command still running after %1 s; not waiting for it")
                         .arg(kLogoffCommandWaitMs / 1000));
        return;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const QString line = QStringLiteral("Logoff command ended with status %1").arg(code);
    if (code == 0)
        logger::info(line);
    else
        logger::error(line);
}

// The first two ways to log off are programs: LOGOFF_COMMAND, else loginctl for the session.
struct LogoffCommand
{
    QString program;
    QStringList arguments;
    QString description; // as the check program reports it
};

std::optional<LogoffCommand> logoffCommand()
{
    const QString command = config().LOGOFF_COMMAND;
    if (!command.trimmed().isEmpty())
        return LogoffCommand{QStringLiteral("/bin/sh"),
                             {QStringLiteral("-c"), command},
                             QStringLiteral("LOGOFF_COMMAND: %1").arg(command)};
    const QString session = qEnvironmentVariable("XDG_SESSION_ID");
    if (!session.isEmpty())
        return LogoffCommand{QStringLiteral("loginctl"),
                             {QStringLiteral("terminate-session"), session},
                             QStringLiteral("loginctl terminate-session %1").arg(session)};
    return std::nullopt;
}

} // namespace

QString logoffMethod()
{
    if (const auto command = logoffCommand())
        return command->description;
    if (const auto method = sessiondbus::availableLogoutMethod())
        return QStringLiteral("%1 over D-Bus%2")
            .arg(method->name(),
                 method->forced ? QString() : QStringLiteral(", checked and escalated to logind"));
    if (const auto id = sessiondbus::logindSessionId())
        return QStringLiteral("logind TerminateSession of session %1").arg(*id);
    return {};
}

namespace {

bool terminateThroughLogind()
{
    if (!sessiondbus::terminateLogindSession())
        return false;
    logger::info(QStringLiteral("Logging off: logind TerminateSession"));
    logger::info(
        QStringLiteral("Logoff through org.freedesktop.login1.Manager.TerminateSession accepted"));
    return true;
}

// A logout that applications may cancel: this process belongs to the session, so while it is
// alive the session is too. Wait for the end of the session, then end it through logind.
void verifyLogout(const QString &method)
{
    const int seconds = config().LOGOFF_VERIFY_SECONDS;
    if (seconds <= 0)
        return;
    // The session's end must be able to end this process now.
    std::signal(SIGTERM, SIG_DFL);
    logger::info(QStringLiteral("Waiting up to %1 s for the session to end").arg(seconds));
    logger::flush();
    QThread::sleep(static_cast<unsigned long>(seconds));
    logger::warn(
        QStringLiteral(
            "The session is still there %1 s after the logout through %2; ending it through logind")
            .arg(seconds)
            .arg(method));
    if (!terminateThroughLogind())
        logger::error(QStringLiteral(
            "The session could not be ended: logind TerminateSession is not available"));
}

} // namespace

void loggoff()
{
    if (const auto command = logoffCommand()) {
        logger::info(QStringLiteral("Logging off: %1 %2")
                         .arg(command->program, command->arguments.join(QLatin1Char(' '))));
        runLogoffCommand(command->program, command->arguments);
        return;
    }
    for (const sessiondbus::LogoutMethod &method : sessiondbus::logoutMethods()) {
        if (sessiondbus::callLogout(method) != sessiondbus::CallResult::Accepted)
            continue;
        logger::info(QStringLiteral("Logging off: %1 over D-Bus").arg(method.name()));
        logger::info(QStringLiteral("Logoff through %1 accepted").arg(method.name()));
        if (!method.forced)
            verifyLogout(method.name());
        return;
    }
    if (terminateThroughLogind())
        return;
    logger::error(
        QStringLiteral("No logoff method available: set LOGOFF_COMMAND, or run inside a session "
                       "with a session manager or logind"));
}

} // namespace operations
