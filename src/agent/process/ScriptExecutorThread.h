#pragma once

// process/ starts the programs of the session: the service's scripts, the logoff command, and
// the reset every child gets first.

#include <QRunnable>
#include <QString>

class QThreadPool;

// Runs one script from the service in the background. start() hands the runner to a pool of
// SCRIPT_MAX_CONCURRENT threads and returns at once; the pool deletes it when the script is done.
// Scripts beyond the limit wait in arrival order, so a burst cannot exhaust processes or threads.
// shutdown() is also called from the exit hooks' threads; what it shares with the runners is
// guarded by a mutex in a record that is never destroyed.
class ScriptExecutorThread : public QRunnable
{
public:
    explicit ScriptExecutorThread(QString script);

    void start();
    void run() override;

    static constexpr int kMaxOutputBytes = 64 * 1024; // of stderr kept for the log
    static constexpr int kLoggedLines = 5;

    // Waits for queued and running scripts; false on time-out. For shutdown and tests.
    static bool waitForAll(int msecs);
    // Drops the queued scripts and terminates the running ones (SIGTERM, then SIGKILL after
    // `msecs`). The session is ending: nothing should outlive the agent's threads.
    static void shutdown(int msecs);

private:
    void runScript();
    // Puts a started script's process group on the list that shutdown() ends.
    static void registerStarted(qint64 pid);
    friend class TestScriptExecutor;
    static QThreadPool *pool();
    QString script_;
};
