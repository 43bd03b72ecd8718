#include "Needs.h"
#include "SimulatorEvents.h"
#include "Timing.h"

#include "agent/ipc/FrameDecoder.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

// The real agent against the real simulator, on a display with a tray host.
class TestAgentE2E : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess sim;
    QProcess agent;
    SimulatorEvents simEvents{sim};
    int port = 0;

    QString log() const
    {
        QFile f(dir.filePath(QStringLiteral("agent.log")));
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
    // The time stamp of the first log line that contains `text`.
    QDateTime logTime(const QString &text) const
    {
        for (const QString &line : log().split(QLatin1Char('\n')))
            if (line.contains(text))
                return QDateTime::fromString(line.left(23),
                                             QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        return {};
    }
    // On `onPort` (0: a free one), as another user when `asNobody`.
    void startSim(const QStringList &policy, int onPort = 0, bool asNobody = false)
    {
        sim.kill();
        sim.waitForFinished();
        simEvents.clear();
        const QStringList args = QStringList{QStringLiteral(SIM_PATH), QStringLiteral("--port"),
                                             QString::number(onPort)} +
                                 policy;
        if (asNobody)
            sim.start(QStringLiteral("setpriv"),
                      QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + args);
        else
            sim.start(args.first(), args.mid(1));
        QVERIFY(sim.waitForStarted());
        port = simEvents.wait(QStringLiteral("listening"))
                   .value(QStringLiteral("port"))
                   .toString()
                   .toInt();
        QVERIFY(port > 0);
    }
    // `wrapper`: a program to run the agent through (e.g. a display without a tray).
    void startAgent(const QString &extraConfig = {}, const QStringList &wrapper = {})
    {
        QFile conf(dir.filePath(QStringLiteral("agent.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        conf.write(QStringLiteral("IPC_SERVICE_UID = %5\nIPC_PORT = %1\nLOG_LEVEL = "
                                  "DEBUG\nLOG_FILE = %2\nLOGOFF_COMMAND = date +%s.%N > '%3'\n%4")
                       .arg(port)
                       .arg(dir.filePath(QStringLiteral("agent.log")),
                            dir.filePath(QStringLiteral("logged-off")), extraConfig)
                       .arg(getuid())
                       .toUtf8());
        conf.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIMVAULT_AGENT_CONFIG"), conf.fileName());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path()); // the session lock stays here
        agent.setProcessEnvironment(env);
        if (wrapper.isEmpty())
            agent.start(QStringLiteral(AGENT_PATH), QStringList());
        else
            agent.start(wrapper.first(), wrapper.mid(1) + QStringList{QStringLiteral(AGENT_PATH)});
        QVERIFY(agent.waitForStarted());
    }

    // The log names why the run ended, once.
    bool endedFor(const QString &cause) const
    {
        return log().count(QStringLiteral("INFO [main] Ending: ")) == 1 &&
               log().contains(QStringLiteral("INFO [main] Ending: ") + cause);
    }
    // The records of `texts` appear in the log in this order.
    bool inOrder(const QStringList &texts) const
    {
        const QString text = log();
        int at = 0;
        for (const QString &t : texts) {
            at = text.indexOf(t, at);
            if (at < 0)
                return false;
        }
        return true;
    }

    // Waits for the agent to end; the milliseconds it took from `cause`.
    qint64 endedWithin(const QElapsedTimer &cause, int timeoutMs = 10000)
    {
        if (!agent.waitForFinished(timeoutMs))
            return -1;
        return cause.elapsed();
    }
    // Sends SIGTERM `count` times; the agent must end normally, with status 0, within 2 s (the
    // link's drain bound, which a clean end never waits out).
    void terminateWithin2s(int count = 1)
    {
        QElapsedTimer cause;
        cause.start();
        for (int i = 0; i < count; ++i)
            ::kill(pid_t(agent.processId()), SIGTERM);
        const qint64 ms = endedWithin(cause);
        QVERIFY2(ms >= 0 && ms <= promptMs(2000), qPrintable(QString::number(ms)));
        QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent.exitCode(), 0);
    }
    // Exactly one logout reached the service.
    bool oneLogout()
    {
        return !simEvents.wait(QStringLiteral("logout"), 3000).isEmpty() &&
               simEvents.wait(QStringLiteral("logout"), 500).isEmpty();
    }
    void command(const QByteArray &line)
    {
        sim.write(line + '\n');
        sim.waitForBytesWritten(2000);
    }
    // The agent is up, logged in and past its first-read pause.
    void startLinkedAgent()
    {
        startAgent();
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        QTest::qWait(2500);
    }

    // Live processes that ended up as our children, other than the simulator: what the agent
    // started and left behind (we are their subreaper).
    QStringList leftovers() const
    {
        QStringList found;
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
            if (entry.toInt() <= 0 || entry.toLongLong() == sim.processId() ||
                !stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields[1].toLongLong() == getpid() && fields[0] != "Z")
                found << QString::fromUtf8(text.left(text.lastIndexOf(')') + 1));
        }
        return found;
    }

private slots:
    void initTestCase() { QVERIFY(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0); }
    void init()
    {
        QFile::remove(dir.filePath(QStringLiteral("logged-off")));
        QFile::remove(dir.filePath(QStringLiteral("agent.log")));
        startSim({QStringLiteral("--max-session"), QStringLiteral("100000")});
    }
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning("the agent's log:\n%s", qPrintable(log().right(4000)));
        qunsetenv("XDG_SESSION_ID");
        agent.kill();
        agent.waitForFinished();
        sim.kill();
        sim.waitForFinished();
    }

    // SIGHUP too: systemd sends it after SIGTERM to every process of a session it stops.
    void sigtermSendsLogoutWithoutLogoff_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("cause");
        QTest::newRow("SIGTERM") << int(SIGTERM) << "SIGTERM received";
        QTest::newRow("SIGHUP") << int(SIGHUP) << "SIGHUP received";
    }
    void sigtermSendsLogoutWithoutLogoff()
    {
        QFETCH(int, signal);
        QFETCH(QString, cause);
        startAgent();
        const QJsonObject login = simEvents.wait(QStringLiteral("login"));
        QVERIFY(!login.value(QStringLiteral("user")).toString().isEmpty());
        QVERIFY(!simEvents.wait(QStringLiteral("information-request")).isEmpty());
        // Straight after the login, before the icon is up: the logout must still go out.
        ::kill(pid_t(agent.processId()), signal);
        QVERIFY(agent.waitForFinished(5000));
        QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent.exitCode(), 0);
        QCOMPARE(simEvents.wait(QStringLiteral("logout")).value(QStringLiteral("user")),
                 login.value(QStringLiteral("user")));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
        QVERIFY(log().contains(QStringLiteral("Quit invoked, logoff: False")));
        QVERIFY(!agent.readAllStandardError().contains("QThread: Destroyed"));
        QVERIFY(endedFor(cause));
    }

    void logoffCommandLogsOffAfterASecond()
    {
        startAgent();
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        sim.write("script echo ran > '" + dir.filePath(QStringLiteral("script-ran")).toUtf8() +
                  "'\n");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath(QStringLiteral("script-ran"))),
                                 10000);
        sim.write("logoff\n");
        QVERIFY(sim.waitForBytesWritten(2000));
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(!simEvents.wait(QStringLiteral("logout")).isEmpty());
        QTRY_VERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
        const QString text = log();
        QVERIFY(text.contains(QStringLiteral("Quit invoked, logoff: True")));
        QVERIFY(text.contains(QStringLiteral("DEBUG [main] Exiting")));
        QVERIFY(endedFor(QStringLiteral("logoff requested by the service")));
        // What an administrator reads at INFO level, in order.
        QTRY_VERIFY(
            log().contains(QStringLiteral("INFO [main] Logoff command ended with status 0")));
        QVERIFY(inOrder(
            {QStringLiteral("INFO [main] Configuration read from ") +
                 dir.filePath(QStringLiteral("agent.conf")),
             QStringLiteral("INFO [main] Connected to the service at 127.0.0.1:%1, owned by uid %2")
                 .arg(port)
                 .arg(getuid()),
             QStringLiteral("INFO [main] Session limits: idle none, session length 100000 s"),
             QStringLiteral("INFO [main] Ending: logoff requested by the service"),
             QStringLiteral("DEBUG [main] Exiting"),
             QStringLiteral("INFO [main] Logging off: /bin/sh -c"),
             QStringLiteral("INFO [main] Logoff command ended with status 0")}));
        QFile stamp(dir.filePath(QStringLiteral("logged-off")));
        QTRY_VERIFY(stamp.size() > 0);
        QVERIFY(stamp.open(QIODevice::ReadOnly));
        const qint64 loggedOffMs = qint64(stamp.readAll().trimmed().toDouble() * 1000);
        QVERIFY(loggedOffMs - logTime(QStringLiteral("DEBUG [main] Exiting")).toMSecsSinceEpoch() >=
                1000);
    }

    void serviceClosingEndsWithoutLogoff()
    {
        startAgent();
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        QTest::qWait(2500); // past the first-read pause
        sim.write("close\n");
        QVERIFY(sim.waitForBytesWritten(2000));
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(log().contains(
            QStringLiteral("WARN [link] Lost connection with Service, closing program")));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
        QVERIFY(endedFor(QStringLiteral("connection to the service lost")));
    }
    // Without a session bus nothing autolaunches one (Qt's tray code would): once the agent has
    // ended, nothing it started is left, a script that was still running included.
    void noLeftoversWithoutABus()
    {
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        startLinkedAgent();
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        command("script echo started > '" + dir.filePath(QStringLiteral("bg")).toUtf8() +
                "'\\nsleep 300");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath(QStringLiteral("bg"))), 10000);
        terminateWithin2s();
        QTRY_VERIFY2_WITH_TIMEOUT(leftovers().isEmpty(),
                                  qPrintable(leftovers().join(QLatin1Char('\n'))), 5000);
    }

    void noTrayHostEndsWithStatusOne_data()
    {
        QTest::addColumn<int>("waitSeconds");
        QTest::newRow("checked once") << 0;
        QTest::newRow("after waiting") << 2;
    }
    void noTrayHostEndsWithStatusOne()
    {
        QFETCH(int, waitSeconds);
        // A display of its own, without a tray host.
        QElapsedTimer clock;
        clock.start();
        startAgent(QStringLiteral("TRAY_WAIT_SECONDS = %1\n").arg(waitSeconds),
                   {QStringLiteral(WITH_X)});
        QVERIFY(agent.waitForFinished(20000));
        QCOMPARE(agent.exitCode(), 1);
        QVERIFY(clock.elapsed() >= waitSeconds * 1000);
        const QString text = log();
        QCOMPARE(text.count(QStringLiteral("ERROR")), 1);
        QVERIFY(text.contains(
            QStringLiteral("ERROR [main] I couldn't detect any system tray on this system.")));
        QVERIFY(
            simEvents.wait(QStringLiteral("connected"), 500).isEmpty()); // no connection was tried
    }

    // Most X11 sessions end with the X server going away, which makes Qt exit(): the service
    // still hears the logout, the log says why, and a script that runs then is ended with its
    // process group (before, the exit handler used the script registry after its destructor).
    void displayGoesAway()
    {
        QProcess xvfb, trayHost;
        xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                            QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QVERIFY(xvfb.waitForReadyRead(10000));
        const QByteArray ownDisplay = ':' + xvfb.readLine().trimmed();
        const QByteArray display = qgetenv("DISPLAY");
        qputenv("DISPLAY", ownDisplay);
        trayHost.start(QStringLiteral(TRAY_HOST), QStringList());
        startAgent();
        qputenv("DISPLAY", display);
        const QJsonObject login = simEvents.wait(QStringLiteral("login"));
        QVERIFY(!login.isEmpty());
        QTRY_VERIFY(log().contains(QStringLiteral("Session limits:"))); // in its event loop
        const QString pids = dir.filePath(QStringLiteral("script-pids"));
        QFile::remove(pids);
        command("script sleep 60 & echo $$ $! > '" + pids.toUtf8() + "'; wait");
        QTRY_VERIFY(QFileInfo(pids).size() > 0);
        xvfb.terminate();
        QVERIFY(agent.waitForFinished(promptMs(5000)));
        QCOMPARE(agent.exitStatus(), QProcess::NormalExit); // Qt's exit(1), not a crash of ours
        QCOMPARE(agent.exitCode(), 1);
        QFile started(pids);
        QVERIFY(started.open(QIODevice::ReadOnly));
        // Ended: gone, or a zombie of ours (we are the subreaper).
        const auto running = [](const QByteArray &pid) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromUtf8(pid)));
            if (!stat.open(QIODevice::ReadOnly))
                return false;
            const QByteArray text = stat.readAll();
            return text.mid(text.lastIndexOf(')') + 2, 1) != "Z";
        };
        for (const QByteArray &pid : started.readAll().simplified().split(' '))
            QTRY_VERIFY2(!running(pid), pid.constData());
        QCOMPARE(simEvents.wait(QStringLiteral("logout")).value(QStringLiteral("user")),
                 login.value(QStringLiteral("user")));
        QVERIFY2(endedFor(QStringLiteral("the display connection was lost")), qPrintable(log()));
        trayHost.waitForFinished();
        xvfb.waitForFinished();
    }

    // On an X server that has the agent as its only client, the agent's first look at it must
    // not be the last client to leave: Xvfb -terminate ends at that moment, as a server that
    // resets refuses connections for a while, and Qt would find no display.
    void onlyClientOfItsXServer()
    {
        QProcess xvfb;
        xvfb.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp"), QStringLiteral("-terminate")});
        QVERIFY(xvfb.waitForReadyRead(10000));
        const QByteArray display = qgetenv("DISPLAY");
        qputenv("DISPLAY", ':' + xvfb.readLine().trimmed());
        startAgent(QStringLiteral("TRAY_REQUIRED = false\nTRAY_WAIT_SECONDS = 0\n"));
        qputenv("DISPLAY", display);
        QVERIFY2(!simEvents.wait(QStringLiteral("login")).isEmpty(), qPrintable(log()));
        command("logoff");
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(xvfb.waitForFinished(5000)); // its last client gone
    }

    // Scripts and the logoff command get nothing of the agent's: no descriptor but their own
    // standard streams, default signal handling, nothing blocked.
    void childrenInheritNothing()
    {
        const QString report = dir.filePath(QStringLiteral("inherited"));
        // The shell's signal masks as it was started, read with builtins only: while it waits
        // for a child, the shell blocks every signal itself. Then its descriptors, listed by a
        // child so that the listing adds none.
        const QString listing =
            QStringLiteral("while read -r k v; do case $k in SigBlk:|SigIgn:) echo \"$k $v\" "
                           ">> '%1';; esac; done < /proc/$$/status; ls -l /proc/$$/fd >> '%1'")
                .arg(report);
        QFile::remove(report);
        // Started with a signal blocked, as a parent may leave it: its children still start
        // with none.
        sigset_t usr2, before;
        sigemptyset(&usr2);
        sigaddset(&usr2, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &usr2, &before);
        startAgent(QStringLiteral("LOGOFF_COMMAND = %1\n").arg(listing));
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        QFile status(QStringLiteral("/proc/%1/status").arg(agent.processId()));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QByteArray agentStatus = status.readAll();
        const QByteArray blocked =
            agentStatus.mid(agentStatus.indexOf("SigBlk:") + 7, 17).trimmed();
        QVERIFY2(blocked.toULongLong(nullptr, 16) & (1ULL << (SIGUSR2 - 1)), blocked.constData());
        // What this test process has open (the agent's pipes too), the agent inherits through
        // QProcess.
        QStringList ours;
        for (const QString &fd :
             QDir(QStringLiteral("/proc/self/fd"))
                 .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            char target[256] = {};
            if (::readlink(QFile::encodeName("/proc/self/fd/" + fd).constData(), target,
                           sizeof target - 1) > 0)
                ours << QString::fromLocal8Bit(target);
        }
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        command("script " + listing.toUtf8());
        QTRY_VERIFY(QFileInfo(report).size() > 0);
        QFile first(report);
        QVERIFY(first.open(QIODevice::ReadOnly));
        const int scriptBytes = int(first.readAll().size());
        command("logoff");
        QVERIFY(agent.waitForFinished(10000));
        QTRY_VERIFY(QFileInfo(report).size() > scriptBytes);
        QFile f(report);
        QVERIFY(f.open(QIODevice::ReadOnly));
        int masks = 0;
        for (const QString &line : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)) {
            if (line.startsWith(QStringLiteral("total")))
                continue;
            if (line.startsWith(QStringLiteral("Sig"))) {
                QVERIFY2(
                    line.endsWith(QStringLiteral("0000000000000000")),
                    qPrintable(line + (masks < 2 ? " (the script)" : " (the logoff command)")));
                ++masks;
                continue;
            }
            // "lr-x------ 1 u g 64 Dec  9 06:00 3 -> pipe:[123]"
            const QString target = line.section(QStringLiteral(" -> "), 1);
            const int fd = line.section(QStringLiteral(" -> "), 0, 0).section(' ', -1).toInt();
            // Beyond 0-2 only the script file that the shell reads, or what we passed on.
            QVERIFY2(fd <= 2 || target.contains(QStringLiteral("brimvault-script-")) ||
                         ours.contains(target),
                     qPrintable(line));
            QVERIFY2(!line.contains(QStringLiteral("agent.log")), qPrintable(line));
        }
        QCOMPARE(masks, 4); // the script's and the logoff command's
    }

    // The panel comes up after the agent, as in autostart: the agent waits, then logs in.
    void lateTrayHost()
    {
        startAgent({}, {QStringLiteral(WITH_X), QStringLiteral("sh"), QStringLiteral("-c"),
                        QStringLiteral("(sleep 2; exec %1 >/dev/null 2>&1) & exec \"$0\"")
                            .arg(QStringLiteral(TRAY_HOST))});
        QVERIFY(!simEvents.wait(QStringLiteral("login"), 15000).isEmpty());
        const QString text = log();
        QVERIFY(text.contains(QStringLiteral("No system tray yet; waiting up to 30 s for one")));
        QVERIFY(text.contains(QStringLiteral("System tray found: XEmbed tray host")));
        QVERIFY(logTime(QStringLiteral("System tray found")) >=
                logTime(QStringLiteral("waiting up to")).addMSecs(1500));
        command("logoff"); // the agent runs under with-x.sh, which a signal would hit instead
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 0);
    }

    // One agent per session: a second one steps aside, another session gets its own, and the
    // lock is free again once its holder is gone, even by SIGKILL.
    void oneAgentPerSession()
    {
        qputenv("XDG_SESSION_ID", "s1");
        startAgent();
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        QVERIFY(!simEvents.wait(QStringLiteral("connected")).isEmpty());
        const auto run = [&](QProcess &other, const char *session) {
            QProcessEnvironment env = agent.processEnvironment();
            env.insert(QStringLiteral("XDG_SESSION_ID"), QLatin1String(session));
            other.setProcessEnvironment(env);
            other.start(QStringLiteral(AGENT_PATH), QStringList());
        };
        QProcess second, otherSession, after;
        run(second, "s1");
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(log().contains(
            QStringLiteral(
                "WARN [main] An agent already runs in this session (pid %1); this one steps aside")
                .arg(agent.processId())));
        QVERIFY(simEvents.wait(QStringLiteral("connected"), 1000).isEmpty());

        run(otherSession, "s2");
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        ::kill(pid_t(agent.processId()), SIGKILL);
        QVERIFY(agent.waitForFinished(5000));
        run(after, "s1");
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        for (QProcess *p : {&otherSession, &after}) {
            ::kill(pid_t(p->processId()), SIGTERM);
            QVERIFY(p->waitForFinished(5000));
            QCOMPARE(p->exitCode(), 0);
        }
    }

    void noServiceEndsWithStatusOneAfterTwentySeconds()
    {
        sim.kill();
        sim.waitForFinished();
        QElapsedTimer clock;
        clock.start();
        startAgent();
        QVERIFY(agent.waitForFinished(60000));
        QVERIFY(clock.elapsed() >= 20000);
        QCOMPARE(agent.exitCode(), 1);
        const QStringList errors =
            log().split(QLatin1Char('\n')).filter(QStringLiteral(" ERROR [main] "));
        QCOMPARE(errors.size(), 4);
        QVERIFY(errors[0].endsWith(
            QStringLiteral("ServiceUnavailableError: No connection to service, exiting.")));
        QVERIFY(
            errors[1].endsWith(QStringLiteral("ERROR [main] No connection to service, exiting.")));
        QVERIFY(errors[2].endsWith(
            QStringLiteral("Brimvault Service is not running, or it can't contact with Brimvault "
                           "Server. User Tools stopped")));
        QVERIFY(errors[3].endsWith(
            QStringLiteral(
                "No usable service at 127.0.0.1:%1 after 10 attempts; the last: Connection refused")
                .arg(port)));
        QCOMPARE(log()
                     .split(QLatin1Char('\n'))
                     .filter(QRegularExpression(
                         QStringLiteral("DEBUG \\[main\\] IPC Server is not reachable$")))
                     .size(),
                 10);
    }

    // A service port held by another user is not obeyed: ten refused attempts, then status 1.
    void serviceOfAnotherUserIsRefused()
    {
        if (geteuid() != 0)
            QSKIP("needs root to run the simulator as another user");
        sim.kill();
        sim.waitForFinished();
        simEvents.clear();
        sim.start(QStringLiteral("setpriv"), {"--reuid=65534", "--regid=65534", "--clear-groups",
                                              QStringLiteral(SIM_PATH), "--port", "0"});
        QVERIFY(sim.waitForStarted());
        port = simEvents.wait(QStringLiteral("listening"))
                   .value(QStringLiteral("port"))
                   .toString()
                   .toInt();
        QVERIFY(port > 0);
        startAgent(QStringLiteral("IPC_SERVICE_UID = 0\n")); // the later line wins
        QVERIFY(agent.waitForFinished(60000));
        QCOMPARE(agent.exitCode(), 1);
        const QStringList warnings =
            log().split(QLatin1Char('\n')).filter(QStringLiteral(" WARN [main] The service port"));
        QCOMPARE(warnings.size(), 10);
        QVERIFY(warnings.first().endsWith(
            QStringLiteral("belongs to uid 65534, not uid 0; not trusted")));
        QVERIFY(log().contains(
            QStringLiteral(
                "ERROR [main] No usable service at 127.0.0.1:%1 after 10 attempts; the last: "
                "owned by uid 65534 while uid 0 is trusted")
                .arg(port)));
        QVERIFY(simEvents.wait(QStringLiteral("login"), 500).isEmpty()); // nothing was sent to it
    }

    // The service restarts under a running agent, as a package upgrade does: the agent stays,
    // refuses a listener of another user in the gap, logs in to the new service, and the session
    // limit set before the loss ends the session on time, counted from the agent's start.
    void serviceRestartKeepsTheSession()
    {
        startSim({QStringLiteral("--max-session"), QStringLiteral("30")});
        startAgent(QStringLiteral("RECONNECT_SECONDS = 60\n"));
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        QTRY_VERIFY(log().contains(QStringLiteral("session length 30 s")));
        sim.kill();
        sim.waitForFinished();
        QTRY_VERIFY(log().contains(QStringLiteral(
            "WARN [main] Lost the connection to the service; reconnecting for up to 60 s")));
        if (geteuid() == 0) {
            startSim({}, port, true);
            QTRY_VERIFY_WITH_TIMEOUT(
                log().contains(QStringLiteral("belongs to uid 65534, not uid 0; not trusted; "
                                              "trying again")),
                5000);
            QVERIFY(simEvents.wait(QStringLiteral("login"), 500).isEmpty());
        }
        QTest::qWait(8000); // the gap outlasts a tick, so that a limit counted anew would show
        startSim({QStringLiteral("--max-session"), QStringLiteral("30")}, port);
        QVERIFY(!simEvents.wait(QStringLiteral("login"), 5000).isEmpty());
        QVERIFY(!simEvents.wait(QStringLiteral("information-request")).isEmpty());
        QVERIFY(agent.waitForFinished(30000));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(endedFor(QStringLiteral("session limit reached")));
        QVERIFY(oneLogout());
        const QDateTime ended = logTime(QStringLiteral("Ending: session limit reached"));
        QVERIFY(ended >= logTime(QStringLiteral("Initializing")).addSecs(30));
        QVERIFY(ended < logTime(QStringLiteral("Reconnected to the service after")).addSecs(30));
    }

    // No service within RECONNECT_SECONDS, or SIGTERM while offline: the agent ends as without
    // reconnecting, status 0 and no logoff, and says that no logout could be sent.
    void offlineEnds_data()
    {
        QTest::addColumn<bool>("sigterm");
        QTest::newRow("no service in time") << false;
        QTest::newRow("SIGTERM") << true;
    }
    void offlineEnds()
    {
        QFETCH(bool, sigterm);
        startAgent(QStringLiteral("RECONNECT_SECONDS = 3\n"));
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        sim.kill();
        sim.waitForFinished();
        QTRY_VERIFY(log().contains(QStringLiteral("reconnecting for up to 3 s")));
        if (sigterm)
            ::kill(pid_t(agent.processId()), SIGTERM);
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(endedFor(sigterm ? QStringLiteral("SIGTERM received")
                                 : QStringLiteral("connection to the service lost")));
        QCOMPARE(log().contains(QStringLiteral("No service within 3 s; ending")), !sigterm);
        QVERIFY(log().contains(QStringLiteral("No logout could be sent")));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
    }

    // The session length counts real time: with the agent's wall clock alone stepped (a preloaded
    // shift, monotonic and boot clocks left alone), 2 h forward a moment after the login and then
    // back to 2 h behind, it ends neither early nor late, and says that the clock moved.
    void sessionLimitWarnsThenLogsOffATickLater_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<bool>("clockSteps");
        QTest::newRow("a short session") << 1 << false;
        QTest::newRow("the wall clock stepped forward, then back") << 20 << true;
    }
    void sessionLimitWarnsThenLogsOffATickLater()
    {
        QFETCH(int, limit);
        QFETCH(bool, clockSteps);
        const QString offset = dir.filePath(QStringLiteral("wall-clock-offset"));
        // Replaced whole, so that the shift never reads a file half written.
        const auto stepTo = [&offset](const char *text) {
            QSaveFile f(offset);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text) > 0 && f.commit());
        };
        QStringList wrapper;
        if (clockSteps) {
            stepTo("+0");
            // Under ASan its runtime is then no longer the first library; harmless here.
            wrapper = QStringList{"env", QStringLiteral("LD_PRELOAD=" WALL_CLOCK_SHIFT),
                                  "WALL_CLOCK_SHIFT_FILE=" + offset,
                                  "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") +
                                      ":verify_asan_link_order=0"};
        }
        startSim({QStringLiteral("--max-session"), QString::number(limit)});
        QElapsedTimer started;
        started.start();
        startAgent({}, wrapper);
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        if (clockSteps) {
            QTest::qWait(2000);
            stepTo("+7200");
            QTest::qWait(10000);
            QCOMPARE(agent.state(), QProcess::Running); // not ended by the forward step
            stepTo("-7200");
        }
        QVERIFY(agent.waitForFinished(limit * 1000 + 30000)); // not lengthened by the step back
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(!simEvents.wait(QStringLiteral("logout")).isEmpty());
        QVERIFY(endedFor(QStringLiteral("session limit reached")));
        QTRY_VERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
        if (clockSteps) {
            QVERIFY(started.elapsed() >= limit * 1000);
            QVERIFY(inOrder({"INFO [main] The wall clock moved 7200 s forward; the session length "
                             "counts real time",
                             "INFO [main] The wall clock moved 14400 s back; the session length "
                             "counts real time",
                             "INFO [main] Ending: session limit reached"}));
            return;
        }
        const QDateTime warned =
            logTime(QStringLiteral("WARN [main] User session will expire in less that 5 minutes"));
        const QDateTime ended =
            logTime(QStringLiteral("Remaining time is less than zero, exiting and logoff"));
        QVERIFY(warned.isValid() && ended.isValid());
        QVERIFY(warned.msecsTo(ended) >= 4500);
    }

    // SCRIPT_MAX_CONCURRENT = 1, whatever the machine's cores: two scripts never overlap, as
    // their own trace shows. (The pool is process-wide, hence the real agent here.)
    void oneScriptAtATime()
    {
        startAgent(QStringLiteral("SCRIPT_MAX_CONCURRENT = 1\n"));
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        const QByteArray trace = dir.filePath(QStringLiteral("one-at-a-time")).toUtf8();
        QFile::remove(QString::fromUtf8(trace));
        for (int i = 0; i < 2; ++i)
            command("script echo s >> '" + trace + "'\\nsleep 1\\necho e >> '" + trace + "'");
        QFile f(QString::fromUtf8(trace));
        QTRY_VERIFY_WITH_TIMEOUT(f.size() == 8, 15000);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("s\ne\ns\ne\n"));
        terminateWithin2s();
    }

    // --- faults ---------------------------------------------------------------------------

    void serviceKilled()
    {
        startLinkedAgent();
        QElapsedTimer cause;
        cause.start();
        ::kill(pid_t(sim.processId()), SIGKILL);
        const qint64 ms = endedWithin(cause);
        QVERIFY2(ms >= 0 && ms <= promptMs(2000), qPrintable(QString::number(ms)));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(log().contains(QStringLiteral("Lost connection with Service, closing program")));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("logged-off"))));
    }

    void serviceClosesDuringTheFirstPause()
    {
        startAgent();
        QVERIFY(!simEvents.wait(QStringLiteral("login")).isEmpty());
        QElapsedTimer cause;
        cause.start();
        command("close");
        const qint64 ms = endedWithin(cause);
        // The pause itself is 2 s; waiting out the link's 2 s drain as well would pass 4 s.
        QVERIFY2(ms >= 0 && ms <= 2000 + promptMs(1000), qPrintable(QString::number(ms)));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(log().contains(QStringLiteral("Lost connection with Service, closing program")));
    }

    void silentService()
    {
        sim.kill();
        sim.waitForFinished();
        QTcpServer silent; // accepts and never sends
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        port = silent.serverPort();
        startAgent();
        QVERIFY(silent.waitForNewConnection(10000));
        QTcpSocket *peer = silent.nextPendingConnection();
        QTest::qWait(3000);
        QCOMPARE(agent.state(), QProcess::Running);
        terminateWithin2s();
        if (QTest::currentTestFailed())
            return;
        while (peer->waitForReadyRead(1000)) {
        } // until the agent's side is closed
        int logouts = 0;
        FrameDecoder decoder([&](ipc::Message &&m) { logouts += m.id == ipc::REQ_LOGOUT ? 1 : 0; },
                             [](const QString &) {});
        decoder.feed(peer->readAll());
        QCOMPARE(logouts, 1);
    }

    void halfAFrameThenStall()
    {
        startLinkedAgent();
        command("raw 0000001002"); // claims 16 bytes, sends 1
        QTest::qWait(1000);
        QCOMPARE(agent.state(), QProcess::Running);
        terminateWithin2s();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(oneLogout());
    }

    void sigtermBurst()
    {
        startLinkedAgent();
        terminateWithin2s(100);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(oneLogout());
    }

    // Before the handler exists SIGTERM has its default effect: the agent ends at once.
    void sigtermWhileConnecting()
    {
        sim.kill();
        sim.waitForFinished();
        startAgent();
        QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("IPC Server is not reachable")),
                                 10000);
        QElapsedTimer cause;
        cause.start();
        ::kill(pid_t(agent.processId()), SIGTERM);
        const qint64 ms = endedWithin(cause);
        QVERIFY2(ms >= 0 && ms < 2000,
                 qPrintable(QString::number(ms)));         // not after the next attempt
        QCOMPARE(agent.exitStatus(), QProcess::CrashExit); // ended by the signal
    }

    void sigtermWhileAboutIsOpen()
    {
        startLinkedAgent();
        // Right-click the icon at the tray host's right end, then the menu's only entry.
        QProcess::execute(
            QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral(
                 "eval $(xdotool search --classname '^(panel|stalonetray)$' getwindowgeometry "
                 "--shell) && "
                 "xdotool mousemove $((X + WIDTH - 12)) $((Y + HEIGHT / 2)) click 3 && sleep 0.5 "
                 "&& "
                 "xdotool key Down Return")});
        QTRY_VERIFY_WITH_TIMEOUT(
            QProcess::execute(QStringLiteral("sh"),
                              {QStringLiteral("-c"),
                               QStringLiteral("xdotool search --name '^About$' >/dev/null")}) == 0,
            5000);
        terminateWithin2s();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(oneLogout());
    }

    // Malformed and hostile frames cost only themselves: the next valid command still works.
    void hostileFramesThenAValidCommand()
    {
        startLinkedAgent();
        command("raw 00000000");           // length 0
        command("raw 0000000505ffff7b7b"); // information that is not JSON
        command("raw 00000003055b5d");     // information that is not an object
        command("raw 0000000202c3");       // a cut UTF-8 sequence in a message
        command("raw 00000001ee");         // unknown id
        command("raw 0010000102");         // 1 MiB + 1 (type 02 and 1 MiB): skipped as it streams
        const QByteArray filler(2 * 1024, 'a');
        for (int i = 0; i < 512; ++i) // the rest of that frame, in pieces
            command("raw " + filler.toHex());
        command("raw 00000000");
        const QString marker = dir.filePath(QStringLiteral("still-obeys"));
        command("script touch '" + marker.toUtf8() + "'");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 15000);
        QCOMPARE(agent.state(), QProcess::Running);
        QVERIFY(log().count(QStringLiteral("Got error on IPC thread")) >= 4);
        command("logoff");
        QVERIFY(agent.waitForFinished(5000));
        QCOMPARE(agent.exitCode(), 0);
        QVERIFY(oneLogout());
    }
};

QTEST_GUILESS_MAIN(TestAgentE2E)
#include "tst_agent_e2e.moc"
