#include "LogCapture.h"
#include "Needs.h"
#include "PrivateSystemBus.h"

#include "agent/config/Config.h"
#include "agent/operations.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/dbus/sessionbus.h"
#include "agent/session/idle/IdleTime.h"
#include "agent/session/logoff/SessionManagers.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Logouts against real session managers from Debian, on a private bus and display.
class TestSessionManagers : public QObject
{
    Q_OBJECT

    QTemporaryDir runtime;
    PrivateSystemBus systemBus;
    SigTermAsTheAgent sigterm;

    // libICE's listening socket, named after the session manager's pid in a folder it cannot be
    // told to move; a session that is ended by its logout can leave it behind.
    static void removeIceSocket(qint64 pid)
    {
        QFile::remove(QStringLiteral("/tmp/.ICE-unix/%1").arg(pid));
    }

    static LogoutMethod method(const QString &service)
    {
        for (const auto &m : SessionManagers::logoutMethods())
            if (m.service == service)
                return m;
        return {};
    }

private slots:
    // Nothing here may reach the machine's own buses or runtime folder: a system bus and a
    // runtime folder of the run's own, set before the first D-Bus use (libdbus reads every bus
    // address then).
    void initTestCase()
    {
        logger::init({QString(), logger::Level::Debug, 0, 1, false});
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        QVERIFY(systemBus.start());
        QVERIFY(sigterm.install());
    }

    // xfce4-session refuses a logout while its session starts; the agent asks again until it
    // is idle, and the session then ends.
    void xfceWhileStartingThenIdle()
    {
        NEED_PROGRAM("xfce4-session", "xfce4-session");
        QTemporaryDir home;
        QProcess session;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        session.setProcessEnvironment(env);
        session.start(QStringLiteral("xfce4-session"), QStringList());
        QVERIFY(session.waitForStarted());
        const qint64 pid = session.processId();
        const auto xfce = method(QStringLiteral("org.xfce.SessionManager"));
        // Until it has taken its name it is simply not there.
        QTRY_VERIFY_WITH_TIMEOUT(dbus::hasOwner(xfce.service), 10000);
        LogCapture capture;
        QCOMPARE(SessionManagers::logout(xfce), SessionManagers::Result::Accepted);
        QVERIFY(capture.countStartingWith(
                    QStringLiteral("Logoff through org.xfce.Session.Manager.Logout refused for "
                                   "now (org.xfce.SessionManager.Error.Failed: Session manager "
                                   "must be in idle state")) >= 1);
        QVERIFY(session.waitForFinished(20000)); // the session logged out
        removeIceSocket(pid);
    }

    // gnome-session's Logout(2) is forced: an application's inhibitor does not hold it up. In a
    // logind session (XDG_SESSION_ID set) the desktop's own logout still comes first.
    void gnomeForcedDespiteAnInhibitor()
    {
        NEED_PROGRAM("gnome-session", "gnome-session-bin");
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral("config/gnome-session/sessions"));
        QFile sessionFile(
            home.filePath(QStringLiteral("config/gnome-session/sessions/brimvault.session")));
        QVERIFY(sessionFile.open(QIODevice::WriteOnly));
        sessionFile.write("[GNOME Session]\nName=Brimvault test\nRequiredComponents=\n");
        sessionFile.close();
        // It refuses to start without a system bus; the run's own empty one is enough.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        QProcess session;
        session.setProcessEnvironment(env);
        session.start(QStringLiteral(GNOME_SESSION), {QStringLiteral("brimvault")});
        QVERIFY(session.waitForStarted());
        const qint64 pid = session.processId();
        QTRY_VERIFY_WITH_TIMEOUT(dbus::hasOwner(QStringLiteral("org.gnome.SessionManager")), 10000);
        QProcess inhibitor;
        inhibitor.start(QStringLiteral("gnome-session-inhibit"),
                        {QStringLiteral("--inhibit"), QStringLiteral("logout:idle"),
                         QStringLiteral("sleep"), QStringLiteral("60")});
        QVERIFY(inhibitor.waitForStarted());
        // Its idle inhibitor, as IDLE_INHIBITORS = honour reads it.
        QTRY_VERIFY(IdleTime::inhibitorReport().contains(
            "org.gnome.SessionManager: an inhibitor of GNOME's session manager"));
        qputenv("XDG_SESSION_ID", "c7");
        SessionFacts::refresh();
        setConfig(Config::defaults());
        LogCapture capture;
        QElapsedTimer clock;
        clock.start();
        operations::loggoff();
        // Still starting, it refuses ("NotInRunning") and is asked again.
        QCOMPARE(capture.texts(logger::Level::Info),
                 (QStringList{"Logging off: org.gnome.SessionManager.Logout over D-Bus",
                              "Logoff through org.gnome.SessionManager.Logout accepted"}));
        QCOMPARE(capture.countStartingWith(
                     QStringLiteral("Logoff through org.gnome.SessionManager.Logout failed")),
                 0);
        // Logged out, inhibitor or not; it may have ended while the logoff's loop ran.
        QVERIFY(session.state() == QProcess::NotRunning || session.waitForFinished(20000));
        qInfo("gnome-session ended %lld ms after the logout", clock.elapsed());
        qunsetenv("XDG_SESSION_ID");
        SessionFacts::refresh();
        removeIceSocket(pid);
        inhibitor.kill();
        inhibitor.waitForFinished();
    }

    // KDE's org.kde.Shutdown is not running until called: the call starts it. Its logout is one
    // that applications may cancel: here it cannot finish (no ksmserver), or Plasma 6's ksmserver
    // says an application cancelled it. Either way the session is checked, then ended through
    // logind; Plasma 6's ksmserver, which has no logout, is never called for one.
    void kdeShutdownIsActivatedThenChecked_data()
    {
        QTest::addColumn<QString>("ksmserver");
        QTest::newRow("no ksmserver") << QString();
        QTest::newRow("Plasma 6, an application cancels") << QStringLiteral("6-cancel");
        QTest::newRow("Plasma 6's real ksmserver") << QStringLiteral("real");
    }
    void kdeShutdownIsActivatedThenChecked()
    {
        QFETCH(QString, ksmserver);
        const QString root = qEnvironmentVariable("BRIMVAULT_PLASMA_ROOT");
        if (root.isEmpty())
            QSKIP("run by tst_sessionmanagers_kde, on a bus that can start it");
        NEED_INSTALLED("plasma-shutdown, unpacked by scripts/test,",
                       QFileInfo::exists(root + QStringLiteral("/usr/bin/plasma-shutdown")),
                       "plasma-workspace");
        const QString lib = root + QStringLiteral("/usr/lib/x86_64-linux-gnu");
        QProcess realKsmserver;
        if (ksmserver == QLatin1String("real")) {
            if (!QFileInfo::exists(lib + QStringLiteral("/libkworkspace6.so.6")))
                QSKIP("Plasma 5.27's ksmserver (Debian 12) does not start outside a Plasma "
                      "session; its route is checked against a stand-in (tst_sessiondbus)");
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("LD_LIBRARY_PATH"), lib);
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            realKsmserver.setProcessEnvironment(env);
            realKsmserver.start(root + QStringLiteral("/usr/bin/ksmserver"),
                                {QStringLiteral("--no-lockscreen")});
            QTRY_VERIFY_WITH_TIMEOUT(dbus::hasOwner(QStringLiteral("org.kde.ksmserver")), 10000);
            ksmserver.clear(); // the stand-ins play logind alone
        }
        const QString activations = qEnvironmentVariable("BRIMVAULT_ACTIVATION_LOG");
        QFile::remove(activations);
        QProcess logind;
        QStringList args{QStringLiteral("--logind"), QStringLiteral("active"),
                         QStringLiteral("--system"), QString::fromUtf8(systemBus.address)};
        if (!ksmserver.isEmpty())
            args << QStringLiteral("--ksmserver") << ksmserver;
        logind.start(QStringLiteral(STANDINS_PATH), args);
        QVERIFY(logind.waitForReadyRead(5000));
        QCOMPARE(logind.readLine().trimmed(), QByteArray("ready"));
        qunsetenv("XDG_SESSION_ID");
        qputenv("XDG_CURRENT_DESKTOP", "KDE"); // only then may the bus start KDE's manager
        SessionFacts::refresh();
        QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
            QStringLiteral("org.kde.Shutdown")));
        Config c = Config::defaults();
        c.LOGOFF_VERIFY_SECONDS = 2;
        setConfig(c);
        LogCapture capture;
        const int terminated = sigterm.received;
        operations::loggoff();
        QVERIFY(capture.count(QStringLiteral("Logoff through org.kde.Shutdown.logout accepted")) ==
                1);
        QFile log(activations);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), QByteArray("org.kde.Shutdown activated\n"));
        QCOMPARE(
            capture.texts(logger::Level::Warn).last(),
            QStringLiteral(
                "The session is still there 2 s after the logout through org.kde.Shutdown.logout; "
                "ending it through logind"));
        QTRY_VERIFY2(logind.canReadLine(), qPrintable(capture.allTexts().join(QLatin1Char('\n'))));
        if (!ksmserver.isEmpty()) {
            QCOMPARE(logind.readLine().trimmed(), QByteArray("ksmserver closeSession cancelled"));
            QTRY_VERIFY(logind.canReadLine());
        }
        QCOMPARE(logind.readLine().trimmed(), QByteArray("logind TerminateSession c7"));
        QCOMPARE(capture.countStartingWith(QStringLiteral("Logoff through org.kde.KSMServer")), 0);
        QCOMPARE(sigterm.received, terminated + 1);
        QCOMPARE(capture.texts(logger::Level::Info).last(),
                 QStringLiteral("The session ended 0 s after the logout through "
                                "org.freedesktop.login1.Manager.TerminateSession"));
        qInfo("the route's log:\n  %s",
              qPrintable(capture.allTexts().join(QStringLiteral("\n  "))));
        logind.kill();
        logind.waitForFinished();
        realKsmserver.kill();
        realKsmserver.waitForFinished();
        // The bus drops the stand-ins' names a moment after they are gone.
        QTRY_VERIFY(!dbus::hasOwner(QStringLiteral("org.kde.ksmserver")));
        QTRY_VERIFY(!dbus::hasOwner(QStringLiteral("org.kde.Shutdown")));
    }
};

QTEST_GUILESS_MAIN(TestSessionManagers)
#include "tst_sessionmanagers.moc"
