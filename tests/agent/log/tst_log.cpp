#include "LogCapture.h"

#include "agent/ipc/IpcError.h"
#include "agent/log/log.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/stat.h>

#include <thread>
#include <vector>

class TestLog : public QObject
{
    Q_OBJECT
private slots:
    void recordFormatAndFile()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("nested/deeper/agent.log"));
        QVERIFY(logger::init({file, logger::Level::Debug, 5 * 1024 * 1024, 3, false}));
        QThread::currentThread()->setObjectName(QStringLiteral("main"));
        logger::debug(QStringLiteral("a {} placeholder and 100% literal"));
        logger::warn(QStringLiteral("second"));
        logger::flush();
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines =
            QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        const QRegularExpression format(QStringLiteral(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (DEBUG|INFO|WARN|ERROR) \[[^\]]+\] .*$)"));
        for (const QString &line : lines)
            QVERIFY2(format.match(line).hasMatch(), qPrintable(line));
        QVERIFY(
            lines[0].contains(QStringLiteral(" DEBUG [main] a {} placeholder and 100% literal")));
        QVERIFY(lines[1].contains(QStringLiteral(" WARN [main] second")));
        logger::init({});
    }

    void levelFilters()
    {
        logger::init({QString(), logger::Level::Info, 0, 1, false});
        LogCapture capture;
        logger::debug(QStringLiteral("hidden"));
        logger::info(QStringLiteral("shown"));
        QVERIFY(!logger::enabled(logger::Level::Debug));
        QCOMPARE(capture.allTexts(), QStringList{QStringLiteral("shown")});
        logger::Level level;
        QVERIFY(logger::parseLevel(QStringLiteral("warning"), &level));
        QCOMPARE(int(level), int(logger::Level::Warn));
        QVERIFY(!logger::parseLevel(QStringLiteral("loud"), &level));
    }

    void exceptionRecordsTypeAndMessage()
    {
        logger::init({QString(), logger::Level::Debug, 0, 1, false});
        LogCapture capture;
        try {
            throw IpcError(QStringLiteral("port closed"));
        } catch (...) {
            logger::exception();
        }
        QCOMPARE(capture.texts(logger::Level::Error),
                 QStringList{QStringLiteral("IpcError: port closed")});
    }

    // What a slot or a thread's entry throws stays there, whatever its type.
    void guardedCatchesAnything()
    {
        logger::init({QString(), logger::Level::Debug, 0, 1, false});
        LogCapture capture;
        logger::guarded("Slot", [] { throw 7; });
        logger::guarded("Slot", [] { throw IpcError(QStringLiteral("port closed")); });
        const QStringList errors = capture.texts(logger::Level::Error);
        QCOMPARE(errors.size(), 2);
        QVERIFY2(errors[0].startsWith(QStringLiteral("Slot failed: ")), qPrintable(errors[0]));
        QCOMPARE(errors[1], QStringLiteral("Slot failed: IpcError: port closed"));
    }

    // Rotation at the size limit; the files and the folders made for them are the owner's alone.
    void rotatesAtSize()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("state/brimvault/agent.log"));
        QVERIFY(logger::init({file, logger::Level::Debug, 4096, 3, false}));
        for (int i = 0; i < 500; ++i)
            logger::info(QString(60, QLatin1Char('x')));
        logger::flush();
        QVERIFY(QFileInfo(file).size() <= 4096);
        const QString folder = QFileInfo(file).path();
        QVERIFY(QFileInfo::exists(folder + QStringLiteral("/agent.1.log")));
        QVERIFY(QFileInfo::exists(folder + QStringLiteral("/agent.2.log")));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/agent.3.log")));
        const auto mode = [](const QString &path) {
            struct stat st = {};
            ::stat(QFile::encodeName(path).constData(), &st);
            return st.st_mode & 0777;
        };
        for (const char *name : {"agent.log", "agent.1.log", "agent.2.log"})
            QCOMPARE(mode(folder + QLatin1Char('/') + QLatin1String(name)), 0600u);
        QCOMPARE(mode(folder), 0700u);
        QCOMPARE(mode(dir.filePath(QStringLiteral("state"))), 0700u);
        logger::init({});
    }

    void unwritableFileFallsBackToStderr()
    {
        QVERIFY(!logger::init(
            {QStringLiteral("/proc/no/such/agent.log"), logger::Level::Info, 4096, 3, false}));
        LogCapture capture;
        logger::info(QStringLiteral("still logged"));
        QCOMPARE(capture.count(QStringLiteral("still logged")), 1);
        logger::init({});
    }

    // Many threads at once, while another swaps the destinations: every record whole, none lost.
    void concurrentUse()
    {
        logger::init({QString(), logger::Level::Debug, 0, 1, false});
        LogCapture capture;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 1000; ++i)
                    logger::info(QStringLiteral("t%1 #%2").arg(t).arg(i));
            });
        for (int i = 0; i < 20; ++i)
            logger::setLevel(logger::Level::Debug);
        for (auto &th : threads)
            th.join();
        QCOMPARE(capture.records().size(), std::size_t(4000));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
