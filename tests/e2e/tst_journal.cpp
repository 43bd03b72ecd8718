#include "SimulatorEvents.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// The agent's record in a real systemd journal: one entry per record, with the fields to query
// by. Where no journald runs, one is started for the test (as root) and what it made is removed.
class TestJournal : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess journald, sim;
    SimulatorEvents simEvents{sim};
    QStringList made;            // folders the test's journald created
    QList<QJsonObject> journal_; // the run's entries
    QString port;                // the simulator's

    // Runs the agent to its end with `config` added; its pid. With `signal`, sent it once the
    // agent has logged in.
    qint64 runAgent(const QString &config, const QStringList &args = {}, int signal = 0)
    {
        QFile conf(dir.filePath(QStringLiteral("agent.conf")));
        conf.open(QIODevice::WriteOnly | QIODevice::Truncate);
        conf.write(config.toUtf8());
        conf.close();
        QProcess agent;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIMVAULT_AGENT_CONFIG"), conf.fileName());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        env.insert(QStringLiteral("XDG_SESSION_ID"), QStringLiteral("c42"));
        agent.setProcessEnvironment(env);
        while (signal && !simEvents.wait(QStringLiteral("login"), 0).isEmpty()) {
        } // an earlier run's
        agent.start(QStringLiteral(AGENT_PATH), args);
        const qint64 pid = agent.processId(); // gone once it has ended
        if (signal && !simEvents.wait(QStringLiteral("login")).isEmpty())
            ::kill(pid_t(pid), signal);
        agent.waitForFinished(60000);
        return pid;
    }
    QString agentConfig() const
    {
        return QStringLiteral("IPC_PORT = %1\nIPC_SERVICE_UID = %2\nLOG_FILE = %3\n"
                              "LOGOFF_COMMAND = true\n")
            .arg(port)
            .arg(::getuid())
            .arg(dir.filePath(QStringLiteral("agent.log")));
    }
    static QList<QJsonObject> journalOf(qint64 pid)
    {
        QProcess::execute(QStringLiteral("journalctl"), {QStringLiteral("--sync")});
        QProcess journalctl;
        journalctl.start(QStringLiteral("journalctl"),
                         {QStringLiteral("-o"), QStringLiteral("json"),
                          QStringLiteral("--no-pager"), QStringLiteral("_PID=%1").arg(pid)});
        journalctl.waitForFinished(10000);
        QList<QJsonObject> found;
        for (const QByteArray &line : journalctl.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                found << QJsonDocument::fromJson(line).object();
        return found;
    }

private slots:
    void initTestCase()
    {
        const QString socket = QStringLiteral("/run/systemd/journal/socket");
        if (!QFileInfo::exists(socket)) {
            if (::getuid() != 0)
                QSKIP("no journald runs, and only root can start one");
            for (const char *folder : {"/run/systemd/journal", "/run/log"})
                if (!QFileInfo::exists(QLatin1String(folder)))
                    made << QLatin1String(folder);
            QDir().mkpath(QStringLiteral("/run/systemd/journal"));
            journald.start(QStringLiteral("/lib/systemd/systemd-journald"), QStringList());
            if (!journald.waitForStarted())
                QSKIP("systemd-journald could not start here");
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket), 10000);
        }
        sim.start(QStringLiteral(SIM_PATH), {"--port", "0", "--idle", "1"});
        port = simEvents.wait(QStringLiteral("listening")).value(QStringLiteral("port")).toString();
        const qint64 pid = runAgent(agentConfig());
        QTRY_VERIFY_WITH_TIMEOUT(!(journal_ = journalOf(pid)).isEmpty() &&
                                     journal_.last().value("BRIMVAULT_EVENT") == "logoff",
                                 10000);
    }
    void cleanupTestCase()
    {
        sim.kill();
        sim.waitForFinished();
        if (journald.state() == QProcess::NotRunning)
            return;
        journald.terminate();
        journald.waitForFinished();
        for (const QString &folder : made)
            QDir(folder).removeRecursively();
    }

    // One entry a record, with the file's text; the records that matter carry their fields. The
    // run: an idle limit of 1 s, reached after the grace ticks (about 35 s).
    void entries_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QVariantMap>("fields");
        QTest::newRow("configuration") << "configuration"
                                       << "Configuration read from " << QVariantMap{};
        QTest::newRow("connected") << "connected"
                                   << "Connected to the service at 127.0.0.1:" << QVariantMap{};
        QTest::newRow("limits") << "limits"
                                << "Session limits: idle 1 s, session length none"
                                << QVariantMap{{"BRIMVAULT_IDLE_LIMIT", "1"},
                                               {"BRIMVAULT_SESSION_LIMIT", "none"}};
        QTest::newRow("idle-source")
            << "idle-source"
            << "Idle time from the XScreenSaver extension" << QVariantMap{};
        QTest::newRow("ending") << "ending"
                                << "Ending: idle limit reached"
                                << QVariantMap{{"BRIMVAULT_CAUSE", "idle-limit"}};
        QTest::newRow("logoff") << "logoff"
                                << "Logoff command ended with status 0" << QVariantMap{};
    }
    void entries()
    {
        QFETCH(QString, event);
        QFETCH(QString, message);
        QFETCH(QVariantMap, fields);
        QList<QJsonObject> matching;
        for (const QJsonObject &e : journal_)
            if (e.value("BRIMVAULT_EVENT").toString() == event)
                matching << e;
        QVERIFY2(!matching.isEmpty(), qPrintable(event));
        const QJsonObject entry = matching.last();
        QVERIFY2(entry.value("MESSAGE").toString().startsWith(message),
                 qPrintable(entry.value("MESSAGE").toString()));
        QCOMPARE(entry.value("SYSLOG_IDENTIFIER").toString(),
                 QStringLiteral("brimvault-agent-user"));
        QCOMPARE(entry.value("PRIORITY").toString(), QStringLiteral("6"));
        QCOMPARE(entry.value("BRIMVAULT_SESSION").toString(), QStringLiteral("c42"));
        for (auto f = fields.cbegin(); f != fields.cend(); ++f)
            QCOMPARE(entry.value(f.key()).toString(), f.value().toString());
        // The file has the same text.
        QFile log(dir.filePath(QStringLiteral("agent.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(entry.value("MESSAGE").toString().toUtf8()));
    }

    // SIGHUP, as the end of a session or a terminal sends it, is on record as itself.
    void sighupIsItsOwnCause()
    {
        const qint64 pid = runAgent(agentConfig(), {}, SIGHUP);
        QJsonObject ending;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QJsonObject &e : journalOf(pid))
                    if (e.value("BRIMVAULT_EVENT") == "ending")
                        ending = e;
                return !ending.isEmpty();
            }(),
            10000);
        QCOMPARE(ending.value("MESSAGE").toString(), QStringLiteral("Ending: SIGHUP received"));
        QCOMPARE(ending.value("BRIMVAULT_CAUSE").toString(), QStringLiteral("sighup"));
    }

    void fileOnlyWritesNothingThere()
    {
        const qint64 pid = runAgent(QStringLiteral("LOG_TARGET = file\nLOG_FILE = %1\n")
                                        .arg(dir.filePath(QStringLiteral("file-only.log"))),
                                    {QStringLiteral("--version")});
        QTest::qWait(500);
        QCOMPARE(journalOf(pid).size(), 0);
        QFile log(dir.filePath(QStringLiteral("file-only.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("Configuration read from"));
    }
};

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"
