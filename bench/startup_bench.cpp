// Start-up benchmark, run on a display with a tray host (scripts/bench): time from exec to the
// login frame at the service and peak RSS, for each build of the agent (Qt 5, Qt 6) and for a
// floor program built against the same Qt, all measured interleaved in one run; then each
// agent's CPU time over 60 idle seconds with an idle limit in force, so that the idle source is
// read on every check. With RUNS 0 only the idle CPU is measured (scripts/bench does that in a
// Wayland session). Not a test.

#include "service_sim/ServerIPC.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

struct Run
{
    double startupMs = -1;
    double peakRssMb = 0;
};

double peakRssMb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the line; 12 and 13 after the command name.
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// Starts `program`, waits for its login frame, lets it settle, and records the numbers.
Run measure(ServerIPC &server, const QString &program, const QStringList &args,
            const QProcessEnvironment &env, int settleMs, QProcess **keep = nullptr)
{
    Run run;
    bool loggedIn = false;
    auto connection =
        QObject::connect(&server, &ServerIPC::loginReceived, [&] { loggedIn = true; });
    auto *process = new QProcess;
    process->setProcessEnvironment(env);
    process->setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process->start(program, args);
    while (!loggedIn && clock.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    run.startupMs = loggedIn ? double(clock.nsecsElapsed()) / 1e6 : -1;
    QObject::disconnect(connection);
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < settleMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    run.peakRssMb = peakRssMb(process->processId());
    if (keep) {
        *keep = process;
        return run;
    }
    ::kill(pid_t(process->processId()), SIGTERM);
    if (!process->waitForFinished(5000))
        process->kill();
    process->waitForFinished();
    delete process;
    return run;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Build
{
    QString name, agent, floorProgram;
    std::vector<double> agentMs, floorMs, agentRss, floorRss;
    double idleCpu = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 7 || (argc - 4) % 3 != 0) {
        std::fprintf(stderr,
                     "usage: %s ICON RUNS IDLE_SECONDS NAME AGENT FLOOR [NAME AGENT FLOOR...]\n",
                     argv[0]);
        return 2;
    }
    const QString icon = QString::fromLocal8Bit(argv[1]);
    const int runs = atoi(argv[2]);
    const int idleSeconds = atoi(argv[3]);
    // Each build (Qt 5, Qt 6) with the floor built against the same Qt.
    std::vector<Build> builds;
    for (int i = 4; i + 2 < argc; i += 3)
        builds.push_back({QString::fromLocal8Bit(argv[i]),
                          QString::fromLocal8Bit(argv[i + 1]),
                          QString::fromLocal8Bit(argv[i + 2]),
                          {},
                          {},
                          {},
                          {},
                          0});

    ServerIPC server;
    server.listen(0);
    QTemporaryDir dir;
    QFile conf(dir.filePath(QStringLiteral("agent.conf")));
    if (!conf.open(QIODevice::WriteOnly))
        return 1;
    conf.write(QStringLiteral("IPC_PORT = %1\nLOG_FILE = %2\nIPC_SERVICE_UID = %3\n")
                   .arg(server.port())
                   .arg(dir.filePath(QStringLiteral("agent.log")))
                   .arg(getuid())
                   .toUtf8());
    conf.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BRIMVAULT_AGENT_CONFIG"), conf.fileName());

    for (int i = 0; i < runs; ++i) {
        // Interleaved, so drift on the machine weighs on every program alike.
        for (Build &b : builds) {
            const Run f =
                measure(server, b.floorProgram, {QString::number(server.port()), icon}, env, 500);
            const Run a = measure(server, b.agent, {}, env, 500);
            if (f.startupMs < 0 || a.startupMs < 0) {
                std::fprintf(stderr, "a program of %s did not log in\n", qPrintable(b.name));
                return 1;
            }
            b.floorMs.push_back(f.startupMs);
            b.agentMs.push_back(a.startupMs);
            b.floorRss.push_back(f.peakRssMb);
            b.agentRss.push_back(a.peakRssMb);
        }
    }

    // An idle limit far away: the agent reads its idle source every tick and never acts on it.
    auto policy = QObject::connect(&server, &ServerIPC::informationRequested,
                                   [&] { server.sendInformation(R"({"idle": 86400})"); });
    for (Build &b : builds) {
        QProcess *idle = nullptr;
        measure(server, b.agent, {}, env, 2000, &idle);
        const double before = cpuSeconds(idle->processId());
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < idleSeconds * 1000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        b.idleCpu = cpuSeconds(idle->processId()) - before;
        ::kill(pid_t(idle->processId()), SIGTERM);
        idle->waitForFinished(5000);
        delete idle;
    }
    QObject::disconnect(policy);

    const QString session = qEnvironmentVariable("XDG_SESSION_TYPE", QStringLiteral("x11"));
    for (const Build &b : builds) {
        const double cpuPercent = 100.0 * b.idleCpu / idleSeconds;
        if (runs == 0) {
            std::printf("%s agent idle CPU over %d s (%s session): %.3f s (%.3f %%); target < 0.1 "
                        "%%: %s\n",
                        qPrintable(b.name), idleSeconds, qPrintable(session), b.idleCpu, cpuPercent,
                        cpuPercent < 0.1 ? "met" : "MISSED");
            continue;
        }
        const double startRatio = median(b.agentMs) / median(b.floorMs);
        const double rssDelta = median(b.agentRss) - median(b.floorRss);
        std::printf("\n%-24s %14s %14s\n", qPrintable(b.name), "start-up ms", "peak RSS MB");
        std::printf("%-24s %14.1f %14.1f\n", "floor (minimal tray)", median(b.floorMs),
                    median(b.floorRss));
        std::printf("%-24s %14.1f %14.1f\n", "agent", median(b.agentMs), median(b.agentRss));
        std::printf("%-24s %14.2fx %+13.1f\n", "agent vs floor", startRatio, rssDelta);
        std::printf("agent idle CPU over %d s (%s session): %.3f s (%.3f %%)\n", idleSeconds,
                    qPrintable(session), b.idleCpu, cpuPercent);
        std::printf(
            "targets: start-up <= 1.25x: %s; RSS <= floor + 6 MB: %s; idle CPU < 0.1 %%: %s\n",
            startRatio <= 1.25 ? "met" : "MISSED", rssDelta <= 6 ? "met" : "MISSED",
            cpuPercent < 0.1 ? "met" : "MISSED");
    }
    return 0;
}
