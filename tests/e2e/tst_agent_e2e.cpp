#include "SimulatorEvents.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The real agent against the real simulator, on a display with a tray host.
class TestAgentE2E : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess sim;
    QProcess agent;
    SimulatorEvents simEvents{sim};
    int port = 0;

    QString log() const
    {
        QFile f(dir.filePath(QStringLiteral("agent.log")));
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
    void startAgent(const QString &extraConfig = {})
    {
        QFile conf(dir.filePath(QStringLiteral("agent.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        conf.write(QStringLiteral("IPC_PORT = %1\nLOG_LEVEL = DEBUG\nLOG_FILE = %2\nLOGOFF_COMMAND = touch '%3'\n%4")
                       .arg(port)
                       .arg(dir.filePath(QStringLiteral("agent.log")), dir.filePath(QStringLiteral("logged-off")), extraConfig)
                       .toUtf8());
        conf.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIMVAULT_AGENT_CONFIG"), conf.fileName());
        agent.setProcessEnvironment(env);
        agent.start(QStringLiteral(AGENT_PATH), QStringList());
        QVERIFY(agent.waitForStarted());
    }

private slots:
    void init()
    {
        simEvents.clear();
        QFile::remove(dir.filePath(QStringLiteral("logged-off")));
        QFile::remove(dir.filePath(QStringLiteral("agent.log")));
        sim.start(QStringLiteral(SIM_PATH), {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--max-session"),
                                             QStringLiteral("100000")});
        QVERIFY(sim.waitForStarted());
        port = simEvents.wait(QStringLiteral("listening")).value(QStringLiteral("port")).toString().toInt();
        QVERIFY(port > 0);
    }
    void cleanup()
    {
        agent.kill();
        agent.waitForFinished();
        sim.kill();
        sim.waitForFinished();
    }

    void sigtermSendsLogoutWithoutLogoff()
    {
        startAgent();
        const QJsonObject login = simEvents.wait(QStringLiteral("login"));
        QVERIFY(!login.value(QStringLiteral("user")).toString().isEmpty());
        QVERIFY(!simEvents.wait(QStringLiteral("information-request")).isEmpty());
        QTest::qWait(1000); // the handler is installed once the icon is shown; before, SIGTERM kills
        ::kill(pid_t(agent.processId()), SIGTERM);
        QVERIFY(agent.waitForFinished(5000));
        QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent.exitCode(), 0);
        QCOMPARE(simEvents.wait(QStringLiteral("logout")).value(QStringLiteral("user")), login.value(QStringLiteral("user")));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
        QVERIFY(log().contains(QStringLiteral("Quit invoked, logoff: False")));
        QVERIFY(!agent.readAllStandardError().contains("QThread: Destroyed"));
    }

    void logoffCommandLogsOffAfterASecond()
    {
        startAgent();
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        sim.write("script echo ran > '" + dir.filePath(QStringLiteral("script-ran")).toUtf8() + "'\n");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath(QStringLiteral("script-ran"))), 10000);
        sim.write("logoff\n");
        QVERIFY(sim.waitForBytesWritten(2000));
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(!simEvents.wait(QStringLiteral("logout")).isEmpty());
        QTRY_VERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
        const QString text = log();
        QVERIFY(text.contains(QStringLiteral("Quit invoked, logoff: True")));
        QVERIFY(text.contains(QStringLiteral("DEBUG [main] Exiting")));
    }

    void serviceClosingEndsWithoutLogoff()
    {
        startAgent();
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        QTest::qWait(2500); // past the first-read pause
        sim.write("close\n");
        QVERIFY(sim.waitForBytesWritten(2000));
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(log().contains(QStringLiteral("WARN [link] Lost connection with Service, closing program")));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
    }
};

QTEST_GUILESS_MAIN(TestAgentE2E)
#include "tst_agent_e2e.moc"
