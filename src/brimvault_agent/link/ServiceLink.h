#pragma once

// link/ is the agent's link to the service: the link thread, reconnecting, and the link's life.

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <mutex>

class ClientIPC;
class MessagesProcessor;
class Reconnector;

// The link's life: the link thread over a connection to the service, the information request
// and the login on every connection, and, with RECONNECT_SECONDS, connecting again when the link
// is lost, offline meanwhile. The service's commands come out of it as the link thread's six
// signals, whichever connection carried them; online() and offline() say when the connection
// goes and comes back.
//
// Lives on the GUI thread. sendLogout(), stop() and waitClosed() are also called from the exit
// hooks' threads: the link they use is replaced only under mutex_, and never after sendLogout().
class ServiceLink : public QObject
{
    Q_OBJECT
public:
    // Connects, blocking, with MessagesProcessor's bounded attempts; see isAlive().
    explicit ServiceLink(QObject *parent = nullptr);
    // Stops the link and waits, bounded, for its thread.
    ~ServiceLink() override;

    // Whether the first connection was made.
    bool isAlive() const;
    // Why the last attempt at it failed, for the start-up error.
    QString failureReason() const;
    // Starts the link thread, then asks for the information and logs in; false when the thread
    // could not be started.
    bool start();
    bool isOffline() const { return offline_; }

    // Any thread. Sends the logout on the connection there is; a connection made afterwards is
    // dropped, never logged in. False when nothing could be sent (offline, or stopped before).
    bool sendLogout(const QString &userName);
    // Any thread. Ends the link and any reconnecting; does not wait.
    void stop();
    // Any thread. Waits, at most about `msecs`, until what was sent has gone out and no connection
    // attempt runs, so that nothing of the link runs on while the process exits.
    void waitClosed(int msecs);

signals:
    // The link thread's, as the tray wires them.
    void disconnect();
    void logoff();
    void displayMessage(const QString &message);
    void script(const QString &script);
    void exit(); // the link is over for good
    void information(const QVariantMap &info);
    // The connection was lost, and is tried again; it is back.
    void offline();
    void online();

private slots:
    void reconnected(ClientIPC *client);

private:
    friend class TestBrimvaultSystemTray;

    // The current link thread's signals to this object's; caller holds mutex_.
    void wire();
    // start(), with mutex_ held.
    bool startLocked();
    void take(std::unique_ptr<ClientIPC> client);
    // The link thread's loop ended: with RECONNECT_SECONDS the agent goes on offline.
    void linkEnded();
    bool closed() const;

    mutable std::mutex mutex_;
    // After mutex_, so destroyed first: its thread ends while what it reaches still exists.
    std::unique_ptr<MessagesProcessor> link_; // replaced under mutex_
    Reconnector *reconnector_ = nullptr;
    bool closed_ = false; // sendLogout() or stop() ran; guarded by mutex_
    std::atomic<bool> offline_{false};
};
