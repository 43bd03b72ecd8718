#pragma once

// Pieces the link benchmarks share: a service side in a thread of its own and timestamped
// 100-byte payloads.

#include "service_sim/ServerIPC.h"

#include <QByteArray>
#include <QFile>
#include <QSemaphore>
#include <QThread>

#include <chrono>

constexpr int kPayload = 100;

inline qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Payload: sequence number and send time, padded to 100 bytes.
inline QByteArray payload(qint64 seq, qint64 sentNs)
{
    QByteArray p = QByteArray::number(seq) + ' ' + QByteArray::number(sentNs) + ' ';
    p.append(QByteArray(kPayload - p.size(), 'x'));
    return p;
}

class ServiceThread : public QThread
{
public:
    ServerIPC *server = nullptr;
    QSemaphore ready;
    void run() override
    {
        ServerIPC s;
        s.listen(0);
        server = &s;
        ready.release();
        exec();
        server = nullptr;
    }
};

// Resident memory of this process in MiB.
inline double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}
