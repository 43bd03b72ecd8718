#include "Needs.h"
#include "agent/session/idle/WaylandIdle.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

// Idle time from a real compositor, started by with-compositor.sh. EXPECT_INTERFACE names the
// protocol that compositor should be served by.
class TestWaylandIdle : public QObject
{
    Q_OBJECT

    std::unique_ptr<WaylandIdle> idle;

    double seconds() const { return idle->idleSeconds().value_or(-1); }

private slots:
    void initTestCase()
    {
        idle = std::make_unique<WaylandIdle>();
        QTRY_VERIFY_WITH_TIMEOUT(!idle->interfaceName().isEmpty(), 5000);
        QCOMPARE(idle->interfaceName(), qEnvironmentVariable("EXPECT_INTERFACE"));
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
        if (qEnvironmentVariable("EXPECT_INTERFACE") != QLatin1String("org_kde_kwin_idle"))
            QSKIP("virtual keyboard input is only driven under sway");
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
