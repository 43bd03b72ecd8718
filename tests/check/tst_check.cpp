#include "SimulatorEvents.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// The check program in a working session (a tray host, a trusted service) and in a broken one.
class TestCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess sim;
    SimulatorEvents simEvents{sim};

    // Runs the check with a configuration for `port` and `extra` lines, through `wrapper` when
    // given.
    QProcess *check(int port, const QStringList &args, const QStringList &wrapper = {},
                    const QByteArray &extra = {})
    {
        QFile conf(dir.filePath(QStringLiteral("agent.conf")));
        conf.open(QIODevice::WriteOnly | QIODevice::Truncate);
        conf.write(QStringLiteral("IPC_PORT = %1\nIPC_SERVICE_UID = %2\nLOGOFF_COMMAND = true\n")
                       .arg(port)
                       .arg(getuid())
                       .toUtf8() +
                   extra);
        conf.close();
        auto *p = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIMVAULT_AGENT_CONFIG"), conf.fileName());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        p->setProcessEnvironment(env);
        const QStringList command = wrapper + QStringList{QStringLiteral(CHECK_PATH)} + args;
        p->start(command.first(), command.mid(1));
        p->waitForFinished(30000);
        return p;
    }

private slots:
    void workingSession()
    {
        sim.start(QStringLiteral(SIM_PATH),
                  {"--port", "0", "--idle", "900", "--max-session", "28800"});
        QVERIFY(sim.waitForStarted());
        const int port = simEvents.wait(QStringLiteral("listening"))
                             .value(QStringLiteral("port"))
                             .toString()
                             .toInt();
        QProcess *p = check(port, {});
        const QStringList lines = QString::fromUtf8(p->readAllStandardOutput())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(p->exitCode(), 0);
        QStringList names;
        for (const QString &line : lines) {
            names << line.section(QLatin1Char(':'), 0, 0);
            QVERIFY2(line.section(QLatin1Char(' '), 1, 1) == QLatin1String("OK"), qPrintable(line));
        }
        QCOMPARE(names, (QStringList{"configuration", "log", "service", "tray", "idle",
                                     "inhibitors", "logoff", "instance"}));
        QVERIFY(
            lines[2].endsWith(QStringLiteral("policy: idle 900 s, session length 28800 s; if "
                                             "the link is lost: ends (RECONNECT_SECONDS = 0)")));
        QVERIFY(lines[3].contains(QStringLiteral("XEmbed tray host")));
        QVERIFY(
            lines[4].startsWith(QStringLiteral("idle: OK the XScreenSaver extension: idle for ")));
        QVERIFY2(lines[5].startsWith("inhibitors: OK ignored (IDLE_INHIBITORS = ignore)"),
                 qPrintable(lines[5]));
        p = check(port, {}, {}, "IDLE_INHIBITORS = honor\n");
        QVERIFY(QString::fromUtf8(p->readAllStandardOutput())
                    .contains("\ninhibitors: OK honoured: an active one holds idle at 0"));

        // It asked for the policy and left: no login, no logout, no lock.
        QVERIFY(!simEvents.wait(QStringLiteral("information-request")).isEmpty());
        QVERIFY(!simEvents.wait(QStringLiteral("disconnected")).isEmpty());
        QVERIFY(simEvents.wait(QStringLiteral("login"), 300).isEmpty());
        QVERIFY(simEvents.wait(QStringLiteral("logout"), 300).isEmpty());
        QVERIFY(QDir(dir.path()).entryList({QStringLiteral("*.lock")}).isEmpty());

        p = check(port, {QStringLiteral("--json")});
        const QJsonObject json = QJsonDocument::fromJson(p->readAllStandardOutput()).object();
        QCOMPARE(json.value(QStringLiteral("exitStatus")).toInt(), 0);
        QCOMPARE(json.value(QStringLiteral("tray"))
                     .toObject()
                     .value(QStringLiteral("status"))
                     .toString(),
                 QStringLiteral("OK"));
        sim.kill();
        sim.waitForFinished();
    }

    // No tray host on the display and nothing on the port.
    void brokenSession()
    {
        QTcpServer probe; // a port that is free once closed
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const int port = probe.serverPort();
        probe.close();
        QProcess *p = check(port, {}, {QStringLiteral(WITH_X)});
        const QString out = QString::fromUtf8(p->readAllStandardOutput());
        QCOMPARE(p->exitCode(), 1);
        QVERIFY2(out.contains(
                     QStringLiteral("\nservice: FAIL 127.0.0.1:%1 does not answer: ").arg(port)),
                 qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("\ntray: FAIL none: ")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("\nlogoff: OK ")), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
