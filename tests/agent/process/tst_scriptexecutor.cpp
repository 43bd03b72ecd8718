#include "LogCapture.h"

#include "agent/config/Config.h"
#include "agent/process/ScriptExecutorThread.h"
#include "agent/process/SessionProcess.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

class TestScriptExecutor : public QObject
{
    Q_OBJECT

    static int threadCount()
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("Threads:"))
                return line.mid(8).trimmed().toInt();
        return -1;
    }

    QTemporaryDir dir;

    QStringList leftoverScripts() const
    {
        return QDir(QDir::tempPath())
            .entryList({QStringLiteral("brimvault-script-*")}, QDir::Files);
    }

private slots:
    // The configuration is set before scripts run, as in the agent: none of the last test's is
    // still reading it.
    void cleanup() { QVERIFY(ScriptExecutorThread::waitForAll(30000)); }
    void initTestCase()
    {
        logger::init({QString(), logger::Level::Debug, 0, 1, false});
        // Script files go to a folder of this run's own, so that only ours are counted.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("tmp")));
        qputenv("TMPDIR", QFile::encodeName(dir.filePath(QStringLiteral("tmp"))));
    }

    void shellScriptRunsAndIsRemoved()
    {
        const QString out = dir.filePath(QStringLiteral("sh.out"));
        LogCapture capture;
        (new ScriptExecutorThread(
             QStringLiteral("echo \"ran as $0\" > '%1'\nstat -c %a \"$0\" >> '%1'").arg(out)))
            ->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines =
            QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].contains(QStringLiteral("brimvault-script-")));
        QCOMPARE(lines[1], QStringLiteral("700"));
        QCOMPARE(capture.count(QStringLiteral("Script finished with exit status 0")), 1);
        QVERIFY(leftoverScripts().isEmpty());
    }

    void shebangPicksTheInterpreter()
    {
        const QString out = dir.filePath(QStringLiteral("py.out"));
        (new ScriptExecutorThread(
             QStringLiteral("#!/usr/bin/perl -w\nopen(my $f, '>', '%1') or die; print $f 6*7;\n")
                 .arg(out)))
            ->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("42"));
    }

    void failureLogsStatusAndStderr()
    {
        LogCapture capture;
        (new ScriptExecutorThread(QStringLiteral("echo first >&2\necho second >&2\nexit 3")))
            ->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QCOMPARE(capture.texts(logger::Level::Warn),
                 QStringList{
                     QStringLiteral("Script failed with exit status 3; stderr: first | second")});
    }

    void unknownInterpreterIsReported()
    {
        LogCapture capture;
        (new ScriptExecutorThread(QStringLiteral("#!/no/such/interpreter\n")))->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QCOMPARE(capture.countStartingWith(QStringLiteral("Script could not be started")), 1);
        QVERIFY(leftoverScripts().isEmpty());
    }

    // start() returns at once, and several scripts run side by side: all three have started
    // before the first ends, as the scripts' own trace shows.
    void runsConcurrentlyWithoutBlocking()
    {
        const QString trace = dir.filePath(QStringLiteral("overlap.trace"));
        QElapsedTimer clock;
        qint64 longest = 0;
        for (int i = 0; i < 3; ++i) {
            clock.start();
            (new ScriptExecutorThread(
                 QStringLiteral("echo s >> '%1'; sleep 2; echo e >> '%1'").arg(trace)))
                ->start();
            longest = qMax(longest, clock.elapsed());
        }
        QVERIFY2(longest < 500, qPrintable(QString::number(longest)));
        QVERIFY(ScriptExecutorThread::waitForAll(20000));
        QFile f(trace);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("s\ns\ns\ne\ne\ne\n"));
    }

    // A burst of 1,000: at most SCRIPT_MAX_CONCURRENT at a time, started in arrival order, none
    // lost.
    void burstIsBoundedAndOrdered()
    {
        const QString trace = dir.filePath(QStringLiteral("burst.trace"));
        const int threadsBefore = threadCount();
        int peakThreads = 0;
        for (int i = 0; i < 1000; ++i) {
            (new ScriptExecutorThread(
                 QStringLiteral("echo start %1 >> '%2'; sleep 0.005; echo end %1 >> '%2'")
                     .arg(i)
                     .arg(trace)))
                ->start();
            peakThreads = qMax(peakThreads, threadCount());
        }
        while (!ScriptExecutorThread::waitForAll(100))
            peakThreads = qMax(peakThreads, threadCount());
        QVERIFY(peakThreads - threadsBefore <= 4);
        QFile f(trace);
        QVERIFY(f.open(QIODevice::ReadOnly));
        int running = 0, peak = 0;
        QList<int> starts;
        int ends = 0;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("start ")) {
                peak = qMax(peak, ++running);
                starts << line.mid(6).toInt();
            } else if (line.startsWith("end ")) {
                --running;
                ++ends;
            }
        }
        // Arrival order, up to the jitter of processes starting side by side: the first hundred
        // to start came early in the burst, the last hundred late.
        QCOMPARE(starts.size(), 1000);
        const QList<int> first = starts.mid(0, 100), last = starts.mid(900);
        QVERIFY(*std::max_element(first.begin(), first.end()) < 200);
        QVERIFY(*std::min_element(last.begin(), last.end()) >= 800);
        QCOMPARE(ends, 1000);
        QVERIFY2(peak <= 4, qPrintable(QString::number(peak)));
    }

    // SCRIPT_TIMEOUT counts seconds: a half-second script under a 5-second limit runs to its end.
    void timeoutIsInSeconds()
    {
        Config c = Config::defaults();
        c.SCRIPT_TIMEOUT = 5;
        setConfig(c);
        const QString output = dir.filePath(QStringLiteral("finished"));
        LogCapture capture;
        (new ScriptExecutorThread(QStringLiteral("sleep 0.5; echo done > '%1'").arg(output)))
            ->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QCOMPARE(capture.count(QStringLiteral("Script finished with exit status 0")), 1);
        QCOMPARE(capture.countStartingWith(QStringLiteral("Script killed")), 0);
        QFile f(output);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("done\n"));
        setConfig(Config::defaults());
    }

    void timeoutKillsTheWholeScript()
    {
        Config c = Config::defaults();
        c.SCRIPT_TIMEOUT = 1;
        setConfig(c);
        const QString marker = dir.filePath(QStringLiteral("survivor"));
        LogCapture capture;
        // The child of the shell must go too, not only the shell.
        (new ScriptExecutorThread(QStringLiteral("(sleep 3; touch '%1') & wait").arg(marker)))
            ->start();
        QVERIFY(ScriptExecutorThread::waitForAll(10000));
        QCOMPARE(
            capture.countStartingWith(QStringLiteral("Script killed after the time limit of 1 s")),
            1);
        QTest::qWait(2500);
        QVERIFY(!QFileInfo::exists(marker));
        setConfig(Config::defaults());
    }

    void stderrKeptBounded()
    {
        LogCapture capture;
        (new ScriptExecutorThread(
             QStringLiteral("head -c 3000000 /dev/zero | tr '\\\\0' x >&2; exit 1")))
            ->start();
        QVERIFY(ScriptExecutorThread::waitForAll(20000));
        const QStringList warns = capture.texts(logger::Level::Warn);
        QCOMPARE(warns.size(), 1);
        QVERIFY(warns.first().size() <= ScriptExecutorThread::kMaxOutputBytes + 100);
    }

    // Last, as the shutdown is for good: a script whose start raced it is ended as it is
    // registered, not after shutdown()'s wait.
    void shutdownEndsAScriptThatStartedMeanwhile()
    {
        SessionProcess script; // started as a script is
        script.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(script.waitForStarted());
        ScriptExecutorThread::shutdown(0);
        ScriptExecutorThread::registerStarted(script.processId());
        QVERIFY(script.waitForFinished(1500));
        QCOMPARE(script.exitStatus(), QProcess::CrashExit);
    }
};

QTEST_GUILESS_MAIN(TestScriptExecutor)
#include "tst_scriptexecutor.moc"
