// Memory per session on a host with many sessions (scripts/bench): N sessions, each a private
// Xvfb with a tray host and a session bus of its own, in private runtime folders; then one agent
// in each, and after them, never beside them, one floor program (the minimal tray program) in
// each. After the login and an idle window it reads every process's smaps_rollup and status and
// prints the medians, agent against floor. What Qt and the programs' own pages cost is shared
// between sessions; what is private is paid once per session. Not a test.
//
//   bench_sessions N IDLE_SECONDS TRAY_HOST ICON AGENT FLOOR

#include "agent/process/SessionProcess.h"
#include "service_sim/ServerIPC.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// A private session: its display, tray host and bus, each in a process group of its own.
struct Session
{
    QString runtime, display, bus;
    std::vector<std::unique_ptr<QProcess>> services;
};

// In a session, and so a process group, of its own: torn down by the group.
std::unique_ptr<QProcess> startGroup(const QString &program, const QStringList &args,
                                     const QProcessEnvironment &env)
{
    auto process = std::make_unique<SessionProcess>();
    process->setProcessEnvironment(env);
    process->start(program, args);
    process->waitForStarted(5000);
    return process;
}

void endGroup(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(-pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(3000)) {
        ::kill(-pid_t(process.processId()), SIGKILL);
        process.waitForFinished(3000);
    }
}

QString readLineFrom(QProcess &process, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!process.canReadLine() && clock.elapsed() < ms)
        process.waitForReadyRead(100);
    return QString::fromUtf8(process.readLine()).trimmed();
}

// One process's numbers: smaps_rollup's in KiB, the thread count and voluntary context switches.
std::map<QString, double> sample(qint64 pid)
{
    std::map<QString, double> m;
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (rollup.open(QIODevice::ReadOnly))
        for (const QByteArray &line : rollup.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() >= 2 && f[0].endsWith(':'))
                m[QString::fromLatin1(f[0].chopped(1))] = f[1].toDouble();
        }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() >= 2 && (f[0] == "Threads:" || f[0] == "voluntary_ctxt_switches:"))
                m[QString::fromLatin1(f[0].chopped(1))] = f[1].toDouble();
        }
    return m;
}

// One process's anonymous KiB by mapping: a library's name (its relocated and written pages),
// "[heap]", "[stack]", or "anonymous" for the rest (malloc arenas, thread stacks).
std::map<QString, double> anonymousByMapping(qint64 pid)
{
    std::map<QString, double> m;
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    if (!smaps.open(QIODevice::ReadOnly))
        return m;
    QString mapping;
    for (const QByteArray &line : smaps.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() >= 5 && f[0].contains('-') && !f[0].endsWith(':'))
            mapping = f.size() >= 6 ? QFileInfo(QString::fromLocal8Bit(f[5])).fileName()
                                    : QStringLiteral("anonymous");
        else if (f.size() >= 2 && f[0] == "Anonymous:")
            m[mapping] += f[1].toDouble();
    }
    return m;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

struct Row
{
    std::vector<double> rss, pss, pssAnon, pssFile, uss, anon, threads, wakeups;
    std::map<QString, double> firstByMapping;
};

// Starts `program` in every session, waits for every login, lets them idle, and samples them.
Row measure(ServerIPC &server, std::vector<Session> &sessions, const QString &program,
            const QStringList &args, const QProcessEnvironment &base, int idleSeconds)
{
    int logins = 0;
    const auto counted = QObject::connect(&server, &ServerIPC::loginReceived, [&] { ++logins; });
    std::vector<std::unique_ptr<QProcess>> running;
    for (Session &s : sessions) {
        QProcessEnvironment env = base;
        env.insert(QStringLiteral("DISPLAY"), s.display);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), s.bus);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), s.runtime);
        running.push_back(startGroup(program, args, env));
        running.back()->setStandardErrorFile(QProcess::nullDevice());
    }
    QElapsedTimer clock;
    clock.start();
    while (logins < int(sessions.size()) && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QObject::disconnect(counted);
    if (logins < int(sessions.size()))
        std::fprintf(stderr, "only %d of %zu logged in\n", logins, sessions.size());
    std::vector<std::map<QString, double>> before;
    for (auto &p : running)
        before.push_back(sample(p->processId()));
    clock.restart();
    while (clock.elapsed() < idleSeconds * 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
    const double seconds = clock.elapsed() / 1000.0;
    Row row;
    for (std::size_t i = 0; i < running.size(); ++i) {
        auto m = sample(running[i]->processId());
        const double mib = 1024;
        row.rss.push_back(m[QStringLiteral("Rss")] / mib);
        row.pss.push_back(m[QStringLiteral("Pss")] / mib);
        row.pssAnon.push_back(m[QStringLiteral("Pss_Anon")] / mib);
        row.pssFile.push_back(m[QStringLiteral("Pss_File")] / mib);
        row.uss.push_back(
            (m[QStringLiteral("Private_Clean")] + m[QStringLiteral("Private_Dirty")]) / mib);
        row.anon.push_back(m[QStringLiteral("Anonymous")] / mib);
        row.threads.push_back(m[QStringLiteral("Threads")]);
        row.wakeups.push_back((m[QStringLiteral("voluntary_ctxt_switches")] -
                               before[i][QStringLiteral("voluntary_ctxt_switches")]) /
                              seconds);
    }
    if (!running.empty())
        row.firstByMapping = anonymousByMapping(running.front()->processId());
    for (auto &p : running)
        endGroup(*p);
    return row;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s N IDLE_SECONDS TRAY_HOST ICON AGENT FLOOR\n", argv[0]);
        return 2;
    }
    const int n = atoi(argv[1]);
    const int idleSeconds = atoi(argv[2]);
    const QString trayHost = QString::fromLocal8Bit(argv[3]);
    const QString icon = QString::fromLocal8Bit(argv[4]);
    const QString agent = QString::fromLocal8Bit(argv[5]);
    const QString floorProgram = QString::fromLocal8Bit(argv[6]);

    QTemporaryDir dir;
    ServerIPC server;
    server.listen(0);
    QFile conf(dir.filePath(QStringLiteral("agent.conf")));
    if (!conf.open(QIODevice::WriteOnly))
        return 1;
    conf.write(QStringLiteral("IPC_PORT = %1\nLOG_FILE = %2\nIPC_SERVICE_UID = %3\n"
                              "LOGOFF_COMMAND = true\n")
                   .arg(server.port())
                   .arg(dir.filePath(QStringLiteral("agent.log")))
                   .arg(getuid())
                   .toUtf8());
    conf.close();
    QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
    base.insert(QStringLiteral("BRIMVAULT_AGENT_CONFIG"), conf.fileName());
    base.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    base.remove(QStringLiteral("WAYLAND_DISPLAY"));
    base.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("x11"));

    std::vector<Session> sessions(std::size_t(std::max(n, 1)));
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        Session &s = sessions[i];
        s.runtime = dir.filePath(QStringLiteral("session-%1").arg(i));
        QDir().mkpath(s.runtime);
        QFile::setPermissions(s.runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ExeOwner);
        QProcessEnvironment env = base;
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), s.runtime);
        auto xvfb = startGroup(QStringLiteral("Xvfb"),
                               {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                QStringLiteral("-nolisten"), QStringLiteral("tcp")},
                               env);
        s.display = QLatin1Char(':') + readLineFrom(*xvfb, 10000);
        s.services.push_back(std::move(xvfb));
        auto bus = startGroup(QStringLiteral("dbus-daemon"),
                              {QStringLiteral("--session"), QStringLiteral("--nofork"),
                               QStringLiteral("--print-address"),
                               QStringLiteral("--address=unix:dir=%1").arg(s.runtime)},
                              env);
        s.bus = readLineFrom(*bus, 10000);
        s.services.push_back(std::move(bus));
        env.insert(QStringLiteral("DISPLAY"), s.display);
        s.services.push_back(startGroup(trayHost, {}, env));
    }
    QThread::msleep(1000); // the tray hosts take their selections

    std::printf("%d sessions, %d s idle after the login\n", int(sessions.size()), idleSeconds);
    const Row a = measure(server, sessions, agent, {}, base, idleSeconds);
    const Row f = measure(server, sessions, floorProgram, {QString::number(server.port()), icon},
                          base, idleSeconds);
    for (Session &s : sessions)
        for (auto it = s.services.rbegin(); it != s.services.rend(); ++it)
            endGroup(**it);

    const auto line = [](const char *name, const std::vector<double> &agentValues,
                         const std::vector<double> &floorValues, const char *unit) {
        const double av = median(agentValues), fv = median(floorValues);
        std::printf("%-26s %9.2f %9.2f %+9.2f %8.2fx  %s\n", name, av, fv, av - fv,
                    fv > 0 ? av / fv : 0.0, unit);
    };
    std::printf("\n%-26s %9s %9s %9s %9s\n", "per session (median)", "agent", "floor", "diff",
                "ratio");
    line("RSS", a.rss, f.rss, "MiB");
    line("PSS", a.pss, f.pss, "MiB");
    line("  PSS anonymous", a.pssAnon, f.pssAnon, "MiB");
    line("  PSS file-backed", a.pssFile, f.pssFile, "MiB");
    line("USS (private)", a.uss, f.uss, "MiB");
    line("anonymous", a.anon, f.anon, "MiB");
    line("threads", a.threads, f.threads, "");
    line("wake-ups at idle", a.wakeups, f.wakeups, "/s");
    // Where the anonymous difference lies, in the first session's pair.
    std::vector<std::pair<double, QString>> gaps;
    std::map<QString, double> all = a.firstByMapping;
    for (const auto &[name, kib] : f.firstByMapping)
        all.emplace(name, 0);
    for (const auto &[name, kib] : all) {
        const auto inFloor = f.firstByMapping.find(name);
        gaps.emplace_back(kib - (inFloor == f.firstByMapping.end() ? 0 : inFloor->second), name);
    }
    std::sort(gaps.begin(), gaps.end(),
              [](const auto &x, const auto &y) { return std::abs(x.first) > std::abs(y.first); });
    std::printf("\nanonymous KiB by mapping, agent - floor (first session):\n");
    for (std::size_t i = 0; i < std::min<std::size_t>(gaps.size(), 12); ++i)
        std::printf("  %+8.0f  %s\n", gaps[i].first, qPrintable(gaps[i].second));
    const double ussGap = median(a.uss) - median(f.uss);
    const double pssRatio = median(f.pss) > 0 ? median(a.pss) / median(f.pss) : 0;
    std::printf("targets: USS <= floor + 0.5 MiB: %s (%+.2f); PSS <= 1.2x floor: %s (%.2fx)\n",
                ussGap <= 0.5 ? "met" : "MISSED", ussGap, pssRatio <= 1.2 ? "met" : "MISSED",
                pssRatio);
    return 0;
}
