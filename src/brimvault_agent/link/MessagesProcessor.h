#pragma once

#include <QString>
#include <QThread>
#include <QVariantMap>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

class ClientIPC;

// The agent's link to the local service: owns the one IPC client, connects with bounded retries
// in its constructor, and turns each incoming message into one queued signal for the GUI thread.
// The GUI thread sends through it directly, and an exit hook's thread may send the logout and
// stop it; the client allows that while run() blocks in a read.
class MessagesProcessor : public QThread
{
    Q_OBJECT
public:
    static constexpr int kConnectAttempts = 10;
    static constexpr int kRetryPauseMs = 2000;
    static constexpr int kFirstReadPauseMs = 2000;
    // Signals the GUI thread may have waiting before the loop lets it catch up; bounds memory
    // under a flood. Normal traffic never comes near it.
    static constexpr int kMaxSignalsInFlight = 1024;

    // Blocks while it tries to connect; never throws. See isAlive().
    MessagesProcessor();
    // Over a client that connectOnce() made.
    explicit MessagesProcessor(std::unique_ptr<ClientIPC> connected);
    // Stops the link and waits (bounded) for the thread, so a running thread is never destroyed.
    ~MessagesProcessor() override;

    // One attempt at the service on `port`, with every check of the first connection (its
    // socket owned by `serviceUid`); any thread. Null with `why` set when it failed. A listener
    // of another user is logged, or its text put in `untrusted` for the caller to log.
    static std::unique_ptr<ClientIPC> connectOnce(int port, qint64 serviceUid, QString *why,
                                                  QString *untrusted = nullptr);

    bool isAlive() const;
    // Why the last connection attempt failed, for the start-up error.
    QString failureReason() const;
    void requestInformation();
    void sendLogin(const QString &userName);
    // True from the moment the first login is handed to the link; read from a signal handler.
    static const std::atomic<bool> &loginSent();
    // False when it could not be queued: no connection.
    bool sendLogout(const QString &userName);
    // Asks the loop to end; does not wait.
    void stop();

    // After stop(): waits, bounded, until what was queued has gone out and the connection is shut.
    bool waitClosed(int msecs);

signals:
    // Emitted on the link thread. A receiver on another thread calls handoff::acquire(link)
    // before it reads what came (the hand-off is told to ThreadSanitizer).
    // These two names hide QObject::disconnect and QThread::exit in this class on purpose: on a
    // MessagesProcessor they are always the link's signals.
    void disconnect();
    void logoff();
    void displayMessage(const QString &message);
    void script(const QString &script);
    void exit();
    void information(const QVariantMap &info);

protected:
    void run() override;

private:
    // The message loop, until the link ends.
    void loop();
    // Reads and dispatches one message; false when the read yields none.
    bool handleOne();
    // Sleeps up to `msecs`, cut short by stop().
    void pause(int msecs);
    // Counts one emitted signal; past the window, waits (cut short by stop()) until the GUI
    // thread has handled the signals of the window before.
    void throttle();

    std::unique_ptr<ClientIPC> ipc;
    QString failureReason_;
    std::atomic<bool> running{false};
    std::atomic<bool> loopEnded{false};
    // Set by stop() and never cleared, so a stop() that comes before run() has set `running`
    // still cuts the first-read pause short.
    bool stopRequested = false;
    std::mutex pauseMutex;
    std::condition_variable pauseCv;
    int emittedInWindow = 0;
    bool windowOpen = true; // the GUI thread has reached the last marker (guarded by pauseMutex)
};
