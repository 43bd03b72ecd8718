#include "LogCapture.h"

#include "agent/base/handoff.h"
#include "agent/config/Config.h"
#include "agent/ipc/ClientIPC.h"
#include "agent/ipc/protocol.h"
#include "brimvault_agent/link/MessagesProcessor.h"
#include "service_sim/ServerIPC.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace ipc;

// Receives the link's signals on this (the GUI) thread, as the tray does, in arrival order.
class Recorder : public QObject
{
    Q_OBJECT
public:
    QStringList events;
    QElapsedTimer clock;
    qint64 firstAt = -1;

    // As the tray's link does: each delivered signal acquires from the link first.
    void attach(MessagesProcessor *link)
    {
        link_ = link;
        connect(link, &MessagesProcessor::disconnect, this,
                [this] { add(QStringLiteral("disconnect")); });
        connect(link, &MessagesProcessor::logoff, this, [this] { add(QStringLiteral("logoff")); });
        connect(link, &MessagesProcessor::displayMessage, this,
                [this](const QString &m) { add(QStringLiteral("message:"), m); });
        connect(link, &MessagesProcessor::script, this,
                [this](const QString &s) { add(QStringLiteral("script:"), s); });
        connect(link, &MessagesProcessor::information, this, [this](const QVariantMap &i) {
            handoff::acquire(link_);
            add(QStringLiteral("info:") +
                QString::fromUtf8(QJsonDocument::fromVariant(i).toJson(QJsonDocument::Compact)));
        });
        connect(link, &MessagesProcessor::exit, this, [this] { add(QStringLiteral("exit")); });
    }
    void add(const QString &e, const QString &text = {})
    {
        handoff::acquire(link_);
        if (firstAt < 0)
            firstAt = clock.elapsed();
        events << e + text;
    }

private:
    const MessagesProcessor *link_ = nullptr;
};

class TestMessagesProcessor : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServerIPC> server;

    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }
    static void usePort(quint16 port)
    {
        Config c = Config::defaults();
        c.IPC_PORT = port;
        c.IPC_SERVICE_UID = getuid();
        setConfig(c);
    }
    // A connected, started link with a recorder; waits until the service sees it.
    std::unique_ptr<MessagesProcessor> startLink(Recorder &rec)
    {
        usePort(server->port());
        auto link = std::make_unique<MessagesProcessor>();
        rec.attach(link.get());
        rec.clock.start();
        link->start();
        if (!QTest::qWaitFor([this] { return server->connectionCount() == 1; }, 3000))
            qWarning("the service did not see the link connect");
        return link;
    }

private slots:
    void initTestCase() { logger::init({QString(), logger::Level::Debug, 0, 1, false}); }
    void init()
    {
        server = std::make_unique<ServerIPC>();
        QVERIFY(server->listen(0));
    }
    void cleanup() { server.reset(); }

    // A link thread that does not stop when the link goes: its logout still reaches the service,
    // and the process ends with status 1, never 0 and never with the thread left running.
    void stuckLinkThreadEndsTheProcess()
    {
        QSignalSpy logouts(server.get(), &ServerIPC::logoutReceived);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIMVAULT_TEST_PORT"), QString::number(server->port()));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("stuckLinkChild")});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 1, child.readAllStandardOutput().constData());
        QTRY_COMPARE(logouts.count(), 1);
        QCOMPARE(logouts.first().first().toString(), QStringLiteral("someone"));
    }
    void stuckLinkChild()
    {
        if (!qEnvironmentVariableIsSet("BRIMVAULT_TEST_PORT"))
            QSKIP("run by stuckLinkThreadEndsTheProcess");
        struct Stuck : MessagesProcessor
        {
            void run() override { std::this_thread::sleep_for(std::chrono::seconds(30)); }
        };
        usePort(quint16(qEnvironmentVariableIntValue("BRIMVAULT_TEST_PORT")));
        {
            Stuck link;
            QVERIFY(link.isAlive());
            link.start();
            link.sendLogout(QStringLiteral("someone"));
        }
        QFAIL("the process went on past a link thread that did not end");
    }

    void eachMessageReachesItsSignal()
    {
        LogCapture capture;
        Recorder rec;
        auto link = startLink(rec);
        server->sendDisconnect();
        server->sendMessage(QStringLiteral("Hello"));
        server->sendLogoff();
        server->sendScript(QStringLiteral("echo hi"));
        server->sendInformation(R"({"idle": 900, "maxSession": 28800})");
        server->sendFrame(0x42, "odd");
        server->sendMessage(QStringLiteral("after unknown"));
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.size(), 6, 5000);
        QCOMPARE(rec.events,
                 (QStringList{"disconnect", "message:Hello", "logoff", "script:echo hi",
                              R"(info:{"idle":900,"maxSession":28800})", "message:after unknown"}));
        QVERIFY(rec.firstAt >= MessagesProcessor::kFirstReadPauseMs - 50);
        QCOMPARE(capture.countStartingWith(QStringLiteral("Got Message on User Space: ")), 7);
        QCOMPARE(capture.count(QStringLiteral("Got Message on User Space: 66:6f6464")), 1);
        QCOMPARE(capture.countStartingWith(QStringLiteral("Got error")), 0);

        QElapsedTimer stopClock;
        stopClock.start();
        link->stop();
        QVERIFY(stopClock.elapsed() <
                ClientIPC::kDrainMs / 2); // stop() does not wait for the drain
        QTRY_COMPARE(rec.events.last(), QStringLiteral("exit"));
        QVERIFY(link->wait(3000));
        QCOMPARE(rec.events.count(QStringLiteral("exit")), 1);
        QCOMPARE(capture.count(QStringLiteral("Lost connection with Service, closing program")), 0);
    }

    // Bad input costs the one message; the next valid one still arrives.
    void failedMessagesCostOnlyThemselves()
    {
        LogCapture capture;
        Recorder rec;
        auto link = startLink(rec);
        server->sendRaw(QByteArray::fromHex("00000000"));                             // length 0
        server->sendRaw(encodeFrame(MSG_MESSAGE, QByteArray(MAX_FRAME_LENGTH, 'x'))); // 1 MiB + 1
        server->sendFrame(MSG_MESSAGE, QByteArray("bad \xff\xfe utf8")); // decoded, not an error
        server->sendInformation("[1, 2]");                               // not an object
        server->sendInformation("{broken");
        server->sendInformation(R"({"idle": "600"})");
        server->sendMessage(QStringLiteral("still here"));
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.size(), 3, 8000);
        QCOMPARE(rec.events[0], QStringLiteral("message:bad \uFFFD\uFFFD utf8"));
        QCOMPARE(rec.events[1], QStringLiteral(R"(info:{"idle":"600"})"));
        QCOMPARE(rec.events[2], QStringLiteral("message:still here"));
        QCOMPARE(capture.countStartingWith(QStringLiteral("Got error on IPC thread ")), 4);
        link->stop();
        QVERIFY(link->wait(3000));
    }

    void tenThousandFramesInOneWrite()
    {
        logger::setLevel(logger::Level::Info);
        Recorder rec;
        auto link = startLink(rec);
        QByteArray burst;
        for (int i = 0; i < 10000; ++i)
            burst += encodeFrame(MSG_MESSAGE, QByteArray::number(i));
        server->sendRaw(burst);
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.size(), 10000, 15000);
        for (int i = 0; i < 10000; ++i)
            QCOMPARE(rec.events[i], QStringLiteral("message:%1").arg(i));
        link->stop();
        QVERIFY(link->wait(3000));
        logger::setLevel(logger::Level::Debug);
    }

    void stopDuringBlockedRead()
    {
        LogCapture capture;
        Recorder rec;
        auto link = startLink(rec);
        QTest::qWait(MessagesProcessor::kFirstReadPauseMs + 300); // now blocked in the read
        QSignalSpy gone(server.get(), &ServerIPC::agentDisconnected);
        link->sendLogout(QStringLiteral("alice"));
        QSignalSpy logout(server.get(), &ServerIPC::logoutReceived);
        link->stop();
        QTRY_COMPARE(rec.events, QStringList{QStringLiteral("exit")});
        QVERIFY(link->wait(3000));
        QTRY_COMPARE(gone.count(), 1);
        QCOMPARE(logout.count(), 1); // the logout queued before stop() arrived
        QCOMPARE(capture.count(QStringLiteral("Lost connection with Service, closing program")), 0);
        QVERIFY(link->isAlive());
    }

    // stop() during the first-read pause ends the thread promptly.
    void stopDuringFirstPause()
    {
        Recorder rec;
        auto link = startLink(rec);
        QElapsedTimer clock;
        clock.start();
        link->stop();
        QVERIFY(link->wait(3000));
        QVERIFY(clock.elapsed() < MessagesProcessor::kFirstReadPauseMs); // not waited out
        QTRY_COMPARE(rec.events, QStringList{QStringLiteral("exit")});
    }

    // A stop() that lands before the thread has begun its loop still ends it at once.
    void stopRightAfterStart()
    {
        usePort(server->port());
        for (int i = 0; i < 5; ++i) {
            MessagesProcessor link;
            link.start();
            link.stop();
            QElapsedTimer clock;
            clock.start();
            QVERIFY(link.wait(3000));
            QVERIFY(clock.elapsed() < MessagesProcessor::kFirstReadPauseMs); // not waited out
        }
    }

    void lostConnectionWarnsOnceAndExitsOnce()
    {
        LogCapture capture;
        Recorder rec;
        auto link = startLink(rec);
        server->sendMessage(QStringLiteral("before close"));
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.size(), 1, 5000);
        server->closeConnections();
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.size(), 2, 5000);
        QVERIFY(link->wait(3000));
        QCoreApplication::processEvents();
        QCOMPARE(rec.events, (QStringList{"message:before close", "exit"}));
        QCOMPARE(capture.count(QStringLiteral("Lost connection with Service, closing program")), 1);
        QVERIFY(link->isAlive());
        // Requests after the loss are dropped without a crash.
        link->sendLogout(QStringLiteral("x"));
        link->requestInformation();
    }

    // Messages sent right before the close are delivered before the loop ends.
    void closeRightAfterCommandsLosesNothing()
    {
        Recorder rec;
        auto link = startLink(rec);
        server->sendMessage(QStringLiteral("m"));
        server->sendLogoff();
        server->closeConnections();
        QTRY_COMPARE_WITH_TIMEOUT(rec.events.size(), 3, 6000);
        QCOMPARE(rec.events, (QStringList{"message:m", "logoff", "exit"}));
        QVERIFY(link->wait(3000));
    }

    void hugeClaimThenClose()
    {
        LogCapture capture;
        Recorder rec;
        auto link = startLink(rec);
        server->sendRaw(QByteArray::fromHex("ffffffff02") + QByteArray(100000, 'y'));
        server->closeConnections();
        QTRY_COMPARE_WITH_TIMEOUT(rec.events, QStringList{QStringLiteral("exit")}, 6000);
        QVERIFY(capture.countStartingWith(QStringLiteral("Got error on IPC thread ")) >= 1);
        QCOMPARE(capture.count(QStringLiteral("Lost connection with Service, closing program")), 1);
        QVERIFY(link->wait(3000));
    }

    void requestsReachTheService()
    {
        usePort(server->port());
        QSignalSpy info(server.get(), &ServerIPC::informationRequested);
        QSignalSpy login(server.get(), &ServerIPC::loginReceived);
        LogCapture capture;
        MessagesProcessor link; // not started: requests work in the Ready state
        QVERIFY(link.isAlive());
        link.requestInformation();
        link.sendLogin(QStringLiteral("bob"));
        QTRY_COMPARE(login.count(), 1);
        QCOMPARE(info.count(), 1);
        QCOMPARE(capture.count(QStringLiteral("Request information: True")), 1);
    }

    void serviceDown()
    {
        usePort(freePort());
        LogCapture capture;
        QElapsedTimer clock;
        clock.start();
        MessagesProcessor link;
        QVERIFY(clock.elapsed() >= 10 * MessagesProcessor::kRetryPauseMs);
        QVERIFY(!link.isAlive());
        QCOMPARE(capture.count(QStringLiteral("IPC Server is not reachable")), 10);
        capture.clear();
        link.requestInformation();
        link.sendLogin(QStringLiteral("x"));
        link.sendLogout(QStringLiteral("x"));
        link.stop();
        QVERIFY(capture.allTexts().isEmpty());
        Recorder rec;
        rec.attach(&link);
        clock.restart();
        link.start();
        QVERIFY(link.wait(1000));
        QVERIFY(clock.elapsed() <
                MessagesProcessor::kFirstReadPauseMs); // no pause without a client
        QCoreApplication::processEvents();
        QVERIFY(rec.events.isEmpty());
    }

    void reachableAtThirdAttempt()
    {
        const quint16 port = freePort();
        usePort(port);
        // Listen after the second attempt's pause has begun, from another thread: this one is
        // blocked in the constructor.
        int listener = -1;
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(3000));
            listener = ::socket(AF_INET, SOCK_STREAM, 0);
            int one = 1;
            ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            ::listen(listener, 4);
        });
        LogCapture capture;
        QElapsedTimer clock;
        clock.start();
        {
            MessagesProcessor link;
            late.join();
            QVERIFY(link.isAlive());
            QVERIFY(clock.elapsed() >= 2 * MessagesProcessor::kRetryPauseMs);
            QCOMPARE(capture.count(QStringLiteral("IPC Server is not reachable")),
                     2); // no third pause
        }
        ::close(listener);
    }
};

QTEST_GUILESS_MAIN(TestMessagesProcessor)
#include "tst_messagesprocessor.moc"
