#include "SessionLock.h"

#include "SessionFacts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// Opens the lock file without following a link, without blocking (a FIFO would), and only if it
// is a plain file of ours with no other name: a hard link planted there would make us truncate
// the file it points to.
int openLockFile(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
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
    if (st.st_nlink != 1) {
        *error = QStringLiteral("%1: has %2 links; refused").arg(path).arg(st.st_nlink);
        ::close(fd);
        return -1;
    }
    return fd;
}

// Outside the runtime folder the lock lives in a folder of the user's own that nobody else may
// enter; made here if missing, refused if it is anything else.
QString privateFolder(QString *error)
{
    const QString folder =
        QStringLiteral("%1/brimvault-agent-%2").arg(QDir::tempPath()).arg(::getuid());
    const QByteArray name = QFile::encodeName(folder);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("%1: %2").arg(folder, systemError());
        return {};
    }
    struct stat st = {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        *error = QStringLiteral("%1: not a private folder of this user").arg(folder);
        return {};
    }
    return folder;
}

// The pid holding an flock on the file (device, inode), from the kernel's table of locks.
qint64 flockHolder(dev_t device, ino_t inode)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray id = QStringLiteral("%1:%2:%3")
                              .arg(major(device), 2, 16, QLatin1Char('0'))
                              .arg(minor(device), 2, 16, QLatin1Char('0'))
                              .arg(inode)
                              .toLatin1();
    // "1: FLOCK  ADVISORY  WRITE 2481 00:2a:1234 0 EOF"
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == id)
            return qMax<qint64>(fields[4].toLongLong(), 1);
    }
    return 0;
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

QString SessionLock::path(QString *error)
{
    const QString file =
        QStringLiteral("brimvault-agent-%1.lock").arg(safeName(SessionFacts::current().key()));
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QStringLiteral("%1/%2").arg(runtime, file);
    QString why;
    const QString folder = privateFolder(&why);
    if (error)
        *error = why;
    return folder.isEmpty() ? QString() : QStringLiteral("%1/%2").arg(folder, file);
}

bool SessionLock::acquire(const QString &path)
{
    if (path.isEmpty()) {
        if (error_.isEmpty())
            SessionLock::path(&error_);
        return false;
    }
    const int fd = openLockFile(path, &error_);
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
    // Looked up, not taken: even a shared lock for a moment would make an agent that starts
    // then step aside.
    struct stat st = {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return 0;
    const qint64 pid = flockHolder(st.st_dev, st.st_ino);
    if (pid <= 0)
        return 0;
    // The pid as the holder wrote it: /proc/locks shows the one of our own pid namespace.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const qint64 written = fd >= 0 ? readPid(fd) : 0;
    if (fd >= 0)
        ::close(fd);
    return written > 0 ? written : pid;
}
