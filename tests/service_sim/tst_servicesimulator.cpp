#include "SimulatorEvents.h"
#include "Spin.h"

#include "agent/ipc/ClientIPC.h"
#include "agent/ipc/protocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

using namespace ipc;

// Drives the real simulator binary over its stdin/stdout and a real client connection.
class TestServiceSimulator : public QObject
{
    Q_OBJECT

    QProcess sim;
    SimulatorEvents simEvents{sim};

    void command(const QByteArray &line) { sim.write(line + '\n'); }
    std::optional<Message> read(ClientIPC &client)
    {
        return spinWhile([&] { return client.getMessage(); });
    }

private slots:
    void init()
    {
        simEvents.clear();
        sim.start(QStringLiteral(SIM_PATH), {QStringLiteral("--port"), QStringLiteral("0"),
                                             QStringLiteral("--idle"), QStringLiteral("600")});
        QVERIFY(sim.waitForStarted());
    }
    void cleanup()
    {
        sim.kill();
        sim.waitForFinished();
    }

    void eventsAndCommands()
    {
        const QJsonObject listening = simEvents.wait(QStringLiteral("listening"));
        const int port = listening.value(QStringLiteral("port")).toString().toInt();
        QVERIFY(port > 0);

        ClientIPC client(port);
        client.start();
        QVERIFY(!simEvents.wait(QStringLiteral("connected")).isEmpty());
        client.sendLogin(QStringLiteral("carol"));
        QCOMPARE(simEvents.wait(QStringLiteral("login")).value(QStringLiteral("user")).toString(),
                 QStringLiteral("carol"));

        client.requestInformation();
        QVERIFY(!simEvents.wait(QStringLiteral("information-request")).isEmpty());
        auto info = read(client);
        QVERIFY(info);
        QCOMPARE(int(info->id), int(MSG_INFORMATION));
        QCOMPARE(decodeInformation(info->data),
                 (QVariantMap{{QStringLiteral("idle"), 600.0}})); // maxSession left out

        command("message Hello there");
        command("script echo a\\necho b");
        command("bogus");
        command("logoff extra");
        command("logoff");
        command("disconnect");
        command("info {\"maxSession\": 60}");
        command("info {not json");
        command("raw 0000000202ab");
        auto m = read(client);
        QCOMPARE(m->data, QByteArray("Hello there"));
        m = read(client);
        QCOMPARE(int(m->id), int(MSG_SCRIPT));
        QCOMPARE(m->data, QByteArray("echo a\necho b"));
        QCOMPARE(int(read(client)->id), int(MSG_LOGOFF));
        QCOMPARE(int(read(client)->id), int(MSG_DISCONNECT));
        QCOMPARE(read(client)->data, QByteArray("{\"maxSession\": 60}"));
        m = read(client);
        QCOMPARE(int(m->id), int(MSG_MESSAGE));
        QCOMPARE(m->data, QByteArray("\xab"));

        // The bad commands in between cost nothing.
        client.sendLogout(QStringLiteral("carol"));
        QCOMPARE(simEvents.wait(QStringLiteral("logout")).value(QStringLiteral("user")).toString(),
                 QStringLiteral("carol"));

        command("close");
        QVERIFY(!simEvents.wait(QStringLiteral("disconnected")).isEmpty());
        command("quit");
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 0);
    }

    void badCommandsReportAndGoOn()
    {
        QVERIFY(!simEvents.wait(QStringLiteral("listening")).isEmpty());
        command("bogus");
        command("raw abc");
        command("info [");
        command("quit");
        QVERIFY(sim.waitForFinished(5000));
        const QByteArray errors = sim.readAllStandardError();
        QCOMPARE(errors.count("error:"), 3);
        QCOMPARE(sim.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServiceSimulator)
#include "tst_servicesimulator.moc"
