#include "ScriptExecutorThread.h"

#include "SessionProcess.h"
#include "agent/base/handoff.h"
#include "agent/base/utils.h"
#include "agent/config/Config.h"
#include "agent/log/log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QThread>
#include <QThreadPool>

#include <mutex>
#include <set>
#include <signal.h>
#include <utility>

namespace {

struct Running
{
    std::mutex mutex;
    std::set<qint64> pids;
    bool shuttingDown = false;
};

Running &running()
{
    // Never destroyed: an exit handler ends the scripts after static destructors may have run.
    static Running *const r = new Running;
    return *r;
}

// Ends a script's whole process group; never anything but a group we started (pid 0 or 1
// would reach our own group or every process).
void killGroup(qint64 pid, int signal)
{
    if (pid > 1)
        ::kill(-static_cast<pid_t>(pid), signal);
}

// Interpreter and arguments as the kernel would take them from a "#!" line; else /bin/sh.
QStringList commandFor(const QString &script, const QString &path)
{
    if (script.startsWith(QLatin1String("#!"))) {
        const QString line = script.mid(2, script.indexOf(QLatin1Char('\n')) - 2).trimmed();
        const int blank = line.indexOf(QRegularExpression(QStringLiteral("\\s")));
        if (!line.isEmpty()) {
            // Run through the interpreter rather than exec'ing the file: a file just written
            // can be "busy" (ETXTBSY) while another thread forks.
            QStringList command{blank < 0 ? line : line.left(blank)};
            if (blank >= 0)
                command << line.mid(blank + 1).trimmed();
            command << path;
            return command;
        }
    }
    return {QStringLiteral("/bin/sh"), path};
}

} // namespace

ScriptExecutorThread::ScriptExecutorThread(QString script) : script_(std::move(script))
{
    setAutoDelete(true);
}

QThreadPool *ScriptExecutorThread::pool()
{
    // Never destroyed: QThreadPool's destructor would wait for scripts at process exit.
    static QThreadPool *scripts = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(qMax(1, config().SCRIPT_MAX_CONCURRENT));
        p->setExpiryTimeout(30000);
        return p;
    }();
    return scripts;
}

void ScriptExecutorThread::start()
{
    // Run on a pool thread; Qt's pool hands it over.
    handoff::release(this);
    pool()->start(this);
}

bool ScriptExecutorThread::waitForAll(int msecs)
{
    const bool done = pool()->waitForDone(msecs);
    if (done)
        handoff::acquire(pool()); // what the finished runs did, after their last read
    return done;
}

void ScriptExecutorThread::shutdown(int msecs)
{
    pool()->clear();
    std::set<qint64> pids;
    {
        std::lock_guard<std::mutex> lock(running().mutex);
        running().shuttingDown = true;
        pids = running().pids;
    }
    for (qint64 pid : pids)
        killGroup(pid, SIGTERM);
    if (pool()->waitForDone(msecs)) {
        handoff::acquire(pool());
    } else {
        std::lock_guard<std::mutex> lock(running().mutex);
        for (qint64 pid : running().pids)
            killGroup(pid, SIGKILL);
    }
}

void ScriptExecutorThread::registerStarted(qint64 pid)
{
    // A shutdown that began while the script started has not seen it: it ends here, with the
    // others, rather than after shutdown()'s wait.
    std::lock_guard<std::mutex> lock(running().mutex);
    running().pids.insert(pid);
    if (running().shuttingDown)
        killGroup(pid, SIGTERM);
}

void ScriptExecutorThread::run()
{
    handoff::acquire(this);
    // A pool thread rethrows what escapes, which would end the agent.
    try {
        runScript();
    } catch (...) {
        logger::error(QStringLiteral("Script runner failed: %1")
                          .arg(utils::exceptionToMessage(std::current_exception())));
    }
    handoff::release(pool()); // to waitForAll and shutdown, which Qt's pool lets go on
}

void ScriptExecutorThread::runScript()
{
    QThread::currentThread()->setObjectName(QStringLiteral("script"));
    {
        std::lock_guard<std::mutex> lock(running().mutex);
        if (running().shuttingDown)
            return;
    }
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/brimvault-script-XXXXXX"));
    if (!file.open()) {
        logger::warn(QStringLiteral("Script not run: cannot create a temporary file: %1")
                         .arg(file.errorString()));
        return;
    }
    const QByteArray text = script_.toUtf8();
    const bool written = file.write(text) == text.size() && file.flush();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    file.close();
    if (!written) {
        logger::warn(QStringLiteral("Script not run: cannot write %1: %2")
                         .arg(file.fileName(), file.errorString()));
        return;
    }

    const QStringList command = commandFor(script_, file.fileName());
    if (QStandardPaths::findExecutable(command.first()).isEmpty() &&
        !QFileInfo(command.first()).isExecutable()) {
        logger::warn(
            QStringLiteral("Script could not be started: no interpreter %1").arg(command.first()));
        return;
    }
    SessionProcess process;
    process.setProgram(command.first());
    process.setArguments(command.mid(1));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setReadChannel(QProcess::StandardError);
    process.start();
    if (!process.waitForStarted(10000)) {
        logger::warn(QStringLiteral("Script could not be started: %1").arg(process.errorString()));
        return;
    }
    const qint64 pid = process.processId();
    registerStarted(pid);

    const int timeout = config().SCRIPT_TIMEOUT;
    QDeadlineTimer deadline = timeout > 0 ? QDeadlineTimer(qint64(timeout) * 1000)
                                          : QDeadlineTimer(QDeadlineTimer::Forever);
    QByteArray errors;
    bool timedOut = false;
    auto drain = [&] {
        const QByteArray chunk = process.readAllStandardError();
        if (errors.size() < kMaxOutputBytes)
            errors.append(chunk.left(kMaxOutputBytes - errors.size()));
    };
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(250);
        drain();
        if (!timedOut && deadline.hasExpired() && process.state() != QProcess::NotRunning) {
            timedOut = true;
            killGroup(pid, SIGKILL);
            process.waitForFinished(5000);
        }
    }
    drain();
    {
        std::lock_guard<std::mutex> lock(running().mutex);
        running().pids.erase(pid);
    }

    const QStringList lines =
        QString::fromUtf8(errors).split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(0, kLoggedLines);
    const QString stderrText =
        lines.isEmpty() ? QString()
                        : QStringLiteral("; stderr: ") + lines.join(QStringLiteral(" | "));
    if (timedOut) {
        logger::warn(QStringLiteral("Script killed after the time limit of %1 s%2")
                         .arg(timeout)
                         .arg(stderrText));
    } else if (process.exitStatus() == QProcess::CrashExit) {
        logger::warn(QStringLiteral("Script ended by a signal%1").arg(stderrText));
    } else if (process.exitCode() != 0) {
        logger::warn(QStringLiteral("Script failed with exit status %1%2")
                         .arg(process.exitCode())
                         .arg(stderrText));
    } else {
        logger::debug(QStringLiteral("Script finished with exit status 0%1").arg(stderrText));
    }
}
