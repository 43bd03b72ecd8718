#include "SessionLock.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString safeName(QString name)
{
    for (QChar &c : name)
        if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    return name;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Opens the lock file without following a link and only if it is ours: in the shared
// temporary folder anyone could have put something there first.
int openLockFile(const QString &path, int flags, QString *error)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(path, systemError());
        return -1;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::getuid() || !S_ISREG(st.st_mode)) {
        *error = QStringLiteral("%1: not a file of this user").arg(path);
        ::close(fd);
        return -1;
    }
    return fd;
}

qint64 readPid(int fd)
{
    char buffer[32] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    return n > 0 ? QByteArray(buffer, int(n)).trimmed().toLongLong() : 0;
}

} // namespace

SessionLock::~SessionLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

QString SessionLock::path()
{
    QString session = qEnvironmentVariable("XDG_SESSION_ID");
    if (session.isEmpty())
        session = qEnvironmentVariable("DISPLAY");
    if (session.isEmpty())
        session = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QStringLiteral("%1/brimvault-agent-%2.lock").arg(runtime, safeName(session));
    return QStringLiteral("%1/brimvault-agent-%2-%3.lock")
        .arg(QDir::tempPath())
        .arg(::getuid())
        .arg(safeName(session));
}

bool SessionLock::acquire(const QString &path)
{
    const int fd = openLockFile(path, O_RDWR | O_CREAT, &error_);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            holder_ = readPid(fd);
        else
            error_ = QStringLiteral("%1: %2").arg(path, systemError());
        ::close(fd);
        return false;
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        // The lock holds all the same; only the pid for the message is missing.
        error_ = QStringLiteral("%1: %2").arg(path, systemError());
    }
    fd_ = fd;
    return true;
}

qint64 SessionLock::heldBy(const QString &path)
{
    QString error;
    const int fd = openLockFile(path, O_RDONLY, &error);
    if (fd < 0)
        return 0;
    // A shared lock is only to be had when nobody holds the exclusive one.
    qint64 pid = 0;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0)
        ::flock(fd, LOCK_UN);
    else if (errno == EWOULDBLOCK)
        pid = readPid(fd);
    ::close(fd);
    return pid;
}
