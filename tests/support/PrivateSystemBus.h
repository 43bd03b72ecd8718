#pragma once

#include "agent/session/logoff/SessionEndWatch.h"
#include "brimvault_agent/app/SigTermNotifier.h"

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
        // Like the tests' session buses: every name they ask about can be started, logind's
        // too, and a start is recorded.
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--config-file=" QUERY_BUS_CONF), QStringLiteral("--nofork"),
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

// The logind stand-in's TerminateSession sends the session's processes SIGTERM, the test's own
// among them: taken as the agent takes it, through its notifier, and counted.
class SigTermAsTheAgent
{
public:
    bool install()
    {
        QObject::connect(&notifier, &SigTermNotifier::received, [this](int) {
            ++received;
            SessionEndWatch::sessionEnding();
        });
        return notifier.install(nullptr);
    }
    int received = 0;

private:
    SigTermNotifier notifier;
};
