// Memory soak of the link: a burst of messages, then a steady stream, from a service in a
// process of its own through ClientIPC and MessagesProcessor to a receiver on the GUI thread.
// Prints this (the agent's) process's resident memory at the start, its peak and after the
// stream, and checks that nothing is lost and order is kept. Not a test.
//   bench_soak [BURST] [STREAM_SECONDS] [STREAM_RATE_PER_S]

#include "bench_support.h"

#include "agent/config/Config.h"
#include "agent/ipc/protocol.h"
#include "agent/log/log.h"
#include "brimvault_agent/link/MessagesProcessor.h"
#include "service_sim/ServerIPC.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// The service side: the burst with at most 1 MiB waiting in its socket, then `rate` a second.
int serve(qint64 burst, int seconds, int rate)
{
    ServerIPC server;
    server.listen(0);
    std::printf("%d\n", server.port());
    std::fflush(stdout);
    const qint64 total = burst + qint64(seconds) * rate;
    qint64 next = 0;
    QElapsedTimer streamClock;
    // Starts on "go" from stdin, once the agent side has settled.
    bool go = false;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c;
        go = ::read(STDIN_FILENO, &c, 1) > 0;
        input.setEnabled(false);
    });
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] {
        if (!go || server.connectionCount() == 0)
            return;
        qint64 due = total;
        if (next >= burst) {
            if (!streamClock.isValid())
                streamClock.start();
            due = qMin(total, burst + streamClock.elapsed() * rate / 1000);
        }
        QByteArray chunk;
        while (next < qMin(due, next >= burst ? total : burst) &&
               server.bytesPending() + chunk.size() < (1 << 20))
            chunk += ipc::encodeFrame(ipc::MSG_MESSAGE, payload(next++, 0));
        if (!chunk.isEmpty())
            server.sendRaw(chunk);
    });
    QObject::connect(&server, &ServerIPC::agentDisconnected, qApp, &QCoreApplication::quit);
    pump.start(1);
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool serving = argc > 1 && qstrcmp(argv[1], "--serve") == 0;
    const int shift = serving ? 1 : 0;
    const qint64 burst = argc > 1 + shift ? atoll(argv[1 + shift]) : 1000000;
    const int streamSeconds = argc > 2 + shift ? atoi(argv[2 + shift]) : 60;
    const int rate = argc > 3 + shift ? atoi(argv[3 + shift]) : 1000;
    if (serving)
        return serve(burst, streamSeconds, rate);

    logger::init({QString(), logger::Level::Warn, 0, 1, true});
    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--serve"), QString::number(burst),
                   QString::number(streamSeconds), QString::number(rate)});
    if (!service.waitForReadyRead(10000))
        return 1;
    Config c = Config::defaults();
    c.IPC_PORT = service.readLine().trimmed().toInt();
    c.IPC_SERVICE_UID = getuid();
    setConfig(c);

    const qint64 total = burst + qint64(streamSeconds) * rate;
    qint64 received = 0;
    bool inOrder = true;
    QElapsedTimer burstClock;
    double burstSeconds = 0;
    MessagesProcessor link;
    QObject::connect(&link, &MessagesProcessor::displayMessage, &app, [&](const QString &text) {
        inOrder = inOrder && text.section(QLatin1Char(' '), 0, 0).toLongLong() == received;
        if (++received == burst)
            burstSeconds = burstClock.elapsed() / 1000.0;
    });
    link.start();
    // Settled: the link thread is reading and every thread has made its first allocations.
    QThread::msleep(MessagesProcessor::kFirstReadPauseMs + 500);
    QCoreApplication::processEvents();
    const double start = residentMb();
    service.write("go\n");
    service.waitForBytesWritten(1000);
    burstClock.start();
    double peak = start;
    QElapsedTimer clock;
    clock.start();
    while (received < total && clock.elapsed() < (streamSeconds + 600) * 1000LL) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        peak = qMax(peak, residentMb());
    }
    QCoreApplication::processEvents();
    const double end = residentMb();
    link.stop();
    link.wait(5000);
    service.waitForFinished(5000);

    std::printf("burst: %lld messages in %.1f s (%.0f/s); stream: %d s at %d/s\n", burst,
                burstSeconds, burst / qMax(burstSeconds, 0.001), streamSeconds, rate);
    std::printf("%-24s %8.1f MB\n", "resident at start", start);
    std::printf("%-24s %8.1f MB (%+.1f)\n", "peak", peak, peak - start);
    std::printf("%-24s %8.1f MB (%+.1f)\n", "after the stream", end, end - start);
    std::printf("delivered %lld of %lld, in order: %s\n", received, total, inOrder ? "yes" : "NO");
    std::printf("target: back within 2 MB of the start: %s\n",
                end - start <= 2.0 ? "met" : "MISSED");
    return received == total && inOrder ? 0 : 1;
}
