#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <QtGlobal>

// A bus daemon that plays the system bus for one test run. Its socket lives in a folder of its
// own: a daemon that is killed cannot remove its socket, and /tmp would keep one per run.
class PrivateSystemBus
{
public:
    // Starts the daemon and points DBUS_SYSTEM_BUS_ADDRESS at it; false if it did not come up.
    bool start()
    {
        if (!folder.isValid())
            return false;
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--nofork"),
                      QStringLiteral("--print-address"),
                      QStringLiteral("--address=unix:path=%1").arg(folder.filePath("bus"))});
        if (!daemon.waitForReadyRead(5000))
            return false;
        address = daemon.readLine().trimmed();
        return qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    }
    ~PrivateSystemBus()
    {
        daemon.kill();
        daemon.waitForFinished();
    }

    QByteArray address;

private:
    QTemporaryDir folder;
    QProcess daemon;
};
