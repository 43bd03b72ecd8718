#include "Needs.h"
#include "SimulatorEvents.h"

#include "brimvault_agent/tray/WarningNotices.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <thread>
#include <unistd.h>

// The warnings on a real notification server (dunst), on a private session bus and display.
class TestWarningNotices : public QObject
{
    Q_OBJECT

    QProcess dunst;

    static int displayed()
    {
        QProcess ctl;
        ctl.start(QStringLiteral("dunstctl"),
                  {QStringLiteral("count"), QStringLiteral("displayed")});
        ctl.waitForFinished(5000);
        return ctl.exitCode() == 0 ? ctl.readAllStandardOutput().trimmed().toInt() : -1;
    }

private slots:
    void initTestCase()
    {
        NEED_PROGRAM("dunst", "dunst");
        dunst.start(QStringLiteral("dunst"), QStringList());
        QVERIFY(dunst.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     QStringLiteral("org.freedesktop.Notifications")),
                                 10000);
    }
    void cleanupTestCase()
    {
        dunst.terminate();
        dunst.waitForFinished(5000);
    }

    // They wait for the user, replace rather than stack, and the idle one can be taken back.
    void warningsStayReplaceAndClose()
    {
        QSystemTrayIcon tray;
        WarningNotices notices(&tray);
        notices.show(WarningNotices::Idle, QStringLiteral("Agent"),
                     QStringLiteral("idle, 1 min 50 s"));
        notices.show(WarningNotices::Session, QStringLiteral("Agent"),
                     QStringLiteral("session, 4 min 55 s"));
        QTRY_COMPARE(displayed(), 2);
        QTest::qWait(15000); // past any expiry a server would apply by default
        QCOMPARE(displayed(), 2);
        notices.show(WarningNotices::Idle, QStringLiteral("Agent"),
                     QStringLiteral("idle, 1 min 45 s"));
        QTest::qWait(300);
        QCOMPARE(displayed(), 2);
        notices.close(WarningNotices::Idle);
        QTRY_COMPARE(displayed(), 1);
        notices.close(WarningNotices::Session);
        QTRY_COMPARE(displayed(), 0);
    }

    // The end closes for good: a warning that the server put up while the agent was ending is
    // taken down as well (here the end comes while the server, stopped, holds its answer).
    void theEndWinsOverAShowUnderWay()
    {
        QSystemTrayIcon tray;
        WarningNotices notices(&tray);
        const pid_t server = pid_t(dunst.processId());
        ::kill(server, SIGSTOP);
        std::thread end([&] {
            QThread::msleep(200);
            notices.closeForGood(WarningNotices::Session); // nothing to close yet
            ::kill(server, SIGCONT);
        });
        notices.show(WarningNotices::Session, QStringLiteral("Agent"), QStringLiteral("4 min"));
        end.join();
        QTRY_COMPARE(displayed(), 0);
        notices.show(WarningNotices::Session, QStringLiteral("Agent"), QStringLiteral("3 min"));
        QTest::qWait(300);
        QCOMPARE(displayed(), 0);
    }

    // The real agent, without a tray here, withdraws its warnings when it ends: on SIGTERM, and
    // when its display goes away, which ends it through an exit hook.
    void agentWithdrawsItsWarnings_data()
    {
        QTest::addColumn<bool>("displayGoes");
        QTest::newRow("SIGTERM") << false;
        QTest::newRow("the display goes away") << true;
    }
    void agentWithdrawsItsWarnings()
    {
        QFETCH(bool, displayGoes);
        QTemporaryDir dir;
        QProcess sim, agent;
        SimulatorEvents events(sim);
        sim.start(QStringLiteral(SIM_PATH), {"--port", "0", "--max-session", "200"});
        const QString port =
            events.wait(QStringLiteral("listening")).value(QStringLiteral("port")).toString();
        QFile conf(dir.filePath(QStringLiteral("agent.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QStringLiteral("IPC_PORT = %1\nIPC_SERVICE_UID = %2\nNOTIFY_USER = true\n"
                                  "TRAY_REQUIRED = false\nTRAY_WAIT_SECONDS = 0\nLOG_FILE = %3\n")
                       .arg(port)
                       .arg(::getuid())
                       .arg(dir.filePath(QStringLiteral("agent.log")))
                       .toUtf8());
        conf.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIMVAULT_AGENT_CONFIG"), conf.fileName());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        QProcess xvfb; // the agent's own display, apart from the server's
        if (displayGoes) {
            xvfb.start(QStringLiteral("Xvfb"),
                       {QStringLiteral("-displayfd"), QStringLiteral("1"),
                        QStringLiteral("-nolisten"), QStringLiteral("tcp")});
            QVERIFY(xvfb.waitForReadyRead(10000));
            env.insert(QStringLiteral("DISPLAY"),
                       QLatin1Char(':') + QString::fromLatin1(xvfb.readLine().trimmed()));
        }
        agent.setProcessEnvironment(env);
        agent.start(QStringLiteral(AGENT_PATH), QStringList());
        QVERIFY(!events.wait(QStringLiteral("login")).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(displayed(), 1, 15000); // the session warning, at the first check
        if (displayGoes)
            xvfb.terminate();
        else
            ::kill(pid_t(agent.processId()), SIGTERM);
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), displayGoes ? 1 : 0);
        QCOMPARE(displayed(), 0);
        xvfb.waitForFinished();
        sim.kill();
        sim.waitForFinished();
    }
};

QTEST_MAIN(TestWarningNotices)
#include "tst_warningnotices.moc"
