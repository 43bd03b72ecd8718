// Stand-ins for desktop services on D-Bus, for tests: idle monitors, session managers, logind
// (on the bus named by --system, else the session bus) and a StatusNotifierWatcher. Prints
// "ready" once its names are taken and one line for every call it receives.
//
//   dbus_standins [--mutter MS] [--screensaver MS] [--logind IDLE_SINCE_US|active] [--system]
//                 [--session-manager gnome|kde|mate|xfce] [--watcher] [--end-on-logout]
// With --end-on-logout, a logout makes logind's session "closing", as a real session's end would.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QStringList>

#include <cstdio>
#include <functional>

namespace {

void said(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

std::function<void()> onLogout = [] {};

} // namespace

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

class LogindManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public slots:
    QDBusObjectPath GetSessionByPID(uint)
    {
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/session/c7"));
    }
    QDBusObjectPath GetSession(const QString &)
    {
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/session/c7"));
    }
    void TerminateSession(const QString &id)
    {
        said(QStringLiteral("logind TerminateSession ") + id);
    }
};

class LogindSession : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(bool IdleHint READ idleHint)
    Q_PROPERTY(quint64 IdleSinceHint READ idleSinceHint)
    Q_PROPERTY(QString State READ state)
public:
    quint64 since = 0;
    bool idle = false;
    QString current = QStringLiteral("active");
    QString state() const { return current; }
    void close(QDBusConnection bus)
    {
        current = QStringLiteral("closing");
        QDBusMessage changed = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/login1/session/c7"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
        changed << QStringLiteral("org.freedesktop.login1.Session")
                << QVariantMap{{QStringLiteral("State"), current}} << QStringList();
        bus.send(changed);
        said(QStringLiteral("logind session closing"));
    }
    QString id() const { return QStringLiteral("c7"); }
    bool idleHint() const { return idle; }
    quint64 idleSinceHint() const { return since; }
};

class SessionManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.SessionManager")
public slots:
    void Logout(uint mode)
    {
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

class XfceSessionManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.xfce.Session.Manager")
public:
    int busy = 0; // calls refused as while the session starts
public slots:
    void Logout(bool showDialog, bool allowSave)
    {
        if (busy > 0) {
            --busy;
            said(QStringLiteral("xfce Logout refused"));
            sendErrorReply(
                QStringLiteral("org.xfce.SessionManager.Error.Failed"),
                QStringLiteral("Session manager must be in idle state when requesting a shutdown"));
            return;
        }
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
         {QStringLiteral("logind"), QStringLiteral("IdleSinceHint in us, or active."),
          QStringLiteral("us")},
         {QStringLiteral("system"), QStringLiteral("Put logind on this bus address."),
          QStringLiteral("address")},
         {QStringLiteral("session-manager"), QStringLiteral("gnome, kde, mate or xfce."),
          QStringLiteral("name")},
         {QStringLiteral("watcher"), QStringLiteral("A StatusNotifierWatcher.")},
         {QStringLiteral("kde-screensaver"),
          QStringLiteral("Also own org.kde.screensaver, as KDE's locker.")},
         {QStringLiteral("busy"), QStringLiteral("Xfce refuses this many logouts first."),
          QStringLiteral("n")},
         {QStringLiteral("end-on-logout"), QStringLiteral("A logout closes logind's session.")}});
    parser.process(app);
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
    LogindManager manager;
    LogindSession logindSession;
    if (parser.isSet(QStringLiteral("logind"))) {
        QDBusConnection system =
            parser.isSet(QStringLiteral("system"))
                ? QDBusConnection::connectToBus(parser.value(QStringLiteral("system")),
                                                QStringLiteral("system"))
                : session;
        const QString value = parser.value(QStringLiteral("logind"));
        logindSession.idle = value != QLatin1String("active");
        logindSession.since = logindSession.idle ? value.toULongLong() : 0;
        system.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager, exportAll);
        system.registerObject(QStringLiteral("/org/freedesktop/login1/session/c7"), &logindSession,
                              exportAll);
        take(system, QStringLiteral("org.freedesktop.login1"));
        if (parser.isSet(QStringLiteral("end-on-logout")))
            onLogout = [&logindSession, system] { logindSession.close(system); };
    }
    SessionManager gnome;
    MateSessionManager mate;
    KdeShutdown kde;
    XfceSessionManager xfce;
    const QString sm = parser.value(QStringLiteral("session-manager"));
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
        xfce.busy = parser.value(QStringLiteral("busy")).toInt();
        session.registerObject(QStringLiteral("/org/xfce/SessionManager"), &xfce, exportAll);
        take(session, QStringLiteral("org.xfce.SessionManager"));
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
