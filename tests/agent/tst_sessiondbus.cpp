#include "LogCapture.h"
#include "PrivateSystemBus.h"

#include "agent/Config.h"
#include "agent/errors.h"
#include "agent/operations.h"
#include "agent/session/LogoffRoute.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/sessiondbus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QProcess>
#include <QtTest>

// Runs on a private session bus (dbus-run-session) and a private "system" bus of its own, with
// the desktop services played by dbus_standins. X11 is out of the way: a Wayland session.
class TestSessionDBus : public QObject
{
    Q_OBJECT

    PrivateSystemBus systemBus;
    QProcess standins, other;
    QStringList names;
    const QByteArray path = qgetenv("PATH");

    void startStandins(const QStringList &args, const QStringList &takes)
    {
        standins.start(QStringLiteral(STANDINS_PATH), args);
        QVERIFY(standins.waitForStarted());
        QVERIFY(standins.waitForReadyRead(5000));
        QCOMPARE(standins.readLine().trimmed(), QByteArray("ready"));
        names = takes;
    }
    // Waits for the next line the stand-ins print about a call.
    QString nextCall()
    {
        if (!standins.canReadLine())
            standins.waitForReadyRead(5000);
        return QString::fromUtf8(standins.readLine().trimmed());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"),
                 "run under dbus-run-session");
        QVERIFY(systemBus.start());
        qputenv("XDG_SESSION_TYPE", "wayland");
        qunsetenv("DISPLAY");
        qunsetenv("XDG_SESSION_ID");
        qunsetenv("XDG_CURRENT_DESKTOP");
        qunsetenv("XDG_SESSION_DESKTOP");
        logger::init({QString(), logger::Level::Debug, 0, 1, false});
        QFile::remove(qEnvironmentVariable("BRIMVAULT_ACTIVATION_LOG"));
    }
    // Another desktop's manager, startable on this bus, was never started.
    void cleanupTestCase()
    {
        const QString activations = qEnvironmentVariable("BRIMVAULT_ACTIVATION_LOG");
        QVERIFY2(activations.isEmpty() || !QFile::exists(activations), "org.kde.Shutdown started");
    }
    void cleanup()
    {
        standins.kill();
        standins.waitForFinished();
        other.kill();
        other.waitForFinished();
        SessionFacts::refresh(); // logind may have been there
        // The bus drops the names a moment after the process is gone.
        QTRY_VERIFY(std::none_of(names.begin(), names.end(), [](const QString &n) {
            return QDBusConnection::sessionBus().interface()->isServiceRegistered(n).value();
        }));
        names.clear();
    }

    // One session, however its display or desktop is spelled; Qt's platform as Qt 5.15 picks it.
    void sessionFacts_data()
    {
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<bool>("wayland");
        QTest::addColumn<QString>("platform");
        QTest::newRow(":320.0") << QStringList{"DISPLAY", ":320.0", "XDG_CURRENT_DESKTOP", "XFCE"}
                                << ":320"
                                << "xfce" << false << "xcb";
        QTest::newRow(":320") << QStringList{"DISPLAY", ":320"} << ":320"
                              << "" << false << "xcb";
        QTest::newRow("remote") << QStringList{"DISPLAY", "host:10.0"} << "host:10"
                                << "" << false << "xcb";
        QTest::newRow("logind id first")
            << QStringList{"DISPLAY", ":0.0", "XDG_SESSION_ID", "4"} << "4"
            << "" << false << "xcb";
        QTest::newRow("GNOME on Wayland")
            << QStringList{"WAYLAND_DISPLAY", "wayland-0",           "XDG_SESSION_TYPE",
                           "wayland",         "XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}
            << "wayland-0"
            << "gnome" << true << "xcb";
        QTest::newRow("Plasma on Wayland") << QStringList{"WAYLAND_DISPLAY",
                                                          "wayland-1",
                                                          "DISPLAY",
                                                          ":1",
                                                          "XDG_SESSION_TYPE",
                                                          "wayland",
                                                          "XDG_CURRENT_DESKTOP",
                                                          "KDE"}
                                           << ":1"
                                           << "kde" << true << "wayland";
        QTest::newRow("forced platform")
            << QStringList{"QT_QPA_PLATFORM", "offscreen:size=9", "XDG_SESSION_DESKTOP", "mate"}
            << "wayland-0"
            << "mate" << false << "offscreen";
    }
    void sessionFacts()
    {
        QFETCH(QStringList, env);
        QFETCH(QString, key);
        QFETCH(QString, desktop);
        QFETCH(bool, wayland);
        QFETCH(QString, platform);
        const SessionFacts facts([&env](const char *name) {
            const int at = env.indexOf(QLatin1String(name));
            return at >= 0 && at % 2 == 0 ? env.value(at + 1) : QString();
        });
        QCOMPARE(facts.key(), key);
        QCOMPARE(facts.desktop(), desktop);
        QCOMPARE(facts.wayland(), wayland);
        QCOMPARE(facts.qtPlatform(), platform);
    }

    // Without a display the screensaver is not set, and the log does not say it was.
    void screensaverLinesAgree()
    {
        LogCapture capture;
        operations::initIdleDuration(600);
        QCOMPARE(capture.count(QStringLiteral("No X display; screensaver timeout not set")), 1);
        QCOMPARE(capture.countStartingWith(QStringLiteral("Set screensaver launching")), 0);
    }

    void mutterComesFirst()
    {
        startStandins({"--mutter", "5000", "--screensaver", "9000"},
                      {"org.gnome.Mutter.IdleMonitor", "org.freedesktop.ScreenSaver"});
        LogCapture capture;
        QCOMPARE(operations::getIdleDuration(), 5.0);
        QCOMPARE(operations::getIdleDuration(), 5.0);
        QCOMPARE(capture.count(QStringLiteral("Idle time from org.gnome.Mutter.IdleMonitor")),
                 1); // once
    }

    // Seconds, as the interface says; milliseconds only from KDE's locker, which owns
    // org.kde.screensaver on the same connection.
    void screenSaverUnit_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<double>("seconds");
        QTest::newRow("seconds") << QStringList{"--screensaver", "39"}
                                 << QStringList{"org.freedesktop.ScreenSaver"} << 39.0;
        QTest::newRow("KDE's milliseconds")
            << QStringList{"--screensaver", "9500", "--kde-screensaver"}
            << QStringList{"org.freedesktop.ScreenSaver", "org.kde.screensaver"} << 9.5;
    }
    void screenSaverUnit()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, names);
        QFETCH(double, seconds);
        startStandins(args, names);
        QCOMPARE(operations::getIdleDuration(), seconds);
        QCOMPARE(operations::idleSourceName(), QStringLiteral("org.freedesktop.ScreenSaver"));
    }

    void logindOfOwnSession()
    {
        const qint64 sinceUs = (QDateTime::currentMSecsSinceEpoch() - 30000) * 1000;
        startStandins({"--logind", QString::number(sinceUs), "--system",
                       QString::fromUtf8(systemBus.address)},
                      {});
        LogCapture capture;
        const double idle = operations::getIdleDuration();
        QVERIFY2(idle >= 29.5 && idle < 40, qPrintable(QString::number(idle)));
        QCOMPARE(capture.count(QStringLiteral("Idle time from logind IdleSinceHint")), 1);
    }

    void logindActiveIsZero()
    {
        startStandins({"--logind", "active", "--system", QString::fromUtf8(systemBus.address)}, {});
        QCOMPARE(operations::getIdleDuration(), 0.0);
    }

    void noSourceIsAClearError()
    {
        try {
            operations::getIdleDuration();
            QFAIL("expected an error");
        } catch (const OperationError &e) {
            const QString text = QString::fromUtf8(e.what());
            // Each source with its own reason.
            QVERIFY2(text.endsWith(QStringLiteral(
                         "; Mutter: not on the bus; org.freedesktop.ScreenSaver: not on the bus; "
                         "logind: not on the bus")),
                     qPrintable(text));
            QVERIFY2(text.startsWith(QStringLiteral("X11: ")) &&
                         text.contains(QStringLiteral("; Wayland: ")),
                     qPrintable(text));
        }
    }

    void logoffThroughTheSessionManager_data()
    {
        QTest::addColumn<QString>("manager");
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("method");
        QTest::addColumn<bool>("forced");
        QTest::addColumn<bool>("ends"); // logind's session closes on the logout
        QTest::newRow("gnome") << "gnome"
                               << "org.gnome.SessionManager"
                               << "gnome Logout 2"
                               << "org.gnome.SessionManager.Logout" << true << false;
        QTest::newRow("kde") << "kde"
                             << "org.kde.Shutdown"
                             << "kde logout"
                             << "org.kde.Shutdown.logout" << false << false;
        QTest::newRow("mate") << "mate"
                              << "org.mate.SessionManager"
                              << "mate Logout 2"
                              << "org.mate.SessionManager.Logout" << true << false;
        QTest::newRow("xfce") << "xfce"
                              << "org.xfce.SessionManager"
                              << "xfce Logout false false"
                              << "org.xfce.Session.Manager.Logout" << false << false;
        QTest::newRow("kde, the session ends") << "kde"
                                               << "org.kde.Shutdown"
                                               << "kde logout"
                                               << "org.kde.Shutdown.logout" << false << true;
        QTest::newRow("xfce, the session ends")
            << "xfce"
            << "org.xfce.SessionManager"
            << "xfce Logout false false"
            << "org.xfce.Session.Manager.Logout" << false << true;
    }
    void logoffThroughTheSessionManager()
    {
        QFETCH(QString, manager);
        QFETCH(QString, service);
        QFETCH(QString, call);
        QFETCH(QString, method);
        QFETCH(bool, forced);
        QFETCH(bool, ends);
        Config c = Config::defaults();
        c.LOGOFF_VERIFY_SECONDS = ends ? 5 : 1;
        setConfig(c);
        QStringList args{"--session-manager", manager,
                         "--logind",          "active",
                         "--system",          QString::fromUtf8(systemBus.address)};
        if (ends)
            args << "--end-on-logout";
        startStandins(args, {service});
        LogCapture capture;
        operations::loggoff();
        QCOMPARE(nextCall(), call);
        const QStringList accepted{QStringLiteral("Logging off: %1 over D-Bus").arg(method),
                                   QStringLiteral("Logoff through %1 accepted").arg(method)};
        if (forced) {
            QCOMPARE(capture.texts(logger::Level::Info), accepted);
            return;
        }
        // One that applications may cancel: the session must end within the time, or logind
        // ends it; one that is closing is left to close.
        if (ends) {
            QCOMPARE(nextCall(), QStringLiteral("logind session closing"));
            QCOMPARE(
                capture.texts(logger::Level::Info).mid(2),
                (QStringList{"Waiting up to 5 s for the session to end",
                             QStringLiteral("The session ended 0 s after the logout through %1")
                                 .arg(method)}));
            QVERIFY(capture.texts(logger::Level::Warn).isEmpty());
            QVERIFY(!standins.waitForReadyRead(500)); // no TerminateSession
            return;
        }
        QCOMPARE(nextCall(), QStringLiteral("logind TerminateSession c7"));
        QCOMPARE(capture.texts(logger::Level::Warn),
                 QStringList{
                     QStringLiteral("The session is still there 1 s after the logout through %1; "
                                    "ending it through logind")
                         .arg(method)});
        QCOMPARE(capture.texts(logger::Level::Info).mid(0, 3),
                 accepted +
                     QStringList{QStringLiteral("Waiting up to 1 s for the session to end")});
    }

    // An error reply is not absence: a manager still starting is asked again, then given up on
    // with its error logged; nothing is taken for "no such service".
    void busyManagerIsRetried()
    {
        setConfig(Config::defaults());
        startStandins({"--session-manager", "xfce", "--busy", "2"}, {"org.xfce.SessionManager"});
        LogCapture capture;
        const auto xfce = sessiondbus::logoutMethods().last();
        QCOMPARE(sessiondbus::callLogout(xfce), sessiondbus::CallResult::Accepted);
        QCOMPARE(capture.countStartingWith(
                     QStringLiteral("Logoff through org.xfce.Session.Manager.Logout refused "
                                    "for now (org.xfce.SessionManager.Error.Failed: Session "
                                    "manager must be in idle state")),
                 2);
        standins.kill();
        standins.waitForFinished();
        startStandins({"--session-manager", "xfce", "--busy", "100"}, {"org.xfce.SessionManager"});
        QCOMPARE(sessiondbus::callLogout(xfce, 1500), sessiondbus::CallResult::Failed);
        QVERIFY(capture.texts(logger::Level::Warn)
                    .last()
                    .startsWith(QStringLiteral("Logoff through org.xfce.Session.Manager.Logout "
                                               "failed: org.xfce.SessionManager.Error.Failed")));
    }

    void logoffThroughLogind()
    {
        setConfig(Config::defaults());
        startStandins({"--logind", "active", "--system", QString::fromUtf8(systemBus.address)}, {});
        LogCapture capture;
        operations::loggoff();
        QCOMPARE(nextCall(), QStringLiteral("logind TerminateSession c7"));
        QCOMPARE(
            capture.texts(logger::Level::Info),
            (QStringList{
                QStringLiteral("Logging off: logind TerminateSession"),
                QStringLiteral(
                    "Logoff through org.freedesktop.login1.Manager.TerminateSession accepted")}));
    }

    // Several desktops' managers on one bus (a template with more than one desktop): the one of
    // the current desktop is used; with no desktop named, the first running one; logind last.
    void routeFollowsTheDesktop_data()
    {
        QTest::addColumn<QByteArray>("desktop");
        QTest::addColumn<QString>("route");
        const QString gnome = "org.gnome.SessionManager.Logout over D-Bus";
        const QString xfce = "org.xfce.Session.Manager.Logout over D-Bus (checked, then ended "
                             "through logind)";
        const QString logind = "logind TerminateSession of session c7";
        QTest::newRow("XFCE") << QByteArray("XFCE") << xfce + ", then " + logind;
        QTest::newRow("ubuntu:GNOME") << QByteArray("ubuntu:GNOME") << gnome + ", then " + logind;
        QTest::newRow("none named")
            << QByteArray() << gnome + ", then " + xfce + ", then " + logind;
    }
    void routeFollowsTheDesktop()
    {
        QFETCH(QByteArray, desktop);
        QFETCH(QString, route);
        qputenv("XDG_CURRENT_DESKTOP", desktop);
        qputenv("PATH", "/nonexistent"); // no loginctl in the route
        startStandins({"--session-manager", "gnome", "--logind", "active", "--system",
                       QString::fromUtf8(systemBus.address)},
                      {"org.gnome.SessionManager", "org.xfce.SessionManager"});
        other.start(QStringLiteral(STANDINS_PATH), {"--session-manager", "xfce"});
        QVERIFY(other.waitForReadyRead(5000));
        SessionFacts::refresh();
        QCOMPARE(LogoffRoute::describe(LogoffRoute::plan(SessionFacts::current())), route);
        qunsetenv("XDG_CURRENT_DESKTOP");
        qputenv("PATH", path);
    }

    void noLogoffMethod()
    {
        setConfig(Config::defaults());
        LogCapture capture;
        operations::loggoff();
        QCOMPARE(capture.texts(logger::Level::Error).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSessionDBus)
#include "tst_sessiondbus.moc"
