#include "agent/config/Config.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

class TestConfig : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString write(const QByteArray &text)
    {
        const QString path = dir.filePath(QStringLiteral("agent.conf"));
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(text);
        return path;
    }

private slots:
    void defaults()
    {
        const Config c = Config::defaults();
        QCOMPARE(c.IPC_PORT, 43910);
        QVERIFY(c.TRAY_MENU_ENABLED);
        QVERIFY(!c.QT5_USES_FAVICON_FILE);
        QCOMPARE(c.LOG_LEVEL, QStringLiteral("INFO"));
        QVERIFY(c.LOG_FILE.endsWith(QStringLiteral("brimvault/agent-user.log")));
        QVERIFY(c.IMG_DIR.endsWith(QStringLiteral("/icons")));
    }

    void missingFileIsNotAnError()
    {
        QStringList warnings;
        const Config c = Config::fromFile(dir.filePath(QStringLiteral("none.conf")), &warnings);
        QVERIFY(warnings.isEmpty());
        QCOMPARE(c.IPC_PORT, 43910);
    }

    void overridesKeepTextAsWritten()
    {
        QStringList warnings;
        const Config c = Config::fromFile(write("# comment\n"
                                                "APPLICATION_TITLE = Desk, Inc. 100%\n"
                                                "IPC_PORT=5000\n"
                                                "TRAY_MENU_ENABLED = false\n"
                                                "LOGOFF_COMMAND = \"pkill -u $USER -f 'a\\\\b'\"\n"
                                                "LOG_LEVEL = debug\n"
                                                "IDLE_INHIBITORS = honor\n"),
                                          &warnings);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
        QCOMPARE(c.APPLICATION_TITLE, QStringLiteral("Desk, Inc. 100%"));
        QCOMPARE(c.IPC_PORT, 5000);
        QVERIFY(!c.TRAY_MENU_ENABLED);
        QCOMPARE(c.LOGOFF_COMMAND, QStringLiteral("pkill -u $USER -f 'a\\\\b'"));
        QCOMPARE(c.LOG_LEVEL, QStringLiteral("DEBUG"));
        QCOMPARE(c.IDLE_INHIBITORS, QStringLiteral("honour"));
    }

    // Read as UTF-8 whatever the locale: a title or command with letters beyond ASCII comes out
    // as written. And the configuration is still there for the exit hooks that read it.
    void utf8UnderAnyLocaleAndAtExit()
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C"));
        env.insert(QStringLiteral("BRIMVAULT_TEST_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("utf8Child")});
        QVERIFY(child.waitForFinished(20000));
        const QByteArray out = child.readAllStandardOutput();
        QVERIFY2(child.exitCode() == 0, out.constData());
        QVERIFY2(out.contains("title at exit: Brimvault \xc3\x84gent \xe2\x9c\x93\n"),
                 out.constData());
    }
    void utf8Child()
    {
        if (!qEnvironmentVariableIsSet("BRIMVAULT_TEST_CHILD"))
            QSKIP("run by utf8UnderAnyLocaleAndAtExit");
        // Registered before the configuration is first used, so run after anything destroyed at
        // exit: an exit hook reads it so.
        std::atexit([] {
            std::printf("title at exit: %s\n", config().APPLICATION_TITLE.toUtf8().constData());
            std::fflush(stdout);
        });
        QStringList warnings;
        setConfig(Config::fromFile(write("APPLICATION_TITLE = Brimvault \xc3\x84gent \xe2\x9c\x93\n"
                                         "LOGOFF_COMMAND = echo 'Gr\xc3\xbc\xc3\x9f\x65'\n"),
                                   &warnings));
        QVERIFY(warnings.isEmpty());
        QCOMPARE(config().APPLICATION_TITLE, QStringLiteral("Brimvault \u00c4gent \u2713"));
        QCOMPARE(config().LOGOFF_COMMAND, QStringLiteral("echo 'Gr\u00fc\u00dfe'"));
    }

    void badValues_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("key");
        QTest::newRow("port text") << QByteArray("IPC_PORT = http") << QStringLiteral("IPC_PORT");
        QTest::newRow("port zero") << QByteArray("IPC_PORT = 0") << QStringLiteral("IPC_PORT");
        QTest::newRow("port too big")
            << QByteArray("IPC_PORT = 65536") << QStringLiteral("IPC_PORT");
        QTest::newRow("bool") << QByteArray("TRAY_MENU_ENABLED = maybe")
                              << QStringLiteral("TRAY_MENU_ENABLED");
        QTest::newRow("level") << QByteArray("LOG_LEVEL = loud") << QStringLiteral("LOG_LEVEL");
    }
    void badValues()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, key);
        QStringList warnings;
        const Config c =
            Config::fromFile(write(line + "\nAPPLICATION_TITLE = still read\n"), &warnings);
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings.first().contains(key));
        QVERIFY(warnings.first().contains(QStringLiteral("keeping the default")));
        QCOMPARE(c.IPC_PORT, 43910);
        QVERIFY(c.TRAY_MENU_ENABLED);
        QCOMPARE(c.APPLICATION_TITLE, QStringLiteral("still read"));
    }

    // Every numeric key takes its exact minimum and maximum without a word; one past either end
    // warns and keeps the default.
    void numericBounds_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<qint64>("min");
        QTest::addColumn<qint64>("max");
        QTest::newRow("IPC_PORT") << "IPC_PORT" << qint64(1) << qint64(65535);
        QTest::newRow("IPC_SERVICE_UID") << "IPC_SERVICE_UID" << qint64(-1) << qint64(4294967294LL);
        QTest::newRow("LOG_MAX_BYTES") << "LOG_MAX_BYTES" << qint64(4096) << (qint64(1) << 40);
        QTest::newRow("SCRIPT_MAX_CONCURRENT")
            << "SCRIPT_MAX_CONCURRENT" << qint64(1) << qint64(256);
        QTest::newRow("SCRIPT_TIMEOUT") << "SCRIPT_TIMEOUT" << qint64(0) << qint64(7 * 24 * 3600);
        QTest::newRow("TRAY_WAIT_SECONDS") << "TRAY_WAIT_SECONDS" << qint64(0) << qint64(3600);
        QTest::newRow("LOGOFF_VERIFY_SECONDS")
            << "LOGOFF_VERIFY_SECONDS" << qint64(0) << qint64(3600);
        QTest::newRow("RECONNECT_SECONDS") << "RECONNECT_SECONDS" << qint64(0) << qint64(86400);
    }
    void numericBounds()
    {
        QFETCH(QString, key);
        QFETCH(qint64, min);
        QFETCH(qint64, max);
        const QString fallback = Config::defaults().valueText(key);
        for (const qint64 value : {min, max}) {
            QStringList warnings;
            const Config c = Config::fromFile(
                write(QStringLiteral("%1 = %2\n").arg(key).arg(value).toUtf8()), &warnings);
            QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
            QCOMPARE(c.valueText(key), QString::number(value));
        }
        for (const qint64 value : {min - 1, max + 1}) {
            QStringList warnings;
            const Config c = Config::fromFile(
                write(QStringLiteral("%1 = %2\n").arg(key).arg(value).toUtf8()), &warnings);
            QCOMPARE(warnings.size(), 1);
            QCOMPARE(c.valueText(key), fallback);
        }
    }

    void unreadableFileWarnsOnce()
    {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        const QString path = write("IPC_PORT = 5000\n");
        QFile::setPermissions(path, QFileDevice::WriteOwner);
        QStringList warnings;
        const Config c = Config::fromFile(path, &warnings);
        QCOMPARE(warnings.size(), 1);
        QCOMPARE(c.IPC_PORT, 43910);
    }

    void directoryAsFileWarns()
    {
        QStringList warnings;
        const Config c = Config::fromFile(dir.path(), &warnings);
        QCOMPARE(warnings.size(), 1);
        QCOMPARE(c.IPC_PORT, 43910);
    }

    void unknownKeysAndSectionsWarn()
    {
        QStringList warnings;
        Config::fromFile(write("[General]\nNO_SUCH = 1\nnot a pair\n"), &warnings);
        QCOMPARE(warnings.size(), 3);
    }

    // The shipped example names every key with its default, commented out.
    void exampleDocumentsEveryKey()
    {
        QFile example(QStringLiteral(EXAMPLE_CONF));
        QVERIFY(example.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(example.readAll()).split(QLatin1Char('\n'));
        const Config d = Config::defaults();
        // Paths depend on where the agent is installed; the log file on the user.
        const QStringList installDependent = {"IMG_DIR", "QT5_TRANSLATE_DIR", "QT5_FAVICON_FILE",
                                              "LOG_FILE"};
        for (const QString &key : Config::keys()) {
            const QStringList found =
                lines.filter(QRegularExpression(QStringLiteral("^#%1 =").arg(key)));
            QVERIFY2(found.size() == 1, qPrintable(key));
            if (!installDependent.contains(key))
                QCOMPARE(found.first(),
                         QStringLiteral("#%1 = %2").arg(key, d.valueText(key)).trimmed());
        }
        // Uncommented, the example is a valid configuration.
        const QRegularExpression setting(QStringLiteral("^#[A-Z0-9_]+ ="));
        QString text;
        for (const QString &line : lines)
            text += (setting.match(line).hasMatch() ? line.mid(1) : line) + QLatin1Char('\n');
        QStringList warnings;
        Config::fromFile(write(text.toUtf8()), &warnings);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    void pathFromEnvironment()
    {
        qputenv("BRIMVAULT_AGENT_CONFIG", "/tmp/x.conf");
        QCOMPARE(Config::defaultPath(), QStringLiteral("/tmp/x.conf"));
        qunsetenv("BRIMVAULT_AGENT_CONFIG");
        QCOMPARE(Config::defaultPath(), QStringLiteral("/etc/brimvault/agent.conf"));
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
