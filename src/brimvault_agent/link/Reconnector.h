#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class ClientIPC;

// After the link to the service was lost: tries to connect again about every kRetryMs, each
// attempt on a thread of its own so that the GUI thread never waits for one, until one succeeds
// or the time is up. Every attempt passes the checks of the first connection.
//
// Lives on the GUI thread. The attempt's thread reads only what it was given and hands its
// result back under mutex_ and through a queued call; close() may come from any thread.
class Reconnector : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRetryMs = 2000;
    // An attempt ends within the connect time-out; close() waits a little longer than that.
    static constexpr int kAttemptWaitMs = 3000;

    // `port` and `serviceUid` as the service must be found (IPC_PORT, IPC_SERVICE_UID).
    Reconnector(int port, qint64 serviceUid, QObject *parent = nullptr);
    // Waits for an attempt under way, which its own connect time-out bounds.
    ~Reconnector() override;

    void start(int seconds);
    void stop();
    // Tries again within the same time: a connection was made but could not be used.
    void resume();
    // Any thread: no attempt starts any more, and one under way is waited for, at most `msecs`.
    // For a process that is about to exit.
    void close(int msecs);
    // Whole seconds since start().
    qint64 elapsedSeconds() const { return (clock_.elapsed() + 500) / 1000; }

signals:
    // The receiver takes the client.
    void connected(ClientIPC *client);
    void gaveUp();

private:
    void attempt();
    void finished();
    void join();

    const int port_;
    const qint64 serviceUid_;
    QTimer retry_;
    QElapsedTimer clock_;
    int seconds_ = 0;
    bool active_ = false;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable attemptEnded_;
    bool attempting_ = false; // an attempt's thread runs; guarded by mutex_, as the three below
    bool closed_ = false;
    std::unique_ptr<ClientIPC> result_;
    QString untrusted_;
    QString refused_; // the last refusal logged, while it lasts
};
