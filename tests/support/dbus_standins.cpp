// Stand-ins for desktop services on D-Bus, for tests: idle monitors, session managers, logind
// (on the bus named by --system, else the session bus) and a StatusNotifierWatcher. Prints
// "ready" once its names are taken and one line for every call it receives.
//
//   dbus_standins [--mutter MS] [--screensaver MS] [--logind IDLE_SINCE_US|active] [--system]
//                 [--session-manager gnome|kde|mate|xfce] [--busy N] [--refuse ERROR]
//                 [--watcher] [--end-on-logout closing|removed] [--ksmserver 5|6|6-cancel]
//                 [--inhibit logind|logind-sleep|logind-idle|gnome|pm]
// logind as logind 252 is: the session's processes are those that asked about it; TerminateSession
// makes it "closing" and sends them SIGTERM, the caller too, before it answers, and does nothing
// (successfully) when it is closing already; no PropertiesChanged for State; SessionRemoved once
// none of them is left. --end-on-logout: a logout makes the session "closing" half a second later
// (no signal) or "removed" at once, as a desktop's would. IDLE_SINCE_US is on CLOCK_MONOTONIC;
// the wall-clock IdleSinceHint is given as logind keeps it after time sync set the clock 2 h
// forward: recorded before the step, so 2 h short of the wall clock now.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <unistd.h>

namespace {

void said(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

std::function<void()> onLogout = [] {};

// A session manager's answer to a logout: refused `busy` times with `busyError` (as while its
// session starts), or always with `refusal`.
int busy = 0;
QString busyError, refusal;
bool refused(QDBusContext &context, const QString &who)
{
    const bool isBusy = busy > 0 && busy--;
    if (!isBusy && refusal.isEmpty())
        return false;
    said(who + QStringLiteral(" Logout refused"));
    context.sendErrorReply(isBusy ? busyError : refusal,
                           isBusy ? QStringLiteral("Session manager must be in idle state")
                                  : QStringLiteral("Not allowed"));
    return true;
}

bool alive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
}

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/c7");

QString inhibit; // who holds an idle inhibitor: logind, gnome or pm

} // namespace

// logind's inhibitor lock: what, who, why, mode, uid, pid.
struct Inhibitor
{
    QString what, who, why, mode;
    uint uid = 0, pid = 0;
};
Q_DECLARE_METATYPE(Inhibitor)
QDBusArgument &operator<<(QDBusArgument &a, const Inhibitor &i)
{
    a.beginStructure();
    a << i.what << i.who << i.why << i.mode << i.uid << i.pid;
    a.endStructure();
    return a;
}
const QDBusArgument &operator>>(const QDBusArgument &a, Inhibitor &i)
{
    a.beginStructure();
    a >> i.what >> i.who >> i.why >> i.mode >> i.uid >> i.pid;
    a.endStructure();
    return a;
}

class PowerManagement : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PowerManagement.Inhibit")
public slots:
    bool HasInhibit() { return true; }
};

class Mutter : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.Mutter.IdleMonitor")
public:
    quint64 ms = 0;
public slots:
    quint64 GetIdletime() { return ms; }
};

class ScreenSaver : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    uint ms = 0;
public slots:
    uint GetSessionIdleTime() { return ms; }
};

class LogindSession : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(bool IdleHint READ idleHint)
    Q_PROPERTY(quint64 IdleSinceHint READ idleSinceHint)
    Q_PROPERTY(quint64 IdleSinceHintMonotonic READ idleSinceHintMonotonic)
    Q_PROPERTY(QString State READ state)
    Q_PROPERTY(QString Scope READ scope)
public:
    quint64 since = 0;
    bool idle = false;
    QString current = QStringLiteral("active");
    QString state() const { return current; }
    QString id() const { return QStringLiteral("c7"); }
    bool idleHint() const { return idle; }
    quint64 idleSinceHintMonotonic() const { return since; }
    quint64 idleSinceHint() const
    {
        if (!idle)
            return 0;
        timespec mono{};
        clock_gettime(CLOCK_MONOTONIC, &mono);
        const qint64 idleUs = qint64(mono.tv_sec) * 1000000 + mono.tv_nsec / 1000 - qint64(since);
        return quint64(QDateTime::currentMSecsSinceEpoch() * 1000 - idleUs - 7200LL * 1000000);
    }
    QString scope() const { return QStringLiteral("session-c7.scope"); }
};

class LogindManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    LogindManager(LogindSession &session, QDBusConnection bus) : session_(session), bus_(bus)
    {
        connect(&reaper_, &QTimer::timeout, this, [this] {
            if (std::none_of(processes_.begin(), processes_.end(), alive))
                remove();
        });
    }
    void close() // no PropertiesChanged, as logind 252
    {
        session_.current = QStringLiteral("closing");
        said(QStringLiteral("logind session closing"));
        reaper_.start(100);
    }
    void remove()
    {
        reaper_.stop();
        bus_.unregisterObject(kSessionPath);
        QDBusMessage removed = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("SessionRemoved"));
        bus_.send(removed << QStringLiteral("c7")
                          << QVariant::fromValue(QDBusObjectPath(kSessionPath)));
        said(QStringLiteral("logind session removed"));
    }
public slots:
    // With --inhibit logind: the user's idle lock among others that do not count; logind-sleep:
    // the user's block lock of sleep alone; logind-idle: of idle alone.
    QList<Inhibitor> ListInhibitors()
    {
        if (inhibit == QLatin1String("logind-sleep"))
            return {{"sleep", "updater", "Installing", "block", ::getuid(), 1}};
        if (inhibit == QLatin1String("logind-idle"))
            return {{"idle", "video-call", "Presenting", "block", ::getuid(), 3}};
        if (inhibit != QLatin1String("logind"))
            return {};
        return {{"sleep", "updater", "Installing", "delay", ::getuid(), 1},
                {"shutdown:idle", "other user", "Backing up", "block", ::getuid() + 1, 2},
                {"sleep:idle", "video-call", "Presenting", "block", ::getuid(), 3}};
    }
    QDBusObjectPath GetSessionByPID(uint) { return member(); }
    QDBusObjectPath GetSession(const QString &) { return member(); }
    void TerminateSession(const QString &id)
    {
        said(QStringLiteral("logind TerminateSession ") + id);
        if (session_.current == QLatin1String("closing"))
            return;
        member();
        close();
        for (qint64 pid : std::as_const(processes_))
            ::kill(pid_t(pid), SIGTERM);
        // Answered once the stop is under way: the caller has its SIGTERM by then.
        setDelayedReply(true);
        QTimer::singleShot(
            200, [reply = message().createReply(), bus = connection()] { bus.send(reply); });
    }

private:
    QDBusObjectPath member()
    {
        const qint64 pid = connection().interface()->servicePid(message().service()).value();
        if (pid > 0 && !processes_.contains(pid))
            processes_ << pid;
        return QDBusObjectPath(kSessionPath);
    }

    LogindSession &session_;
    QDBusConnection bus_;
    QList<qint64> processes_;
    QTimer reaper_;
};

class SessionManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.SessionManager")
public slots:
    bool IsInhibited(uint flags) { return inhibit == QLatin1String("gnome") && (flags & 8); }
    void Logout(uint mode)
    {
        if (refused(*this, QStringLiteral("gnome")))
            return;
        said(QStringLiteral("gnome Logout %1").arg(mode));
        onLogout();
    }
};

class MateSessionManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mate.SessionManager")
public slots:
    void Logout(uint mode)
    {
        said(QStringLiteral("mate Logout %1").arg(mode));
        onLogout();
    }
};

class KdeShutdown : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.Shutdown")
public slots:
    void logout()
    {
        said(QStringLiteral("kde logout"));
        onLogout();
    }
};

// KDE's ksmserver: Plasma 6's lists closeSession alone, which plasma-shutdown's logout calls and
// an application that asks to save its work makes false; Plasma 5's still has logout.
class Ksmserver : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.KSMServerInterface")
public:
    bool cancels = false;
public slots:
    bool closeSession()
    {
        said(cancels ? QStringLiteral("ksmserver closeSession cancelled")
                     : QStringLiteral("ksmserver closeSession"));
        if (!cancels)
            onLogout();
        return !cancels;
    }
};
class Ksmserver5 : public Ksmserver
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.KSMServerInterface")
public slots:
    void logout(int confirm, int type, int mode)
    {
        said(QStringLiteral("ksmserver logout %1 %2 %3").arg(confirm).arg(type).arg(mode));
        onLogout();
    }
};

class XfceSessionManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.xfce.Session.Manager")
public slots:
    void Logout(bool showDialog, bool allowSave)
    {
        if (refused(*this, QStringLiteral("xfce")))
            return;
        said(QStringLiteral("xfce Logout %1 %2")
                 .arg(showDialog ? QStringLiteral("true") : QStringLiteral("false"),
                      allowSave ? QStringLiteral("true") : QStringLiteral("false")));
        onLogout();
    }
};

class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    QStringList registered;
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return registered; }
public slots:
    void RegisterStatusNotifierItem(const QString &service)
    {
        registered << service;
        said(QStringLiteral("watcher RegisterStatusNotifierItem ") + service);
        emit StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString &) {}
signals:
    void StatusNotifierItemRegistered(const QString &service);
    void StatusNotifierItemUnregistered(const QString &service);
    void StatusNotifierHostRegistered();
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions(
        {{QStringLiteral("mutter"), QStringLiteral("Mutter idle ms."), QStringLiteral("ms")},
         {QStringLiteral("screensaver"), QStringLiteral("ScreenSaver idle ms."),
          QStringLiteral("ms")},
         {QStringLiteral("logind"), QStringLiteral("IdleSinceHintMonotonic in us, or active."),
          QStringLiteral("us")},
         {QStringLiteral("system"), QStringLiteral("Put logind on this bus address."),
          QStringLiteral("address")},
         {QStringLiteral("session-manager"), QStringLiteral("gnome, kde, mate or xfce."),
          QStringLiteral("name")},
         {QStringLiteral("watcher"), QStringLiteral("A StatusNotifierWatcher.")},
         {QStringLiteral("kde-screensaver"),
          QStringLiteral("Also own org.kde.screensaver, as KDE's locker.")},
         {QStringLiteral("busy"),
          QStringLiteral("GNOME or Xfce refuses this many logouts first, as while starting."),
          QStringLiteral("n")},
         {QStringLiteral("refuse"),
          QStringLiteral("GNOME or Xfce refuses logouts with this error."),
          QStringLiteral("error")},
         {QStringLiteral("inhibit"), QStringLiteral("An idle inhibitor: logind, gnome or pm."),
          QStringLiteral("who")},
         {QStringLiteral("ksmserver"),
          QStringLiteral("KDE's ksmserver: 5, 6, or 6-cancel (an application cancels)."),
          QStringLiteral("plasma")},
         {QStringLiteral("end-on-logout"),
          QStringLiteral("A logout ends logind's session: closing or removed."),
          QStringLiteral("how")}});
    parser.process(app);
    qDBusRegisterMetaType<Inhibitor>();
    qDBusRegisterMetaType<QList<Inhibitor>>();
    inhibit = parser.value(QStringLiteral("inhibit"));
    QDBusConnection session = QDBusConnection::sessionBus();
    const auto exportAll = QDBusConnection::ExportAllContents;
    auto take = [](QDBusConnection &bus, const QString &name) {
        if (!bus.registerService(name)) {
            std::fprintf(stderr, "cannot take %s\n", name.toUtf8().constData());
            std::exit(1);
        }
    };

    Mutter mutter;
    if (parser.isSet(QStringLiteral("mutter"))) {
        mutter.ms = parser.value(QStringLiteral("mutter")).toULongLong();
        session.registerObject(QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"), &mutter,
                               exportAll);
        take(session, QStringLiteral("org.gnome.Mutter.IdleMonitor"));
    }
    ScreenSaver screenSaver;
    if (parser.isSet(QStringLiteral("screensaver"))) {
        screenSaver.ms = parser.value(QStringLiteral("screensaver")).toUInt();
        session.registerObject(QStringLiteral("/ScreenSaver"), &screenSaver, exportAll);
        take(session, QStringLiteral("org.freedesktop.ScreenSaver"));
        if (parser.isSet(QStringLiteral("kde-screensaver")))
            take(session, QStringLiteral("org.kde.screensaver"));
    }
    QDBusConnection system =
        parser.isSet(QStringLiteral("system"))
            ? QDBusConnection::connectToBus(parser.value(QStringLiteral("system")),
                                            QStringLiteral("system"))
            : session;
    LogindSession logindSession;
    LogindManager manager(logindSession, system);
    if (parser.isSet(QStringLiteral("logind"))) {
        const QString value = parser.value(QStringLiteral("logind"));
        logindSession.idle = value != QLatin1String("active");
        logindSession.since = logindSession.idle ? value.toULongLong() : 0;
        system.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager, exportAll);
        system.registerObject(kSessionPath, &logindSession, exportAll);
        take(system, QStringLiteral("org.freedesktop.login1"));
        const QString end = parser.value(QStringLiteral("end-on-logout"));
        if (end == QLatin1String("closing"))
            onLogout = [&manager] { QTimer::singleShot(500, &manager, [&] { manager.close(); }); };
        else if (end == QLatin1String("removed"))
            onLogout = [&manager] { manager.remove(); };
    }
    SessionManager gnome;
    MateSessionManager mate;
    KdeShutdown kde;
    XfceSessionManager xfce;
    const QString sm = parser.value(QStringLiteral("session-manager"));
    busy = parser.value(QStringLiteral("busy")).toInt();
    busyError = sm == QLatin1String("gnome")
                    ? QStringLiteral("org.gnome.SessionManager.NotInRunning")
                    : QStringLiteral("org.xfce.SessionManager.Error.Failed");
    refusal = parser.value(QStringLiteral("refuse"));
    if (sm == QLatin1String("gnome")) {
        session.registerObject(QStringLiteral("/org/gnome/SessionManager"), &gnome, exportAll);
        take(session, QStringLiteral("org.gnome.SessionManager"));
    } else if (sm == QLatin1String("kde")) {
        session.registerObject(QStringLiteral("/Shutdown"), &kde, exportAll);
        take(session, QStringLiteral("org.kde.Shutdown"));
    } else if (sm == QLatin1String("mate")) {
        session.registerObject(QStringLiteral("/org/mate/SessionManager"), &mate, exportAll);
        take(session, QStringLiteral("org.mate.SessionManager"));
    } else if (sm == QLatin1String("xfce")) {
        session.registerObject(QStringLiteral("/org/xfce/SessionManager"), &xfce, exportAll);
        take(session, QStringLiteral("org.xfce.SessionManager"));
    }
    Ksmserver ksmserver6;
    Ksmserver5 ksmserver5;
    if (parser.isSet(QStringLiteral("ksmserver"))) {
        const QString plasma = parser.value(QStringLiteral("ksmserver"));
        Ksmserver *ksmserver = plasma == QLatin1String("5") ? &ksmserver5 : &ksmserver6;
        ksmserver->cancels = plasma == QLatin1String("6-cancel");
        session.registerObject(QStringLiteral("/KSMServer"), ksmserver, exportAll);
        take(session, QStringLiteral("org.kde.ksmserver"));
    }
    PowerManagement pm;
    if (inhibit == QLatin1String("pm")) {
        session.registerObject(QStringLiteral("/org/freedesktop/PowerManagement/Inhibit"), &pm,
                               exportAll);
        take(session, QStringLiteral("org.freedesktop.PowerManagement.Inhibit"));
    }
    Watcher watcher;
    if (parser.isSet(QStringLiteral("watcher"))) {
        session.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher, exportAll);
        take(session, QStringLiteral("org.kde.StatusNotifierWatcher"));
    }
    said(QStringLiteral("ready"));
    return app.exec();
}

#include "dbus_standins.moc"
