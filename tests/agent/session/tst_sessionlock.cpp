#include "agent/session/SessionLock.h"

#include "agent/session/SessionFacts.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// The session lock refuses what someone else could have put in its place, and the check
// program's look at it never takes it.
class TestSessionLock : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase() { qputenv("XDG_SESSION_ID", "t1"); }

    void refusesWhatIsNotItsOwnFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symlink") << "symlink";
        QTest::newRow("hard link") << "hard link";
        QTest::newRow("FIFO") << "FIFO";
    }
    void refusesWhatIsNotItsOwnFile()
    {
        QFETCH(QString, kind);
        const QString victim = dir.filePath(QStringLiteral("victim"));
        const QString path = dir.filePath(QStringLiteral("planted.lock"));
        QFile::remove(path);
        QFile v(victim);
        QVERIFY(v.open(QIODevice::WriteOnly | QIODevice::Truncate));
        v.write("the user's data\n");
        v.close();
        const QByteArray p = QFile::encodeName(path);
        if (kind == QLatin1String("symlink"))
            QCOMPARE(::symlink(QFile::encodeName(victim).constData(), p.constData()), 0);
        else if (kind == QLatin1String("hard link"))
            QCOMPARE(::link(QFile::encodeName(victim).constData(), p.constData()), 0);
        else
            QCOMPARE(::mkfifo(p.constData(), 0600), 0);
        // A FIFO would block an open for ever: both calls must return, whatever the load.
        auto refused = std::async(std::launch::async, [&path] {
            SessionLock lock;
            const bool taken = lock.acquire(path);
            return !taken && !lock.error().isEmpty() && SessionLock::heldBy(path) == 0;
        });
        if (refused.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            QFile(path).open(QIODevice::WriteOnly); // lets a blocked open return
            QFAIL("opening the lock file blocked");
        }
        QVERIFY2(refused.get(), qPrintable(kind));
        QVERIFY(v.open(QIODevice::ReadOnly));
        QCOMPARE(v.readAll(), QByteArray("the user's data\n"));
        v.close();
    }

    // Before, the check took a shared lock for a moment: an agent starting then stepped aside.
    void lookingNeverTakesIt()
    {
        const QString path = dir.filePath(QStringLiteral("busy.lock"));
        std::atomic<bool> done{false};
        std::thread checker([&] {
            while (!done)
                SessionLock::heldBy(path);
        });
        int refused = 0;
        for (int i = 0; i < 300; ++i) {
            SessionLock lock;
            refused += lock.acquire(path) ? 0 : 1;
        }
        done = true;
        checker.join();
        QCOMPARE(refused, 0);
        SessionLock held;
        QVERIFY(held.acquire(path));
        QCOMPARE(SessionLock::heldBy(path), qint64(::getpid()));
    }

    // Without a runtime folder: a private folder of the user's in the temporary folder, and
    // nothing else will do.
    void privateFolderOutsideTheRuntimeFolder()
    {
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
        SessionFacts::refresh();
        const QString folder = dir.filePath(QStringLiteral("brimvault-agent-%1").arg(::getuid()));
        QCOMPARE(SessionLock::path(), folder + QStringLiteral("/brimvault-agent-t1.lock"));
        struct stat st = {};
        QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0700));
        SessionLock lock;
        QVERIFY(lock.acquire());
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        QString error;
        QVERIFY(SessionLock::path(&error).isEmpty());
        QVERIFY2(error.endsWith(QStringLiteral("not a private folder of this user")),
                 qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestSessionLock)
#include "tst_sessionlock.moc"
