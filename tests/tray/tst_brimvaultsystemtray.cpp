#include "LogCapture.h"
#include "ThreadRefusal.h"

#include "agent/config/Config.h"
#include "agent/ipc/ClientIPC.h"
#include "brimvault_agent/app/globals.h"
#include "brimvault_agent/dialogs/BrimvaultMessageDialog.h"
#include "brimvault_agent/link/MessagesProcessor.h"
#include "brimvault_agent/link/Reconnector.h"
#include "brimvault_agent/link/ServiceLink.h"
#include "brimvault_agent/tray/BrimvaultSystemTray.h"
#include "service_sim/ServerIPC.h"

#include <QLabel>

#include <QApplication>
#include <QMenu>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using std::chrono::milliseconds;
using std::chrono::seconds;

class TestBrimvaultSystemTray : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServerIPC> server;
    QTemporaryDir dir;
    double idle = 0;
    int idleQueries = 0;
    QList<qint64> idleTimeouts;
    milliseconds now{0};

    std::unique_ptr<BrimvaultSystemTray> makeTray(Config c = Config::defaults())
    {
        c.IPC_PORT = server->port();
        c.IPC_SERVICE_UID = getuid();
        setConfig(c);
        auto tray = std::make_unique<BrimvaultSystemTray>(qApp);
        tray->idleSource = [this] {
            ++idleQueries;
            return idle;
        };
        tray->idleTimeoutSetter = [this](qint64 s) { idleTimeouts << s; };
        now = tray->sessionStart;
        tray->clock = [this] { return now; };
        tray->wallClock = [this, offset = bootclock::wallNow() - now] { return now + offset; };
        return tray;
    }
    static QVariantMap map(std::initializer_list<std::pair<const char *, QVariant>> items)
    {
        QVariantMap m;
        for (const auto &i : items)
            m.insert(QString::fromLatin1(i.first), i.second);
        return m;
    }

    // A listener whose backlog is full: the kernel drops the attempt's SYN, so its connect
    // waits out its time-out. The GUI thread's ticks must not wait with it.
    void connectWaitsWhileTicksGoOn(BrimvaultSystemTray &tray, quint16 port)
    {
        sockaddr_in at{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        const auto address = reinterpret_cast<sockaddr *>(&at);
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0), on = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        QVERIFY(::bind(listener, address, sizeof at) == 0 && ::listen(listener, 0) == 0);
        const int fillers[] = {::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0),
                               ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)};
        for (int fd : fillers)
            ::connect(fd, address, sizeof at);
        tray.timer->setInterval(100);
        QElapsedTimer sinceTick;
        sinceTick.start();
        qint64 longestGap = 0;
        const auto ticks = connect(tray.timer, &QTimer::timeout,
                                   [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
        QTest::qWait(Reconnector::kRetryMs + ClientIPC::kConnectTimeoutMs + 500);
        disconnect(ticks);
        for (int fd : {fillers[0], fillers[1], listener})
            ::close(fd);
        QVERIFY2(longestGap < ClientIPC::kConnectTimeoutMs / 2,
                 qPrintable(QString::number(longestGap)));
    }

private slots:
    void initTestCase() { logger::init({QString(), logger::Level::Debug, 0, 1, false}); }
    void init()
    {
        server = std::make_unique<ServerIPC>();
        QVERIFY(server->listen(0));
        app::doLogoff = false;
        idle = 0;
        idleQueries = 0;
        idleTimeouts.clear();
    }
    void cleanup() { server.reset(); }

    void constructionWiresAndLogsIn()
    {
        QSignalSpy login(server.get(), &ServerIPC::loginReceived);
        QSignalSpy info(server.get(), &ServerIPC::informationRequested);
        auto tray = makeTray();
        QTRY_COMPARE(login.count(), 1);
        QVERIFY(!login.at(0).at(0).toString().isEmpty());
        QCOMPARE(info.count(), 1);
        QCOMPARE(tray->toolTip(), QStringLiteral("Brimvault Agent: Online"));
        QVERIFY(tray->contextMenu());
        QCOMPARE(tray->contextMenu()->actions().size(), 1);
        QCOMPARE(tray->contextMenu()->actions().first()->text(), QStringLiteral("About"));
        QVERIFY(tray->timer->isActive());
        QCOMPARE(tray->timer->interval(), 5000);
        QCOMPARE(tray->graceTimerShots, 6);
        QVERIFY(!tray->maxIdleTime && !tray->maxSessionTime);
        QVERIFY(!tray->icon_online.isNull());
        QCOMPARE(tray->icon_online.availableSizes().size(), 1);
    }

    void tooltipKeepsPercentSigns()
    {
        Config c = Config::defaults();
        c.APPLICATION_TITLE = QStringLiteral("100% %1 Desk");
        auto tray = makeTray(c);
        QCOMPARE(tray->toolTip(), QStringLiteral("100% %1 Desk: Online"));
        tray->setOffline();
        QCOMPARE(tray->toolTip(), QStringLiteral("100% %1 Desk: Offline"));
        tray->setOnline();
        QCOMPARE(tray->toolTip(), QStringLiteral("100% %1 Desk: Online"));
    }

    // RECONNECT_SECONDS: a lost link shows offline, the gray image, while the limits go on; the
    // agent then logs in again and is online. What follows, row by row.
    void lostLinkReconnects_data()
    {
        QTest::addColumn<QString>("then");
        QTest::newRow("the new service's information replaces the limits") << "information";
        QTest::newRow("the new service's logoff ends the session") << "logoff";
        QTest::newRow("a second loss is handled like the first") << "lost again";
        QTest::newRow("a limit reached offline logs off, saying no logout went") << "limit";
        QTest::newRow("a connect that takes seconds leaves the GUI thread free") << "slow";
        QTest::newRow("an exit hook as the reconnect is delivered: logouts match logins")
            << "exit hook";
        QTest::newRow("a reconnect delivered after an exit hook's logout never logs in")
            << "after exit hook";
        QTest::newRow("an attempt whose thread cannot start is tried again") << "no attempt thread";
        QTest::newRow("a new link whose thread cannot start is tried again") << "no link thread";
    }
    void lostLinkReconnects()
    {
        QFETCH(QString, then);
        Config c = Config::defaults();
        c.RECONNECT_SECONDS = 30;
        auto tray = makeTray(c);
        tray->information(map({{"maxSession", 600}}));
        const quint16 port = server->port();
        LogCapture capture;
        const QSize size = tray->icon_online.availableSizes().first();
        const auto image = [size](const QIcon &icon) { return icon.pixmap(size).toImage(); };
        for (int loss = 1; loss <= (then == "lost again" ? 2 : 1); ++loss) {
            server.reset(); // the service goes away
            QTRY_COMPARE(tray->toolTip(), QStringLiteral("Brimvault Agent: Offline"));
            QCOMPARE(image(tray->QSystemTrayIcon::icon()), image(tray->icon_offline));
            QVERIFY(image(tray->QSystemTrayIcon::icon()) != image(tray->icon_online));
            QVERIFY(tray->timer->isActive());
            QCOMPARE(tray->maxSessionTime, std::optional<qint64>(600));
            if (then == "limit") {
                now = tray->sessionStart + seconds(601);
                tray->checkTimers(); // the warning
                tray->checkTimers();
                QVERIFY(tray->stopped && app::doLogoff);
                QCOMPARE(capture.count("No logout could be sent: no connection to the service"), 1);
                return;
            }
            if (then == "slow")
                connectWaitsWhileTicksGoOn(*tray, port);
            if (then == "no attempt thread")
                threadrefusal::refuseNextHere(); // the next attempt's, started on this thread
            if (then == "no link thread") {
                // A connection is handed over, but its link thread cannot start: offline still.
                ServiceLink &link = *tray->ipc;
                ServerIPC service;
                QVERIFY(service.listen(0));
                QSignalSpy login(&service, &ServerIPC::loginReceived);
                QString why;
                std::unique_ptr<ClientIPC> client =
                    MessagesProcessor::connectOnce(service.port(), getuid(), &why);
                QVERIFY2(client, qPrintable(why));
                threadrefusal::refuseNextHere();
                link.reconnected(client.release());
                QVERIFY(link.isOffline());
                QCOMPARE(capture.count(QStringLiteral("The link thread could not be started")), 1);
                QTest::qWait(200);
                QCOMPARE(login.count(), 0);
            }
            if (then == "exit hook" || then == "after exit hook") {
                // The service comes back while an exit hook ends the agent on another thread:
                // the reconnect is the Reconnector's own, delivered by Qt, before or after the
                // hook; or, in the second row, handed over just after it. The flags order nothing
                // (relaxed): a race detector sees only the agent's own synchronisation.
                const bool after = then == "after exit hook";
                ServerIPC service;
                QVERIFY(service.listen(after ? 0 : port));
                QSignalSpy login(&service, &ServerIPC::loginReceived);
                QSignalSpy logout(&service, &ServerIPC::logoutReceived);
                QSignalSpy gone(&service, &ServerIPC::agentDisconnected);
                std::atomic<bool> go{false}, ended{false};
                std::thread hook([&] {
                    while (!go.load(std::memory_order_relaxed))
                        std::this_thread::yield();
                    std::this_thread::sleep_for(std::chrono::milliseconds(
                        after ? 0 : QRandomGenerator::global()->bounded(Reconnector::kRetryMs)));
                    tray->endBeforeExit(EndCause::CompositorLost);
                    ended.store(true, std::memory_order_relaxed);
                });
                go.store(true, std::memory_order_relaxed);
                if (after) {
                    QString why;
                    std::unique_ptr<ClientIPC> client =
                        MessagesProcessor::connectOnce(service.port(), getuid(), &why);
                    QVERIFY2(client, qPrintable(why));
                    hook.join();
                    tray->ipc->reconnected(client.release());
                } else {
                    QTRY_VERIFY(ended.load(std::memory_order_relaxed));
                    hook.join();
                }
                QTRY_COMPARE(logout.count(), login.count());
                if (after || login.count() > 0)
                    QTRY_COMPARE(gone.count(), 1);
                if (after)
                    QCOMPARE(login.count(), 0);
                QCOMPARE(capture.countStartingWith(QStringLiteral("Ending: ")), 1);
                return;
            }
            server = std::make_unique<ServerIPC>();
            QVERIFY(server->listen(port));
            QSignalSpy login(server.get(), &ServerIPC::loginReceived);
            QTRY_COMPARE_WITH_TIMEOUT(login.count(), 1, 3 * Reconnector::kRetryMs + 5000);
            if (then == "no attempt thread")
                QCOMPARE(capture.countStartingWith(QStringLiteral("Reconnect attempt not started")),
                         1);
            QCOMPARE(tray->toolTip(), QStringLiteral("Brimvault Agent: Online"));
            QCOMPARE(image(tray->QSystemTrayIcon::icon()), image(tray->icon_online));
            QCOMPARE(capture.countStartingWith(QStringLiteral("Reconnected to the service after")),
                     loss);
        }
        QVERIFY(!app::doLogoff);
        if (then == "information") {
            server->sendInformation(R"({"maxSession": 900})");
            QTRY_COMPARE(tray->maxSessionTime, std::optional<qint64>(900));
        } else if (then == "logoff") {
            QSignalSpy logout(server.get(), &ServerIPC::logoutReceived);
            server->sendLogoff();
            QTRY_COMPARE(logout.count(), 1);
            QVERIFY(tray->stopped && app::doLogoff);
        }
    }
    // The link's own end after the agent's logout is no loss: with RECONNECT_SECONDS an agent
    // that is ending neither goes offline nor connects again.
    void ownEndIsNoLoss()
    {
        Config c = Config::defaults();
        c.RECONNECT_SECONDS = 30;
        QSignalSpy login(server.get(), &ServerIPC::loginReceived);
        auto tray = makeTray(c);
        QTRY_COMPARE(login.count(), 1);
        QSignalSpy gone(server.get(), &ServerIPC::agentDisconnected);
        QSignalSpy connected(server.get(), &ServerIPC::agentConnected);
        LogCapture capture;
        tray->quit();
        QTRY_COMPARE(gone.count(), 1);
        QTest::qWait(Reconnector::kRetryMs + 500);
        QVERIFY(!tray->ipc->isOffline());
        QCOMPARE(capture.countStartingWith(QStringLiteral("Lost the connection")), 0);
        QCOMPARE(connected.count(), 0);
    }

    // Out of threads as the link starts: it says so, and nothing logs in with no one reading.
    void linkThreadThatCannotStart()
    {
        Config c = Config::defaults();
        c.IPC_PORT = server->port();
        c.IPC_SERVICE_UID = getuid();
        setConfig(c);
        QSignalSpy login(server.get(), &ServerIPC::loginReceived);
        LogCapture capture;
        ServiceLink link;
        QVERIFY(link.isAlive());
        threadrefusal::refuseNextHere();
        QVERIFY(!link.start());
        QCOMPARE(capture.count(QStringLiteral("The link thread could not be started")), 1);
        QTest::qWait(300);
        QCOMPARE(login.count(), 0);
    }

    void noMenuWhenDisabled()
    {
        Config c = Config::defaults();
        c.TRAY_MENU_ENABLED = false;
        auto tray = makeTray(c);
        QVERIFY(!tray->contextMenu());
        QVERIFY(!tray->aboutDlg);
        tray->about(); // nothing to show, nothing breaks
    }

    // Offline image: same size and outline; every pixel not fully transparent is opaque gray.
    void graySilhouettePixelByPixel()
    {
        QImage src(8, 8, QImage::Format_ARGB32);
        src.fill(qRgba(0, 0, 0, 0));
        src.setPixel(1, 1, qRgba(255, 0, 0, 255));   // opaque
        src.setPixel(2, 1, qRgba(0, 0, 255, 128));   // half transparent edge
        src.setPixel(3, 1, qRgba(10, 200, 10, 1));   // barely visible
        src.setPixel(4, 1, qRgba(255, 255, 255, 0)); // transparent with colour: stays transparent
        const QString path = dir.filePath(QStringLiteral("fav.png"));
        QVERIFY(src.save(path));
        Config c = Config::defaults();
        c.QT5_USES_FAVICON_FILE = true;
        c.QT5_FAVICON_FILE = path;
        LogCapture capture;
        auto tray = makeTray(c);
        QCOMPARE(capture.texts(logger::Level::Warn),
                 QStringList{QStringLiteral("Create tray icon from static file ") + path});
        const QImage off =
            tray->icon_offline.pixmap(QSize(8, 8)).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(off.size(), QSize(8, 8));
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool visible = qAlpha(src.pixel(x, y)) > 0;
                QCOMPARE(off.pixel(x, y), visible ? qRgba(128, 128, 128, 255) : qRgba(0, 0, 0, 0));
            }
    }

    void missingFaviconFallsBackToTheme()
    {
        Config c = Config::defaults();
        c.QT5_USES_FAVICON_FILE = true;
        c.QT5_FAVICON_FILE = dir.filePath(QStringLiteral("none.png"));
        LogCapture capture;
        auto tray = makeTray(c);
        QVERIFY(capture.texts(logger::Level::Warn).isEmpty());
        QVERIFY(!tray->icon_online.isNull());
    }

    void iconFailures_data()
    {
        QTest::addColumn<QString>("iconName");
        QTest::addColumn<QString>("error");
        QTest::newRow("no such icon") << "no-such-icon"
                                      << "Tray icon not available";
    }
    void iconFailures()
    {
        QFETCH(QString, iconName);
        QFETCH(QString, error);
        Config c = Config::defaults();
        c.QT5_ICON_FILE = iconName;
        c.IPC_PORT = server->port();
        c.IPC_SERVICE_UID = getuid();
        setConfig(c);
        QSignalSpy login(server.get(), &ServerIPC::loginReceived);
        try {
            BrimvaultSystemTray tray(qApp);
            QFAIL("construction should fail");
        } catch (const std::exception &e) {
            QCOMPARE(QString::fromUtf8(e.what()), error);
        }
        QTest::qWait(100);
        QCOMPARE(login.count(), 0);
    }

    void idleLimit()
    {
        LogCapture capture;
        auto tray = makeTray();
        tray->information(map({{"idle", 600.0}}));
        QCOMPARE(idleTimeouts, QList<qint64>{600});
        QCOMPARE(*tray->maxIdleTime, qint64(600));
        for (int tick = 1; tick <= 6; ++tick)
            tray->checkTimers();
        QCOMPARE(idleQueries, 0); // six grace ticks
        const QString warning = QStringLiteral(
            "The user has been inactive for too long. The session will end if it does not resume");
        idle = 400; // 200 left
        tray->checkTimers();
        QCOMPARE(idleQueries, 1);
        QCOMPARE(capture.count(warning), 0);
        idle = 500; // 100 left: warn once
        tray->checkTimers();
        tray->checkTimers();
        QCOMPARE(capture.count(warning), 1);
        idle = 480; // exactly 120 left: neither re-arms nor warns
        tray->checkTimers();
        idle = 500;
        tray->checkTimers();
        QCOMPARE(capture.count(warning), 1);
        idle = 10; // active again: re-armed silently
        tray->checkTimers();
        idle = 590;
        tray->checkTimers();
        QCOMPARE(capture.count(warning), 2);
        QVERIFY(!tray->stopped);
        idle = 600.5; // at the limit
        tray->checkTimers();
        QCOMPARE(
            capture.count(QStringLiteral(
                "User has been idle for too long, notifying Broker that service can be reclaimed")),
            1);
        QVERIFY(tray->stopped);
        QVERIFY(app::doLogoff);
        QVERIFY(!tray->timer->isActive());
    }

    void idleZeroIsARealLimitAndGraceIsSpentOnce()
    {
        auto tray = makeTray();
        tray->information(map({{"idle", 900}}));
        for (int tick = 0; tick < 6; ++tick)
            tray->checkTimers();
        tray->information(QVariantMap{}); // limit removed, grace not reset
        QVERIFY(!tray->maxIdleTime);
        tray->checkTimers();
        QCOMPARE(idleQueries, 0);
        tray->information(map({{"idle", 0}}));
        tray->checkTimers(); // no grace left: logs off even though the user is active
        QCOMPARE(idleQueries, 1);
        QVERIFY(tray->stopped);
        QVERIFY(app::doLogoff);
    }

    void sessionLimit()
    {
        LogCapture capture;
        auto tray = makeTray();
        tray->checkTimers();
        QCOMPARE(capture.count(QStringLiteral("Returning because maxSessionTime is zero")), 1);
        tray->information(map({{"maxSession", 0}}));
        tray->checkTimers();
        QCOMPARE(capture.count(QStringLiteral("Returning because maxSessionTime is zero")), 2);
        tray->information(map({{"maxSession", QStringLiteral("400")}}));
        QVERIFY(!tray->maxIdleTime);
        now = tray->sessionStart + seconds(50); // 350 left
        tray->checkTimers();
        QCOMPARE(capture.count(QStringLiteral("Remaining time: 350")), 1);
        now = tray->sessionStart + seconds(401); // past the limit, but the warning comes first
        tray->checkTimers();
        QCOMPARE(capture.count(QStringLiteral("User session will expire in less that 5 minutes")),
                 1);
        QVERIFY(!tray->stopped);
        tray->information(map({{"maxSession", 100000}})); // raised: the warning never repeats
        now = tray->sessionStart + seconds(100000 - 10);
        tray->checkTimers();
        QCOMPARE(capture.count(QStringLiteral("User session will expire in less that 5 minutes")),
                 1);
        now = tray->sessionStart + seconds(100000);
        tray->checkTimers();
        QCOMPARE(
            capture.count(QStringLiteral("Remaining time is less than zero, exiting and logoff")),
            1);
        QVERIFY(tray->stopped);
        QVERIFY(app::doLogoff);
    }

    void negativeSessionLimit()
    {
        auto tray = makeTray();
        tray->information(map({{"maxSession", -5}}));
        tray->checkTimers();
        QVERIFY(!tray->stopped);
        tray->checkTimers();
        QVERIFY(tray->stopped);
    }

    // A failing idle query ends only the idle check: the session length is still enforced, and
    // the failure is logged when it starts or its reason changes, not on every tick.
    void idleFailureKeepsTheSessionLimit()
    {
        LogCapture capture;
        auto tray = makeTray();
        tray->graceTimerShots = 0;
        QString reason = QStringLiteral("no idle source");
        tray->idleSource = [&]() -> double {
            if (!reason.isEmpty())
                throw std::runtime_error(reason.toStdString());
            return 0;
        };
        tray->information(map({{"idle", 600}, {"maxSession", 200}}));
        tray->checkTimers(); // session warning (200 s left)
        tray->checkTimers();
        QCOMPARE(capture.count(QStringLiteral("User session will expire in less that 5 minutes")),
                 1);
        reason = QStringLiteral("compositor gone");
        tray->checkTimers();
        tray->checkTimers();
        reason.clear();
        tray->checkTimers();
        tray->checkTimers();
        QCOMPARE(capture.texts(logger::Level::Error),
                 (QStringList{"Idle time not available: no idle source",
                              "Idle time not available: compositor gone"}));
        QCOMPARE(capture.count(QStringLiteral("Idle time available again")), 1);
        QVERIFY(!tray->stopped);
        now = tray->sessionStart + seconds(200);
        reason = QStringLiteral("no idle source");
        tray->checkTimers();
        QVERIFY(tray->stopped);
        QVERIFY(app::doLogoff);
    }

    // "Below" the threshold: exactly 120 s (idle) or 300 s (session) left is not yet a warning.
    void warningThresholds_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<double>("left");
        QTest::addColumn<int>("warnings");
        QTest::newRow("idle 120 s left") << "idle" << 120.0 << 0;
        QTest::newRow("idle 119 s left") << "idle" << 119.0 << 1;
        QTest::newRow("session 300 s left") << "maxSession" << 300.0 << 0;
        QTest::newRow("session 299.5 s left") << "maxSession" << 299.5 << 1;
    }
    void warningThresholds()
    {
        QFETCH(QString, limit);
        QFETCH(double, left);
        QFETCH(int, warnings);
        LogCapture capture;
        auto tray = makeTray();
        tray->graceTimerShots = 0;
        tray->information({{limit, 1000}});
        if (limit == QLatin1String("idle"))
            idle = 1000 - left;
        else
            now = tray->sessionStart + milliseconds(qint64((1000 - left) * 1000));
        tray->checkTimers();
        tray->checkTimers();
        QCOMPARE(capture.texts(logger::Level::Warn).size(), warnings);
        QVERIFY(!tray->stopped);
    }

    // The grace is for the first checks that find a limit, however late it arrives: a user
    // idle for long is neither warned nor logged off until the six grace ticks have passed.
    void lateIdleLimitStillGetsItsGrace()
    {
        LogCapture capture;
        auto tray = makeTray();
        for (int i = 0; i < 20; ++i)
            tray->checkTimers();
        idle = 5000;
        tray->information(map({{"idle", 60}}));
        for (int i = 0; i < BrimvaultSystemTray::kGraceTicks; ++i)
            tray->checkTimers();
        QCOMPARE(idleQueries, 0);
        QVERIFY(!tray->stopped);
        QVERIFY(capture.texts(logger::Level::Warn).isEmpty());
        tray->checkTimers();
        QCOMPARE(idleQueries, 1);
        QVERIFY(tray->stopped);
    }

    void badInformationKeepsWhatCameBefore()
    {
        auto tray = makeTray();
        tray->information(map({{"idle", 300}, {"maxSession", 1000}}));
        tray->information(map({{"idle", QStringLiteral("soon")}, {"maxSession", 50}}));
        QCOMPARE(*tray->maxIdleTime, qint64(300));
        QCOMPARE(*tray->maxSessionTime, qint64(1000)); // the key after the failure is not read
        tray->information(map({{"idle", 59.9}, {"maxSession", QStringLiteral("x")}}));
        QCOMPARE(*tray->maxIdleTime, qint64(59));
        QCOMPARE(*tray->maxSessionTime, qint64(1000));
        tray->idleTimeoutSetter = [](qint64) { throw std::runtime_error("X gone"); };
        tray->information(map({{"idle", 700}}));
        QCOMPARE(*tray->maxIdleTime, qint64(59)); // a failing setter leaves the limit unchanged
    }

    void quitTwice_data()
    {
        QTest::addColumn<bool>("first");
        QTest::addColumn<bool>("second");
        QTest::newRow("exit then logoff") << false << true;
        QTest::newRow("logoff then exit") << true << false;
        QTest::newRow("logoff twice") << true << true;
    }
    void quitTwice()
    {
        QFETCH(bool, first);
        QFETCH(bool, second);
        QSignalSpy logout(server.get(), &ServerIPC::logoutReceived);
        QSignalSpy gone(server.get(), &ServerIPC::agentDisconnected);
        LogCapture capture;
        auto tray = makeTray();
        tray->quit(first);
        tray->quit(second);
        QCOMPARE(app::doLogoff, first);
        QTRY_COMPARE(gone.count(), 1);
        QCOMPARE(logout.count(), 1);
        // Ours twice, plus the link's exit once it has ended; none of them sends a second logout.
        QVERIFY(capture.countStartingWith(QStringLiteral("Quit invoked, logoff: ")) >= 2);
        QCOMPARE(app::doLogoff, first);
    }

    // A library ending the process races the loop's own end: one logout, one end line, either way.
    void endBeforeExitBesideQuit_data()
    {
        QTest::addColumn<bool>("quitFirst");
        QTest::newRow("quit, then the library's end") << true;
        QTest::newRow("the library's end, then quit") << false;
    }
    void endBeforeExitBesideQuit()
    {
        QFETCH(bool, quitFirst);
        QSignalSpy logout(server.get(), &ServerIPC::logoutReceived);
        QSignalSpy gone(server.get(), &ServerIPC::agentDisconnected);
        LogCapture capture;
        auto tray = makeTray();
        if (quitFirst)
            tray->quit();
        tray->endBeforeExit(EndCause::DisplayLost);
        tray->quit();
        QTRY_COMPARE(gone.count(), 1);
        QCOMPARE(logout.count(), 1);
        QCOMPARE(capture.countStartingWith(QStringLiteral("Ending: ")), 1);
        QCOMPARE(capture.count(QStringLiteral("Ending: the display connection was lost")),
                 quitFirst ? 0 : 1);
    }

    void notifyUserIsOffByDefault()
    {
        auto tray = makeTray();
        QStringList shown;
        tray->notifier = [&](WarningNotices::Kind, const QString &, const QString &text) {
            shown << text;
        };
        tray->displayMessage(QStringLiteral("hello"));
        QVERIFY(!tray->messageDlg);
        tray->information(map({{"idle", 600}, {"maxSession", 100}}));
        tray->graceTimerShots = 0;
        idle = 590;
        tray->checkTimers();
        QVERIFY(shown.isEmpty());
    }

    void notifyUserShowsWarningsAndMessages()
    {
        Config c = Config::defaults();
        c.NOTIFY_USER = true;
        LogCapture capture;
        auto tray = makeTray(c);
        QStringList shown;
        tray->notifier = [&](WarningNotices::Kind, const QString &title, const QString &text) {
            shown << title + QStringLiteral(" | ") + text;
        };
        tray->information(map({{"idle", 600}, {"maxSession", 1000}}));
        tray->graceTimerShots = 0;
        idle = 510;                              // 90 s left
        now = tray->sessionStart + seconds(755); // 245 s left
        tray->checkTimers();
        QCOMPARE(shown, (QStringList{"Brimvault Agent | You have been inactive for a while. Your "
                                     "session will end in 1 min 30 s unless you resume.",
                                     "Brimvault Agent | Your session will end in 4 min 05 s."}));
        // The log lines stay as they are.
        QCOMPARE(capture.count(QStringLiteral("User session will expire in less that 5 minutes")),
                 1);

        // The idle warning leaves the screen as soon as the user is back, even while the time
        // left is still under the threshold; the session warning stays.
        QList<WarningNotices::Kind> closed;
        bool forGood = false;
        tray->noticeCloser = [&](WarningNotices::Kind kind, bool end) {
            closed << kind;
            forGood = end;
        };
        idle = 515;
        tray->checkTimers();
        QVERIFY(closed.isEmpty());
        idle = 490; // input since the warning; 110 s left
        tray->checkTimers();
        QCOMPARE(closed, QList<WarningNotices::Kind>{WarningNotices::Idle});
        QVERIFY(!forGood); // it may come back
        idle = 3;
        tray->checkTimers();
        QCOMPARE(closed, QList<WarningNotices::Kind>{WarningNotices::Idle});

        // The session warning says the time actually left, renewed once a minute.
        shown.clear();
        now = tray->sessionStart + seconds(814);
        tray->checkTimers();
        QVERIFY(shown.isEmpty());
        now = tray->sessionStart + seconds(815); // a minute on: 185 s left
        tray->checkTimers();
        QCOMPARE(shown, QStringList{"Brimvault Agent | Your session will end in 3 min 05 s."});
        QCOMPARE(capture.count(QStringLiteral("User session will expire in less that 5 minutes")),
                 1);

        tray->displayMessage(QStringLiteral("first"));
        BrimvaultMessageDialog *dialog = tray->messageDlg.get();
        QVERIFY(dialog && dialog->isVisible());
        tray->displayMessage(QStringLiteral("second"));
        QCOMPARE(tray->messageDlg.get(), dialog); // one dialog, replaced in place
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("message"))->text(),
                 QStringLiteral("second"));
        QCOMPARE(capture.count(QStringLiteral("Displaying message: second")), 1);

        // Nothing stays on screen once the agent has ended.
        closed.clear();
        tray->quit();
        QCOMPARE(closed,
                 (QList<WarningNotices::Kind>{WarningNotices::Idle, WarningNotices::Session}));
        QVERIFY(forGood);
    }

    void commands()
    {
        LogCapture capture;
        auto tray = makeTray();
        tray->displayMessage(QString());
        QCOMPARE(capture.count(QStringLiteral("Displaying message: ")), 1);
        tray->disconnect();
        QVERIFY(!tray->stopped);
        tray->logoff();
        QVERIFY(tray->stopped);
        QVERIFY(app::doLogoff);
    }
};

QTEST_MAIN(TestBrimvaultSystemTray)
#include "tst_brimvaultsystemtray.moc"
