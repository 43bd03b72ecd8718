#include "brimvault_agent/tray/WarningNotices.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QtTest>

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
        if (QStandardPaths::findExecutable(QStringLiteral("dunst")).isEmpty())
            QSKIP("dunst is not installed");
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
    }
};

QTEST_MAIN(TestWarningNotices)
#include "tst_warningnotices.moc"
