#include "ClientIPC.h"

#include "IpcError.h"
#include "agent/base/handoff.h"
#include "agent/base/stuckthread.h"
#include "agent/log/log.h"
#include "socketowner.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QMetaObject>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <malloc.h>

using namespace ipc;

ClientIPC::ClientIPC(int port, qint64 serviceUid, OwnerLookup ownerLookup)
    : port_(port), serviceUid_(serviceUid),
      ownerLookup_(ownerLookup ? std::move(ownerLookup) : [](quint16 service, quint16 client) {
          return socketowner::serviceOwner(service, client);
      })
{
    if (port < 1 || port > 65535)
        throw IpcError(QStringLiteral("Invalid service port %1").arg(port));
}

ClientIPC::~ClientIPC()
{
    stop();
    if (!ioThread_)
        return;
    if (!ioThread_->wait(kDrainMs + 1000))
        stuckthread::endProcess(ioThread_->objectName(), kDrainMs + 1000);
    // Pairs with closeFromIo()'s last locked step: an edge that race detectors see, as
    // QThread::wait's is not.
    std::lock_guard<std::mutex> lock(mutex_);
    delete ioThread_;
}

void ClientIPC::start()
{
    if (ioThread_)
        throw IpcError(QStringLiteral("IPC client already started"));
    ioThread_ = new QThread;
    ioThread_->setObjectName(QStringLiteral("ipc-io"));
    auto *context = new QObject;
    context->moveToThread(ioThread_);
    QObject::connect(ioThread_, &QThread::finished, context, &QObject::deleteLater);
    ioThread_->start();
    if (!ioThread_->isRunning()) {
        // Out of threads: the blocking call below would wait for a thread that never runs.
        delete context;
        delete ioThread_;
        ioThread_ = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        throw IpcError(QStringLiteral("IPC I/O thread could not be started"),
                       QStringLiteral("no thread for its I/O"));
    }

    QString failure;
    QString untrusted;
    bool made = false; // the I/O thread may close and clear socket_ by the time this reads it
    // The socket is made, connected and later destroyed in the I/O thread, so it never crosses
    // threads.
    handoff::call(context, [&] {
        auto *socket = new QTcpSocket;
        socket->connectToHost(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(port_));
        if (!socket->waitForConnected(kConnectTimeoutMs)) {
            failure = socket->errorString();
            delete socket;
            return;
        }
        const auto owner = ownerLookup_(quint16(port_), socket->localPort());
        owner_ = owner;
        if (serviceUid_ >= 0) {
            if (!owner || qint64(*owner) != serviceUid_) {
                untrusted = owner ? QStringLiteral("uid %1").arg(*owner)
                                  : QStringLiteral("an unknown user");
                socket->abort();
                delete socket;
                return;
            }
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // What the reader has not taken stays in the kernel, so a flood pushes back on the
        // service instead of growing this process.
        socket->setReadBufferSize(kReadBufferBytes);
        socket_ = socket;
        made = true;
        decoder_ = std::make_unique<FrameDecoder>(
            [this](Message &&m) { batch_.emplace_back(std::move(m)); },
            [this](const QString &e) { batch_.emplace_back(e); });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] { onReadyRead(); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this] {
            std::unique_lock<std::mutex> lock(mutex_);
            const bool stopping = stopped_;
            lock.unlock();
            closeFromIo(stopping ? QStringLiteral("stopped")
                                 : QStringLiteral("the service closed the connection"));
        });
        QObject::connect(
            socket, QOverload<QAbstractSocket::SocketError>::of(&QAbstractSocket::errorOccurred),
            socket, [this](QAbstractSocket::SocketError) {
                if (socket_)
                    closeFromIo(socket_->errorString());
            });
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
    });

    if (!made) {
        ioThread_->quit();
        ioThread_->wait();
        delete ioThread_;
        ioThread_ = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        if (!untrusted.isEmpty())
            throw UntrustedPeerError(
                QStringLiteral(
                    "The service port 127.0.0.1:%1 belongs to %2, not uid %3; not trusted")
                    .arg(port_)
                    .arg(untrusted)
                    .arg(serviceUid_),
                QStringLiteral("owned by %1 while uid %2 is trusted")
                    .arg(untrusted)
                    .arg(serviceUid_));
        throw IpcError(QStringLiteral("IPC Server is not reachable on 127.0.0.1:%1: %2")
                           .arg(port_)
                           .arg(failure),
                       failure);
    }
}

bool ClientIPC::running() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !stopped_ && (connected_ || !inbox_.empty());
}

std::optional<Message> ClientIPC::getMessage()
{
    std::unique_lock<std::mutex> lock(mutex_);
    readable_.wait(lock, [this] { return stopped_ || !inbox_.empty() || !connected_; });
    if (stopped_ || inbox_.empty())
        return std::nullopt;
    Entry entry = std::move(inbox_.front());
    inbox_.pop_front();
    if (paused_ && inbox_.size() <= kResumeEntries && socket_) {
        paused_ = false;
        flooded_ = true;
        handoff::post(socket_, [this] { onReadyRead(); });
    }
    const bool floodOver = flooded_ && inbox_.empty() && !paused_;
    if (floodOver)
        flooded_ = false;
    lock.unlock();
    if (floodOver)
        malloc_trim(0); // hand the flood's freed memory back instead of keeping it for good
    if (auto *error = std::get_if<QString>(&entry))
        throw ProtocolError(*error);
    return std::move(std::get<Message>(entry));
}

bool ClientIPC::sendFrame(MessageId id, const QByteArray &payload)
{
    QByteArray frame = encodeFrame(id, payload);
    std::lock_guard<std::mutex> lock(mutex_);
    // Posting under the lock: closeFromIo() marks the socket gone under the same lock before
    // it is deleted, so the socket is alive whenever a call is posted to it.
    if (stopped_ || !connected_ || !socket_)
        return false;
    QTcpSocket *socket = socket_;
    handoff::post(socket, [socket, frame = std::move(frame)] { socket->write(frame); });
    return true;
}

bool ClientIPC::requestInformation()
{
    return sendFrame(REQ_INFORMATION, {});
}
bool ClientIPC::sendLogin(const QString &userName)
{
    return sendFrame(REQ_LOGIN, userName.toUtf8());
}
bool ClientIPC::sendLogout(const QString &userName)
{
    return sendFrame(REQ_LOGOUT, userName.toUtf8());
}

void ClientIPC::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_)
        return;
    stopped_ = true;
    readable_.notify_all();
    if (socket_ && connected_)
        handoff::post(socket_, [this] { drainThenClose(); });
}

bool ClientIPC::waitClosed(int msecs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return closedCv_.wait_for(lock, std::chrono::milliseconds(msecs), [this] { return closed_; });
}

void ClientIPC::drainThenClose()
{
    if (!socket_)
        return;
    if (socket_->bytesToWrite() > 0) {
        QTimer::singleShot(kDrainMs, socket_, [this] {
            if (socket_) {
                logger::warn(
                    QStringLiteral("Service did not take %1 queued bytes within %2 ms; closing")
                        .arg(socket_->bytesToWrite())
                        .arg(kDrainMs));
                socket_->abort();
                closeFromIo(QStringLiteral("stopped"));
            }
        });
    }
    // Graceful close: Qt writes what is pending first, then emits disconnected, which closes
    // our side (at once when nothing is pending).
    socket_->disconnectFromHost();
}

void ClientIPC::onReadyRead()
{
    readAvailable(false);
}

void ClientIPC::readAvailable(bool evenIfFull)
{
    char buffer[kReadChunkBytes];
    while (socket_ && socket_->bytesAvailable() > 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!evenIfFull && inbox_.size() >= kMaxQueuedEntries) {
                paused_ = true; // getMessage() resumes once the reader has caught up
                return;
            }
        }
        const qint64 n = socket_->read(buffer, sizeof buffer);
        if (n <= 0)
            return;
        decoder_->feed(buffer, static_cast<std::size_t>(n));
        if (!batch_.empty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            moveBatchToInbox();
        }
    }
}

size_t ClientIPC::pending() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return inbox_.size();
}

void ClientIPC::moveBatchToInbox()
{
    for (auto &entry : batch_)
        inbox_.push_back(std::move(entry));
    batch_.clear();
    readable_.notify_all();
}

void ClientIPC::closeFromIo(const QString &reason)
{
    if (!socket_)
        return;
    // Whatever is still readable arrived before the close and is delivered, not dropped.
    if (socket_->bytesAvailable() > 0)
        readAvailable(true);
    if (!decoder_->idle())
        batch_.emplace_back(QStringLiteral("connection closed inside a frame (%1 received)")
                                .arg(decoder_->pendingDescription()));
    QTcpSocket *socket = socket_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        moveBatchToInbox();
        socket_ = nullptr;
        connected_ = false;
        closed_ = true;
        closedCv_.notify_all();
    }
    logger::debug(QStringLiteral("IPC connection closed: %1").arg(reason));
    socket->disconnect();
    socket->deleteLater();
    QThread::currentThread()->quit();
}
