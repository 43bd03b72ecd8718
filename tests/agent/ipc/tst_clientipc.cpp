#include "Spin.h"

#include "agent/ipc/ClientIPC.h"
#include "agent/ipc/IpcError.h"
#include "agent/ipc/socketowner.h"
#include "service_sim/ServerIPC.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <thread>
#include <unistd.h>

using namespace ipc;

class TestClientIPC : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServerIPC> server;

    std::unique_ptr<ClientIPC> connectClient()
    {
        auto client = std::make_unique<ClientIPC>(server->port());
        client->start();
        QSignalSpy connected(server.get(), &ServerIPC::agentConnected);
        if (server->connectionCount() == 0)
            connected.wait(2000);
        return client;
    }

private slots:
    void init()
    {
        server = std::make_unique<ServerIPC>();
        QVERIFY(server->listen(0));
    }
    void cleanup() { server.reset(); }

    void startFailsWithoutService()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 freePort = probe.serverPort();
        probe.close();
        ClientIPC client(freePort);
        QVERIFY_EXCEPTION_THROWN(client.start(), IpcError);
        QVERIFY(!client.running());
        QVERIFY(!client.getMessage()); // returns at once instead of blocking
        QVERIFY(!client.sendLogin(QStringLiteral("x")));
    }

    void socketOwnerFromTheTable()
    {
        const QByteArray table = "  sl  local_address rem_address   st tx_queue rx_queue tr "
                                 "tm->when retrnsmt   uid  timeout inode\n"
                                 "   0: 0100007F:A9C6 00000000:0000 0A 00000000:00000000 "
                                 "00:00000000 00000000   106        0 1 1\n"
                                 "   1: 0100007F:A9C6 0100007F:D431 01 00000000:00000000 "
                                 "00:00000000 00000000   107        0 2 1\n"
                                 "   2: 0100007F:D431 0100007F:A9C6 01 00000000:00000000 "
                                 "00:00000000 00000000  1000        0 3 1\n";
        // The accepted socket that our connection reaches wins over the listener.
        QCOMPARE(socketowner::serviceOwner(0xA9C6, 0xD431, table), std::optional<uid_t>(107));
        QCOMPARE(socketowner::serviceOwner(0xA9C6, 0x1234, table), std::optional<uid_t>(106));
        QCOMPARE(socketowner::serviceOwner(0x1111, 0xD431, table), std::nullopt);

        // A listener on 0.0.0.0 stands for the service when the accepted socket's row is missing.
        const QByteArray header = table.left(table.indexOf('\n') + 1);
        const QByteArray anyListener = header +
                                       "   0: 00000000:A9C6 00000000:0000 0A 00000000:00000000 "
                                       "00:00000000 00000000   106        0 1 1\n";
        QCOMPARE(socketowner::serviceOwner(0xA9C6, 0xD431, anyListener), std::optional<uid_t>(106));

        // A dual-stack service ([::]) shows only in tcp6: its listener as ::, its socket as
        // ::ffff:127.0.0.1.
        const QByteArray table6 =
            header +
            "   0: 00000000000000000000000000000000:A9C6 00000000000000000000000000000000:0000 0A "
            "00000000:00000000 00:00000000 00000000   108        0 1 1\n"
            "   1: 0000000000000000FFFF00000100007F:A9C6 0000000000000000FFFF00000100007F:D431 01 "
            "00000000:00000000 00:00000000 00000000   109        0 2 1\n";
        QCOMPARE(socketowner::serviceOwner(0xA9C6, 0xD431, header, table6),
                 std::optional<uid_t>(109));
        QCOMPARE(socketowner::serviceOwner(0xA9C6, 0x1234, header, table6),
                 std::optional<uid_t>(108));
    }

    // The same for real: a service listening on [::] is trusted.
    void dualStackServiceIsTrusted()
    {
        QTcpServer dualStack;
        if (!dualStack.listen(QHostAddress::Any, 0)) // Qt's Any is [::] with IPv4 mapped in
            QSKIP("no IPv6 here");
        ClientIPC client(dualStack.serverPort(), getuid());
        client.start();
        QVERIFY(client.running());
        QCOMPARE(client.serviceOwner(), std::optional<uid_t>(getuid()));
    }

    // Where the owner cannot be found at all, the service is refused.
    void unknownOwnerIsRefused()
    {
        ClientIPC client(server->port(), getuid(),
                         [](quint16, quint16) { return std::optional<uid_t>(); });
        try {
            client.start();
            QFAIL("expected the peer to be refused");
        } catch (const UntrustedPeerError &e) {
            QVERIFY2(
                QString::fromUtf8(e.what()).contains(QStringLiteral("belongs to an unknown user")),
                e.what());
        }
        QVERIFY(!client.running());
    }

    void trustsOnlyTheServiceUser()
    {
        {
            ClientIPC trusted(server->port(), getuid());
            trusted.start();
            QVERIFY(trusted.running());
        }
        ClientIPC wary(server->port(), getuid() + 1);
        try {
            wary.start();
            QFAIL("expected the peer to be refused");
        } catch (const UntrustedPeerError &e) {
            QVERIFY(QString::fromUtf8(e.what()).contains(
                QStringLiteral("belongs to uid %1").arg(getuid())));
        }
        QVERIFY(!wary.running());
        QVERIFY(!wary.getMessage());
    }

    void portBounds()
    {
        for (const int port : {0, 65536, 70000})
            QVERIFY_EXCEPTION_THROWN(ClientIPC{port}, IpcError);
        for (const int port : {1, 65535})
            ClientIPC{port}; // accepted; nothing is connected before start()
    }

    void requestsReachTheService()
    {
        auto client = connectClient();
        QSignalSpy login(server.get(), &ServerIPC::loginReceived);
        QSignalSpy info(server.get(), &ServerIPC::informationRequested);
        QVERIFY(client->requestInformation());
        QVERIFY(client->sendLogin(QStringLiteral("jürgen")));
        QTRY_COMPARE(login.count(), 1);
        QCOMPARE(login.at(0).at(0).toString(), QStringLiteral("jürgen"));
        QCOMPARE(info.count(), 1);
    }

    void messagesArriveInOrder()
    {
        auto client = connectClient();
        server->sendMessage(QStringLiteral("one"));
        server->sendScript(QStringLiteral("echo two"));
        server->sendLogoff();
        const auto read = [&] { return spinWhile([&] { return client->getMessage(); }); };
        auto m1 = read();
        auto m2 = read();
        auto m3 = read();
        QVERIFY(m1 && m2 && m3);
        QCOMPARE(int(m1->id), int(MSG_MESSAGE));
        QCOMPARE(m1->data, QByteArray("one"));
        QCOMPARE(int(m2->id), int(MSG_SCRIPT));
        QCOMPARE(int(m3->id), int(MSG_LOGOFF));
    }

    void badFrameCostsOnlyItself()
    {
        auto client = connectClient();
        server->sendRaw(QByteArray::fromHex("00000000"));
        server->sendMessage(QStringLiteral("after"));
        QVERIFY_EXCEPTION_THROWN(spinWhile([&] { return client->getMessage(); }), ProtocolError);
        auto next = spinWhile([&] { return client->getMessage(); });
        QVERIFY(next);
        QCOMPARE(next->data, QByteArray("after"));
    }

    void stopWakesABlockedRead()
    {
        auto client = connectClient();
        std::optional<Message> result = Message{};
        std::thread reader([&] { result = client->getMessage(); });
        QTest::qWait(200);
        client->stop();
        reader.join();
        QVERIFY(!result);
        QVERIFY(!client->running());
    }

    // A logout queued just before stop() must still reach the service.
    void logoutBeforeStopArrives()
    {
        auto client = connectClient();
        QSignalSpy logout(server.get(), &ServerIPC::logoutReceived);
        QSignalSpy gone(server.get(), &ServerIPC::agentDisconnected);
        QVERIFY(client->sendLogout(QStringLiteral("alice")));
        client->stop();
        QVERIFY(!client->sendLogout(QStringLiteral("late"))); // nothing after stop
        QTRY_COMPARE(gone.count(), 1);
        QCOMPARE(logout.count(), 1);
        QCOMPARE(logout.at(0).at(0).toString(), QStringLiteral("alice"));
    }

    // A logout queued behind a large backlog still arrives, last: stop() drains, it never drops.
    void logoutBehindABacklogArrives()
    {
        auto client = connectClient();
        QStringList received;
        connect(server.get(), &ServerIPC::loginReceived, this,
                [&](const QString &name) { received << name.left(4); });
        connect(server.get(), &ServerIPC::logoutReceived, this,
                [&](const QString &name) { received << name; });
        QSignalSpy gone(server.get(), &ServerIPC::agentDisconnected);
        for (int i = 0; i < 200; ++i)
            QVERIFY(client->sendLogin(QStringLiteral("%1").arg(i, 4, 10, QLatin1Char('0')) +
                                      QString(10000, QLatin1Char('x'))));
        QVERIFY(client->sendLogout(QStringLiteral("alice")));
        client->stop();
        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 10000);
        QCOMPARE(received.size(), 201);
        QCOMPARE(received.first(), QStringLiteral("0000"));
        QCOMPARE(received.at(199), QStringLiteral("0199"));
        QCOMPARE(received.last(), QStringLiteral("alice"));
    }

    // Frames that arrived before the service closed are still delivered, then the end.
    void closeAfterMessagesLosesNothing()
    {
        auto client = connectClient();
        server->sendMessage(QStringLiteral("last words"));
        server->sendLogoff();
        server->closeConnections();
        QVERIFY(spinWhile([&] { return client->waitClosed(3000); }));
        QVERIFY(client->running()); // still has frames to hand out
        auto m1 = client->getMessage();
        auto m2 = client->getMessage();
        QVERIFY(m1 && m2);
        QCOMPARE(m1->data, QByteArray("last words"));
        QCOMPARE(int(m2->id), int(MSG_LOGOFF));
        QVERIFY(!client->running());
        QVERIFY(!client->getMessage());
    }

    void truncatedFrameThenClose()
    {
        auto client = connectClient();
        server->sendRaw(encodeFrame(MSG_MESSAGE, "complete"));
        server->sendRaw(encodeFrame(MSG_MESSAGE, "cut short").left(7));
        server->closeConnections();
        QVERIFY(spinWhile([&] { return client->waitClosed(3000); }));
        auto m = client->getMessage();
        QVERIFY(m);
        QCOMPARE(m->data, QByteArray("complete"));
        QVERIFY_EXCEPTION_THROWN(client->getMessage(), ProtocolError);
        QVERIFY(!client->getMessage());
    }

    // A 4 GiB claim followed by a close: reported once, nothing buffered, clean end.
    void hugeClaimThenClose()
    {
        auto client = connectClient();
        server->sendRaw(QByteArray::fromHex("ffffffff05") + QByteArray(64 * 1024, 'x'));
        server->closeConnections();
        QVERIFY(spinWhile([&] { return client->waitClosed(3000); }));
        int errors = 0;
        for (;;) {
            try {
                if (!client->getMessage())
                    break;
            } catch (const ProtocolError &) {
                ++errors;
            }
        }
        QVERIFY(errors >= 1 && errors <= 2); // the oversize report, and the close inside it
    }

    // A flood the reader does not keep up with stays bounded here and is all delivered later.
    void floodIsBoundedAndNothingLost()
    {
        auto client = connectClient();
        constexpr int total = 200000;
        QByteArray burst;
        for (int i = 0; i < total; ++i)
            burst += encodeFrame(MSG_MESSAGE, QByteArray::number(i));
        server->sendRaw(burst);
        QTest::qWait(1500); // let the service push what the kernel takes
        const std::size_t cap = ClientIPC::kMaxQueuedEntries + ClientIPC::kReadChunkBytes / 5;
        QVERIFY2(client->pending() <= cap, qPrintable(QString::number(client->pending())));
        std::atomic<int> next{0};
        bool inOrder = true;
        std::thread reader([&] {
            while (next < total) {
                auto m = client->getMessage();
                if (!m)
                    break;
                inOrder = inOrder && m->data.toInt() == next;
                ++next;
            }
        });
        QTRY_COMPARE_WITH_TIMEOUT(next.load(), total, 30000);
        reader.join();
        QVERIFY(inOrder);
    }

    // A service that stops reading: sends and stop() still return at once, and the close
    // waits at most the drain time for queued frames.
    void stalledServiceNeverBlocksTheCaller()
    {
        QTcpServer stalled; // accepts, never reads
        QVERIFY(stalled.listen(QHostAddress::LocalHost, 0));
        ClientIPC client(stalled.serverPort());
        client.start();
        const QString name(1000, QLatin1Char('n'));
        // The longest single call: a send that blocked on the full socket would never return,
        // while load only stretches each call by a scheduling slice.
        QElapsedTimer clock;
        qint64 longest = 0;
        const auto timed = [&](const auto &call) {
            clock.restart();
            call();
            longest = qMax(longest, clock.elapsed());
        };
        for (int i = 0; i < 20000; ++i) // 20 MB, far beyond what the kernel buffers hold
            timed([&] { QVERIFY(client.sendLogin(name)); });
        timed([&] { client.stop(); });
        QVERIFY2(longest < 500, qPrintable(QString::number(longest)));
        clock.restart();
        QVERIFY(client.waitClosed(ClientIPC::kDrainMs + 5000));
        QVERIFY(clock.elapsed() >= ClientIPC::kDrainMs - 100);
    }

    void concurrentSendsWhileReading()
    {
        auto client = connectClient();
        QSignalSpy login(server.get(), &ServerIPC::loginReceived);
        std::thread reader([&] { client->getMessage(); });
        std::thread sender([&] {
            for (int i = 0; i < 500; ++i)
                client->sendLogin(QString::number(i));
        });
        sender.join();
        QTRY_COMPARE(login.count(), 500);
        for (int i = 0; i < 500; ++i)
            QCOMPARE(login.at(i).at(0).toString(), QString::number(i));
        client->stop();
        reader.join();
    }
};

QTEST_GUILESS_MAIN(TestClientIPC)
#include "tst_clientipc.moc"
