#include "Needs.h"
#include "agent/session/idle/WaylandIdle.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QtTest>

#include <csignal>

// Idle time from a real compositor, started by with-compositor.sh, which lists what the
// compositor offers (WAYLAND_GLOBALS): the protocol, version and notification expected follow
// from that list, not from what one release's compositor had.
class TestWaylandIdle : public QObject
{
    Q_OBJECT

    std::unique_ptr<WaylandIdle> idle;
    QHash<QString, unsigned> offered; // interface -> version

    double seconds() const { return idle->idleSeconds().value_or(-1); }

private slots:
    void initTestCase()
    {
        QFile globals(qEnvironmentVariable("WAYLAND_GLOBALS"));
        QVERIFY2(globals.open(QIODevice::ReadOnly), "run by with-compositor.sh");
        for (const QByteArray &line : globals.readAll().split('\n'))
            if (const auto pair = line.split(' '); pair.size() == 2)
                offered.insert(QString::fromLatin1(pair[0]), pair[1].toUInt());
        QVERIFY(offered.contains(QStringLiteral("wl_seat")));
        idle = std::make_unique<WaylandIdle>();
        QTRY_VERIFY_WITH_TIMEOUT(!idle->interfaceName().isEmpty(), 5000);
    }

    // ext_idle_notifier_v1 at the lower of the offered version and 2, and the input notification
    // only where version 2 has it and it is wanted; else KDE's protocol.
    void protocolAsOffered_data()
    {
        QTest::addColumn<bool>("inputOnly");
        QTest::newRow("IDLE_INHIBITORS = ignore") << true;
        QTest::newRow("IDLE_INHIBITORS = honour") << false;
    }
    void protocolAsOffered()
    {
        QFETCH(bool, inputOnly);
        WaylandIdle source(QString(), inputOnly ? WaylandIdle::Want::InputOnly
                                                : WaylandIdle::Want::FollowInhibitors);
        QTRY_VERIFY_WITH_TIMEOUT(!source.interfaceName().isEmpty(), 5000);
        const unsigned ext = offered.value(QStringLiteral("ext_idle_notifier_v1"));
        if (ext == 0) {
            QVERIFY(offered.contains(QStringLiteral("org_kde_kwin_idle")));
            QCOMPARE(source.interfaceName(), QStringLiteral("org_kde_kwin_idle"));
            QCOMPARE(source.notification(), QStringLiteral("get_idle_timeout"));
            QVERIFY(source.followsInhibitors());
            return;
        }
        QCOMPARE(source.interfaceName(), QStringLiteral("ext_idle_notifier_v1"));
        QCOMPARE(source.version(), qMin(ext, 2u));
        const bool input = inputOnly && ext >= 2;
        QCOMPARE(source.notification(), input ? QStringLiteral("get_input_idle_notification")
                                              : QStringLiteral("get_idle_notification"));
        QCOMPARE(source.followsInhibitors(), !input);
        QTRY_VERIFY_WITH_TIMEOUT(source.idleSeconds().value_or(0) >= 1.0, 5000);
    }

    void idleTimeGrowsWithoutInput()
    {
        QTRY_VERIFY_WITH_TIMEOUT(seconds() >= 1.0, 5000);
        const double first = seconds();
        QTest::qWait(1500);
        const double later = seconds();
        QVERIFY2(later >= first + 1.0 && later < first + 10,
                 qPrintable(QStringLiteral("%1 -> %2").arg(first).arg(later)));
    }

    void inputBringsItBackNearZero()
    {
        if (!offered.contains(QStringLiteral("zwp_virtual_keyboard_manager_v1")))
            QSKIP("the compositor offers no virtual keyboard (zwp_virtual_keyboard_manager_v1)");
        NEED_PROGRAM("wtype", "wtype");
        QTRY_VERIFY_WITH_TIMEOUT(seconds() >= 2.0, 5000);
        QCOMPARE(QProcess::execute(QStringLiteral("wtype"), {QStringLiteral("x")}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(seconds() >= 0 && seconds() < 1.0, 3000);
    }

    // Where there is nothing to connect to, or the compositor goes away: a reason, no crash.
    void failures()
    {
        WaylandIdle nowhere(QStringLiteral("brimvault-no-such-display"));
        QVERIFY(!nowhere.idleSeconds());
        QVERIFY2(nowhere.failure().startsWith(
                     QStringLiteral("no Wayland compositor at brimvault-no-such-display")),
                 qPrintable(nowhere.failure()));

        ::kill(qEnvironmentVariableIntValue("COMPOSITOR_PID"), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(!idle->idleSeconds(), 5000);
        QCOMPARE(idle->failure(), QStringLiteral("the Wayland compositor closed the connection"));
        QVERIFY(idle->interfaceName().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWaylandIdle)
#include "tst_waylandidle.moc"
