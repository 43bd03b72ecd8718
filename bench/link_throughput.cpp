// Link benchmark: service side -> ClientIPC -> MessagesProcessor -> a receiver on the GUI thread,
// 100-byte MSG_MESSAGE frames, next to a raw loopback TCP floor measured in the same run.
// Prints messages/s and one-way latency p50/p99 for both, and the ratios. Not a test.

#include "bench_support.h"

#include "agent/config/Config.h"
#include "agent/ipc/protocol.h"
#include "agent/log/log.h"
#include "brimvault_agent/link/MessagesProcessor.h"
#include "service_sim/ServerIPC.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kThroughputMessages = 300000;
constexpr int kLatencySamples = 5000;

struct Stats
{
    double messagesPerSecond = 0;
    double p50us = 0;
    double p99us = 0;
    bool ok = true;
};

double percentile(std::vector<qint64> v, double q)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : double(v[std::min(v.size() - 1, size_t(q * double(v.size())))]) / 1000.0;
}

// --- floor: raw blocking TCP on loopback ---------------------------------------------------

int listenLoopback(quint16 *port)
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(s, 1);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

int connectLoopback(quint16 port)
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

bool readFully(int s, char *buf, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::read(s, buf, n);
        if (r <= 0)
            return false;
        buf += r;
        n -= size_t(r);
    }
    return true;
}

Stats floorRun()
{
    Stats st;
    quint16 port = 0;
    const int listener = listenLoopback(&port);
    const int writer = connectLoopback(port);
    const int reader = ::accept(listener, nullptr, nullptr);
    int one = 1;
    ::setsockopt(reader, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int frameSize = ipc::HEADER_SIZE + 1 + kPayload;

    // Throughput: one thread streams frames, this one reads and parses them.
    std::thread sender([&] {
        QByteArray chunk;
        for (int i = 0; i < kThroughputMessages; ++i) {
            chunk += ipc::encodeFrame(ipc::MSG_MESSAGE, payload(i, 0));
            if (chunk.size() >= 1000 * frameSize || i == kThroughputMessages - 1) {
                const char *p = chunk.constData();
                qint64 left = chunk.size();
                while (left > 0) {
                    const ssize_t w = ::write(writer, p, size_t(left));
                    p += w;
                    left -= w;
                }
                chunk.clear();
            }
        }
    });
    const qint64 start = nowNs();
    std::vector<char> buf(frameSize);
    for (int i = 0; i < kThroughputMessages; ++i) {
        if (!readFully(reader, buf.data(), size_t(frameSize)) ||
            QByteArray(buf.data() + 5, 12).split(' ').first().toInt() != i) {
            st.ok = false;
            break;
        }
    }
    st.messagesPerSecond = kThroughputMessages / (double(nowNs() - start) / 1e9);
    sender.join();

    // Latency: one frame at a time, the reader answers with one byte before the next.
    std::vector<qint64> lat;
    std::thread echo([&] {
        std::vector<char> b(frameSize);
        for (int i = 0; i < kLatencySamples; ++i) {
            readFully(reader, b.data(), size_t(frameSize));
            const qint64 sent = QByteArray(b.data() + 5, kPayload).split(' ').at(1).toLongLong();
            lat.push_back(nowNs() - sent);
            ::write(reader, "k", 1);
        }
    });
    for (int i = 0; i < kLatencySamples; ++i) {
        const QByteArray f = ipc::encodeFrame(ipc::MSG_MESSAGE, payload(i, nowNs()));
        ::write(writer, f.constData(), size_t(f.size()));
        char k;
        readFully(writer, &k, 1);
    }
    echo.join();
    st.p50us = percentile(lat, 0.50);
    st.p99us = percentile(lat, 0.99);
    ::close(writer);
    ::close(reader);
    ::close(listener);
    return st;
}

// --- the agent's link ----------------------------------------------------------------------

class Receiver : public QObject
{
public:
    qint64 expected = 0;
    qint64 received = 0;
    bool inOrder = true;
    std::vector<qint64> latencies;
    std::function<void()> onMessage;
    void take(const QString &text)
    {
        const QStringList parts = text.split(QLatin1Char(' '));
        if (parts.at(0).toLongLong() != expected)
            inOrder = false;
        ++expected;
        ++received;
        const qint64 sent = parts.at(1).toLongLong();
        if (sent > 0)
            latencies.push_back(nowNs() - sent);
        if (onMessage)
            onMessage();
    }
};

Stats linkRun()
{
    Stats st;
    ServiceThread service;
    service.start();
    service.ready.acquire();
    Config c = Config::defaults();
    c.IPC_PORT = service.server->port();
    c.IPC_SERVICE_UID = getuid();
    setConfig(c);

    MessagesProcessor link;
    Receiver receiver;
    QObject::connect(&link, &MessagesProcessor::displayMessage, &receiver,
                     [&](const QString &m) { receiver.take(m); });
    link.start();
    QThread::msleep(MessagesProcessor::kFirstReadPauseMs + 200);
    ServerIPC *server = service.server;

    // Throughput.
    const qint64 start = nowNs();
    QMetaObject::invokeMethod(server, [server] {
        QByteArray chunk;
        for (int i = 0; i < kThroughputMessages; ++i) {
            chunk += ipc::encodeFrame(ipc::MSG_MESSAGE, payload(i, 0));
            if (chunk.size() >= 100000 || i == kThroughputMessages - 1) {
                server->sendRaw(chunk);
                chunk.clear();
            }
        }
    });
    while (receiver.received < kThroughputMessages && nowNs() - start < qint64(60e9))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    st.messagesPerSecond = receiver.received / (double(nowNs() - start) / 1e9);
    st.ok = receiver.inOrder && receiver.received == kThroughputMessages;

    // Latency: one at a time; each arrival asks the service for the next.
    receiver.latencies.clear();
    receiver.expected = 0;
    receiver.received = 0;
    auto sendNext = [server, &receiver] {
        const qint64 seq = receiver.expected;
        QMetaObject::invokeMethod(server, [server, seq] {
            server->sendMessage(QString::fromLatin1(payload(seq, nowNs())));
        });
    };
    receiver.onMessage = [&] {
        if (receiver.received < kLatencySamples)
            sendNext();
    };
    sendNext();
    const qint64 latStart = nowNs();
    while (receiver.received < kLatencySamples && nowNs() - latStart < qint64(60e9))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    st.ok = st.ok && receiver.inOrder && receiver.received == kLatencySamples;
    st.p50us = percentile(receiver.latencies, 0.50);
    st.p99us = percentile(receiver.latencies, 0.99);

    link.stop();
    link.wait(5000);
    service.quit();
    service.wait();
    return st;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    logger::init({QString(), logger::Level::Warn, 0, 1, true});
    const Stats floor = floorRun();
    const Stats link = linkRun();
    std::printf("%-28s %14s %12s %12s\n", "", "messages/s", "p50 us", "p99 us");
    std::printf("%-28s %14.0f %12.1f %12.1f\n", "floor (raw loopback TCP)", floor.messagesPerSecond,
                floor.p50us, floor.p99us);
    std::printf("%-28s %14.0f %12.1f %12.1f\n", "link (to the GUI thread)", link.messagesPerSecond,
                link.p50us, link.p99us);
    std::printf("%-28s %14.2f %12.2f %12.2f\n", "ratio link/floor",
                link.messagesPerSecond / floor.messagesPerSecond, link.p50us / floor.p50us,
                link.p99us / floor.p99us);
    std::printf("all %d delivered in order: %s\n", kThroughputMessages, link.ok ? "yes" : "NO");
    std::printf("targets: >= 100000 messages/s: %s; p99 <= 3x floor: %s\n",
                link.messagesPerSecond >= 100000 ? "met" : "MISSED",
                link.p99us <= 3 * floor.p99us ? "met" : "MISSED");
    return link.ok ? 0 : 1;
}
