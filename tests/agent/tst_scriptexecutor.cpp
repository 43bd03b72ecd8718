#include "LogCapture.h"

#include "agent/ScriptExecutorThread.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestScriptExecutor : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QStringList leftoverScripts() const
    {
        return QDir(QDir::tempPath()).entryList({QStringLiteral("brimvault-script-*")}, QDir::Files);
    }

private slots:
    void initTestCase() { logger::init({QString(), logger::Level::Debug, 0, 1, false}); }

    void shellScriptRunsAndIsRemoved()
    {
        const QString out = dir.filePath(QStringLiteral("sh.out"));
        LogCapture capture;
        (new ScriptExecutorThread(QStringLiteral("echo \"ran as $0\" > '%1'\nstat -c %a \"$0\" >> '%1'").arg(out)))->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].contains(QStringLiteral("brimvault-script-")));
        QCOMPARE(lines[1], QStringLiteral("700"));
        QCOMPARE(capture.count(QStringLiteral("Script finished with exit status 0")), 1);
        QVERIFY(leftoverScripts().isEmpty());
    }

    void shebangPicksTheInterpreter()
    {
        const QString out = dir.filePath(QStringLiteral("py.out"));
        (new ScriptExecutorThread(QStringLiteral("#!/usr/bin/perl -w\nopen(my $f, '>', '%1') or die; print $f 6*7;\n").arg(out)))->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("42"));
    }

    void failureLogsStatusAndStderr()
    {
        LogCapture capture;
        (new ScriptExecutorThread(QStringLiteral("echo first >&2\necho second >&2\nexit 3")))->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QCOMPARE(capture.texts(logger::Level::Warn),
                 QStringList{QStringLiteral("Script failed with exit status 3; stderr: first | second")});
    }

    void unknownInterpreterIsReported()
    {
        LogCapture capture;
        (new ScriptExecutorThread(QStringLiteral("#!/no/such/interpreter\n")))->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QCOMPARE(capture.countStartingWith(QStringLiteral("Script could not be started")), 1);
        QVERIFY(leftoverScripts().isEmpty());
    }

    // start() returns at once, and several scripts run side by side.
    void runsConcurrentlyWithoutBlocking()
    {
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3; ++i)
            (new ScriptExecutorThread(QStringLiteral("sleep 1")))->start();
        QVERIFY(clock.elapsed() < 500);
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QVERIFY(clock.elapsed() < 2500); // three 1-second sleeps overlapped
    }

    void stderrKeptBounded()
    {
        LogCapture capture;
        (new ScriptExecutorThread(QStringLiteral("head -c 3000000 /dev/zero | tr '\\\\0' x >&2; exit 1")))->start();
        QVERIFY(ScriptExecutorThread::waitForAll(20000));
        const QStringList warns = capture.texts(logger::Level::Warn);
        QCOMPARE(warns.size(), 1);
        QVERIFY(warns.first().size() <= ScriptExecutorThread::kMaxOutputBytes + 100);
    }
};

QTEST_GUILESS_MAIN(TestScriptExecutor)
#include "tst_scriptexecutor.moc"
