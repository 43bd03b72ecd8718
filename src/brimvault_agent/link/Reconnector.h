#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <mutex>
#include <thread>

class ClientIPC;

// After the link to the service was lost: tries to connect again about every kRetryMs, each
// attempt on a thread of its own so that the GUI thread never waits for one, until one succeeds
// or the time is up. Every attempt passes the checks of the first connection.
class Reconnector : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRetryMs = 2000;

    explicit Reconnector(QObject *parent = nullptr);
    // Waits for an attempt under way, which its own connect time-out bounds.
    ~Reconnector() override;

    void start(int seconds);
    void stop();
    bool active() const { return active_; }
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

    QTimer retry_;
    QElapsedTimer clock_;
    int seconds_ = 0;
    bool active_ = false;
    bool busy_ = false; // an attempt is under way
    std::thread worker_;
    std::mutex mutex_;
    std::unique_ptr<ClientIPC> result_; // guarded by mutex_, as untrusted_
    QString untrusted_;
    QString refused_; // the last refusal logged, while it lasts
};
