#pragma once

#include <QString>

// One agent per desktop session: an flock(2) on a file named after the session, so the kernel
// lets go of it when the holder dies, however it dies. The file holds the holder's pid.
class SessionLock
{
public:
    SessionLock() = default;
    ~SessionLock();
    SessionLock(const SessionLock &) = delete;
    SessionLock &operator=(const SessionLock &) = delete;

    // $XDG_RUNTIME_DIR/brimvault-agent-SESSION.lock, else the same name in a private folder
    // /tmp/brimvault-agent-UID; SESSION is the session's key (its logind id, else its display).
    // Empty, with `error` saying why, when that folder cannot be had.
    static QString path(QString *error = nullptr);

    // Takes the lock; false when another process holds it (holder() then names its pid) or the
    // file cannot be used (error() says why).
    bool acquire(const QString &path = SessionLock::path());
    qint64 holder() const { return holder_; }
    QString error() const { return error_; }

    // The pid of the process that holds the lock at `path`, else 0. Takes nothing: reads the
    // kernel's table of locks.
    static qint64 heldBy(const QString &path = SessionLock::path());

private:
    int fd_ = -1;
    qint64 holder_ = 0;
    QString error_;
};
