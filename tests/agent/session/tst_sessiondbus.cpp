#include "LogCapture.h"
#include "PrivateSystemBus.h"

#include "agent/base/errors.h"
#include "agent/config/Config.h"
#include "agent/operations.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/dbus/sessionbus.h"
#include "agent/session/logoff/LogoffRoute.h"
#include "agent/session/logoff/SessionManagers.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QProcess>
#include <QtTest>

#include <thread>

// Runs on a private session bus (dbus-run-session) and a private "system" bus of its own, with
// the desktop services played by dbus_standins. X11 is out of the way: a Wayland session.
class TestSessionDBus : public QObject
{
    Q_OBJECT

    PrivateSystemBus systemBus;
    SigTermAsTheAgent sigterm;
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
        QVERIFY(sigterm.install());
    }
    // Nothing startable on these buses was started: not another desktop's manager, and nothing
    // that was only asked about.
    void cleanupTestCase()
    {
        const QString activations = qEnvironmentVariable("BRIMVAULT_ACTIVATION_LOG");
        QVERIFY(!activations.isEmpty());
        QFile log(activations);
        QVERIFY2(!log.open(QIODevice::ReadOnly), log.readAll().constData());
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
        QTest::addColumn<QString>("described");
        QTest::newRow(":320.0") << QStringList{"DISPLAY", ":320.0", "XDG_CURRENT_DESKTOP", "XFCE"}
                                << ":320"
                                << "xfce" << false << "xcb" << "Xfce on X11";
        QTest::newRow(":320") << QStringList{"DISPLAY", ":320"} << ":320"
                              << "" << false << "xcb" << "X11";
        QTest::newRow("remote") << QStringList{"DISPLAY", "host:10.0"} << "host:10"
                                << "" << false << "xcb" << "X11";
        QTest::newRow("logind id first")
            << QStringList{"DISPLAY", ":0.0", "XDG_SESSION_ID", "4"} << "4"
            << "" << false << "xcb" << "X11";
        // Debian's Qt takes Wayland there, as everywhere else.
        QTest::newRow("GNOME on Wayland")
            << QStringList{"WAYLAND_DISPLAY", "wayland-0",           "XDG_SESSION_TYPE",
                           "wayland",         "XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}
            << "wayland-0"
            << "gnome" << true << "wayland" << "GNOME on Wayland";
        QTest::newRow("Plasma on Wayland") << QStringList{"WAYLAND_DISPLAY",
                                                          "wayland-1",
                                                          "DISPLAY",
                                                          ":1",
                                                          "XDG_SESSION_TYPE",
                                                          "wayland",
                                                          "XDG_CURRENT_DESKTOP",
                                                          "KDE"}
                                           << ":1"
                                           << "kde" << true << "wayland"
                                           << "KDE Plasma on Wayland";
        QTest::newRow("forced platform")
            << QStringList{"QT_QPA_PLATFORM", "offscreen:size=9", "XDG_SESSION_DESKTOP", "mate"}
            << "wayland-0"
            << "mate" << false << "offscreen" << "MATE on X11";
    }
    void sessionFacts()
    {
        QFETCH(QStringList, env);
        QFETCH(QString, key);
        QFETCH(QString, desktop);
        QFETCH(bool, wayland);
        QFETCH(QString, platform);
        QFETCH(QString, described);
        const SessionFacts facts([&env](const char *name) {
            const int at = env.indexOf(QLatin1String(name));
            return at >= 0 && at % 2 == 0 ? env.value(at + 1) : QString();
        });
        QCOMPARE(facts.key(), key);
        QCOMPARE(facts.desktop(), desktop);
        QCOMPARE(facts.wayland(), wayland);
        QCOMPARE(facts.qtPlatform(), platform);
        QCOMPARE(facts.describe(), described);
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
        timespec mono{};
        clock_gettime(CLOCK_MONOTONIC, &mono);
        const qint64 sinceUs = (qint64(mono.tv_sec) - 30) * 1000000 + mono.tv_nsec / 1000;
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

    // An idle inhibitor from each reader, under both policies: "ignore" keeps Mutter's 5 s,
    // "honour" holds 0 (said once), and after the release counts from it.
    void inhibitorsHoldIdle_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("who");
        const QStringList logind{"--logind", "active", "--system", systemBus.address};
        const QString call = "video-call: Presenting";
        // First: a release in an earlier row would cap the idle time it reads.
        QTest::newRow("logind lock of sleep alone does not hold idle")
            << logind + QStringList{"--inhibit", "logind-sleep"} << ""
            << "";
        QTest::newRow("logind") << logind + QStringList{"--inhibit", "logind"} << "" << call;
        QTest::newRow("logind lock of idle alone holds idle")
            << logind + QStringList{"--inhibit", "logind-idle"} << "" << call;
        QTest::newRow("gnome") << QStringList{"--session-manager", "gnome", "--inhibit", "gnome"}
                               << "org.gnome.SessionManager"
                               << "an inhibitor of GNOME's session manager";
        QTest::newRow("pm") << QStringList{"--inhibit", "pm"}
                            << "org.freedesktop.PowerManagement.Inhibit"
                            << "an inhibitor of org.freedesktop.PowerManagement";
    }
    void inhibitorsHoldIdle()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, name);
        QFETCH(QString, who); // empty: the lock does not count
        const QString mutter = "org.gnome.Mutter.IdleMonitor";
        for (const QString policy : {"ignore", "honour"}) {
            Config c = Config::defaults();
            c.IDLE_INHIBITORS = policy;
            setConfig(c);
            startStandins(args + QStringList{"--mutter", "5000"}, {mutter, name});
            LogCapture capture;
            const double held = policy == QLatin1String("honour") && !who.isEmpty() ? 0.0 : 5.0;
            QCOMPARE(operations::getIdleDuration(), held);
            QCOMPARE(operations::getIdleDuration(), held);
            QCOMPARE(capture.countStartingWith("Idle held at 0 by an idle inhibitor: "),
                     held == 0 ? 1 : 0);
            QCOMPARE(capture.count("Idle held at 0 by an idle inhibitor: " + who),
                     held == 0 ? 1 : 0);
            cleanup();
            startStandins({"--mutter", "5000"}, {mutter});
            QVERIFY(operations::getIdleDuration() < (held == 0 ? 1.0 : 5.1));
            QCOMPARE(capture.count("Idle inhibitor released; idle counts from now"),
                     held == 0 ? 1 : 0);
            cleanup();
        }
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

    // manager (with "/5" or "/6" a ksmserver of that Plasma beside it), its call, the method;
    // then how it goes: "" logind's session stays, "closing" half a second later with no signal
    // (logind 252), "removed" at once, "refused" by the manager, "away": the compositor goes
    // away while the watch waits, told from Qt's Wayland thread.
    void logoffThroughTheSessionManager_data()
    {
        QTest::addColumn<QStringList>("row");
        QTest::addColumn<bool>("forced");
        const QString kde = "org.kde.Shutdown.logout", xfce = "org.xfce.Session.Manager.Logout",
                      gnome = "org.gnome.SessionManager.Logout";
        QTest::newRow("gnome") << QStringList{"gnome", "gnome Logout 2", gnome, ""} << true;
        QTest::newRow("kde") << QStringList{"kde", "kde logout", kde, ""} << false;
        QTest::newRow("kde, Plasma 5") << QStringList{"kde/5", "ksmserver logout 0 0 2",
                                                      "org.kde.KSMServerInterface.logout", ""}
                                       << false;
        // Its ksmserver has no logout: asked what it offers, never called.
        QTest::newRow("kde, Plasma 6") << QStringList{"kde/6", "kde logout", kde, ""} << false;
        QTest::newRow("mate") << QStringList{"mate", "mate Logout 2",
                                             "org.mate.SessionManager.Logout", ""}
                              << true;
        QTest::newRow("xfce") << QStringList{"xfce", "xfce Logout false false", xfce, ""} << false;
        QTest::newRow("kde, closing") << QStringList{"kde", "kde logout", kde, "closing"} << false;
        QTest::newRow("kde, compositor goes away")
            << QStringList{"kde", "kde logout", kde, "away"} << false;
        QTest::newRow("xfce, removed")
            << QStringList{"xfce", "xfce Logout false false", xfce, "removed"} << false;
        QTest::newRow("gnome refuses")
            << QStringList{"gnome", "gnome Logout refused", gnome, "refused"} << true;
    }
    void logoffThroughTheSessionManager()
    {
        QFETCH(QStringList, row);
        QFETCH(bool, forced);
        const QString manager = row[0].section('/', 0, 0), plasma = row[0].section('/', 1),
                      call = row[1], method = row[2];
        const bool refused = row[3] == QLatin1String("refused");
        const QString end = refused ? QString() : row[3];
        Config c = Config::defaults();
        c.LOGOFF_VERIFY_SECONDS = end.isEmpty() ? 1 : 5;
        setConfig(c);
        QStringList args{"--session-manager", manager,
                         "--logind",          "active",
                         "--system",          QString::fromUtf8(systemBus.address)};
        if (!plasma.isEmpty())
            args << "--ksmserver" << plasma;
        const bool away = end == QLatin1String("away");
        if ((!end.isEmpty() && !away) || refused)
            args << (refused ? "--refuse" : "--end-on-logout")
                 << (refused ? "org.freedesktop.DBus.Error.AccessDenied" : end);
        const auto &methods = SessionManagers::logoutMethods();
        QStringList takes{std::find_if(methods.begin(), methods.end(), [&](const auto &m) {
                              return m.name() == method;
                          })->service};
        if (!plasma.isEmpty())
            takes << "org.kde.ksmserver" << "org.kde.Shutdown";
        startStandins(args, takes);
        // The check program names the Plasma the bus shows.
        if (!plasma.isEmpty())
            QVERIFY(LogoffRoute::describe(LogoffRoute::plan(SessionFacts::current()))
                        .contains(QStringLiteral("(Plasma %1").arg(plasma)));
        const int terminated = sigterm.received;
        LogCapture capture;
        std::thread wayland;
        QElapsedTimer sinceEnd; // started by the thread that reports the end
        if (away)
            wayland = std::thread([&capture, &sinceEnd] {
                QDeadlineTimer patience(10000);
                while (!patience.hasExpired() &&
                       !capture.count("Waiting up to 5 s for the session to end"))
                    QThread::msleep(5);
                while (!patience.hasExpired() && !SessionEndWatch::sessionEnding())
                    QThread::msleep(1);
                sinceEnd.start();
            });
        operations::loggoff();
        if (wayland.joinable())
            wayland.join();
        // Woken at once, not at its next look at logind.
        if (away)
            QVERIFY2(sinceEnd.elapsed() < SessionEndWatch::kPollMs / 2,
                     qPrintable(QString::number(sinceEnd.elapsed())));
        QCOMPARE(nextCall(), call);
        const QString logind = "org.freedesktop.login1.Manager.TerminateSession";
        // logind ends the session, this process included, before it answers.
        const QStringList terminatedByLogind{
            "Logging off: logind TerminateSession",
            QStringLiteral("The session ended 0 s after the logout through %1").arg(logind)};
        const QStringList info = capture.texts(logger::Level::Info);
        QCOMPARE(info.value(0), QStringLiteral("Logging off: %1 over D-Bus").arg(method));
        if (refused) {
            QCOMPARE(capture.texts(logger::Level::Warn),
                     QStringList{QStringLiteral("Logoff through %1 failed: "
                                                "org.freedesktop.DBus.Error.AccessDenied: Not "
                                                "allowed")
                                     .arg(method)});
            QCOMPARE(nextCall(), QStringLiteral("logind TerminateSession c7"));
            QCOMPARE(info.mid(1), terminatedByLogind);
            QCOMPARE(sigterm.received, terminated + 1);
            return;
        }
        QCOMPARE(info.value(1), QStringLiteral("Logoff through %1 accepted").arg(method));
        if (forced) {
            QCOMPARE(info.size(), 2);
            return;
        }
        // One that applications may cancel: the session must end within the time, or logind
        // ends it; one that is closing, or gone, is left to end.
        if (away) {
            QCOMPARE(info.mid(2),
                     (QStringList{"Waiting up to 5 s for the session to end",
                                  "The session ended 0 s after the logout through " + method}));
            QVERIFY(capture.texts(logger::Level::Warn).isEmpty());
            QVERIFY(!standins.waitForReadyRead(500)); // no TerminateSession
            return;
        }
        if (!end.isEmpty()) {
            QCOMPARE(nextCall(), end == QLatin1String("closing")
                                     ? QStringLiteral("logind session closing")
                                     : QStringLiteral("logind session removed"));
            QCOMPARE(info.value(2), QStringLiteral("Waiting up to 5 s for the session to end"));
            // Seen by asking, about once a second: no signal told.
            const QRegularExpression ended(
                QStringLiteral("The session ended ([0-3]) s after the logout through %1")
                    .arg(QRegularExpression::escape(method)));
            QVERIFY2(info.size() == 4 && ended.match(info.value(3)).hasMatch(),
                     qPrintable(info.join('\n')));
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
        QCOMPARE(info.mid(2),
                 QStringList{"Waiting up to 1 s for the session to end"} + terminatedByLogind);
    }

    // An error reply is not absence: a manager still starting is asked again, then given up on
    // with its error logged; nothing is taken for "no such service".
    void busyManagerIsRetried_data()
    {
        QTest::addColumn<QString>("manager");
        QTest::addColumn<QString>("busyError");
        QTest::newRow("xfce") << "xfce"
                              << "org.xfce.SessionManager.Error.Failed";
        QTest::newRow("gnome") << "gnome"
                               << "org.gnome.SessionManager.NotInRunning";
    }
    void busyManagerIsRetried()
    {
        QFETCH(QString, manager);
        QFETCH(QString, busyError);
        setConfig(Config::defaults());
        const auto method = *std::find_if(
            SessionManagers::logoutMethods().begin(), SessionManagers::logoutMethods().end(),
            [&](const LogoutMethod &m) { return m.desktop == manager; });
        startStandins({"--session-manager", manager, "--busy", "2"}, {method.service});
        LogCapture capture;
        QCOMPARE(SessionManagers::logout(method), SessionManagers::Result::Accepted);
        const QString refused =
            QStringLiteral("Logoff through %1 refused for now (%2: ").arg(method.name(), busyError);
        QCOMPARE(capture.countStartingWith(refused), 2);
        standins.kill();
        standins.waitForFinished();
        startStandins({"--session-manager", manager, "--busy", "100"}, {method.service});
        QCOMPARE(SessionManagers::logout(method, 1500), SessionManagers::Result::Failed);
        QVERIFY(
            capture.texts(logger::Level::Warn)
                .last()
                .startsWith(
                    QStringLiteral("Logoff through %1 failed: %2").arg(method.name(), busyError)));
    }

    // logind ends the session, this process included, before it answers: the logoff is on
    // record before the call. A session that is closing already is not terminated again.
    void logoffThroughLogind()
    {
        setConfig(Config::defaults());
        startStandins({"--logind", "active", "--system", QString::fromUtf8(systemBus.address)}, {});
        const int terminated = sigterm.received;
        LogCapture capture;
        operations::loggoff();
        QCOMPARE(nextCall(), QStringLiteral("logind TerminateSession c7"));
        QCOMPARE(capture.texts(logger::Level::Info),
                 (QStringList{"Logging off: logind TerminateSession",
                              "The session ended 0 s after the logout through "
                              "org.freedesktop.login1.Manager.TerminateSession"}));
        QCOMPARE(sigterm.received, terminated + 1);
        operations::loggoff();
        QCOMPARE(capture.texts(logger::Level::Info).mid(2),
                 QStringList{"The session is already closing"});
        QVERIFY(!standins.waitForReadyRead(500)); // not asked again
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
