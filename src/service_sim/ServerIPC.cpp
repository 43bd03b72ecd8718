#include "ServerIPC.h"

#include "agent/ipc/FrameDecoder.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

using namespace ipc;

struct ServerIPC::Peer
{
    QTcpSocket *socket = nullptr;
    std::unique_ptr<FrameDecoder> decoder;
};

ServerIPC::ServerIPC(QObject *parent) : QObject(parent), server_(new QTcpServer(this))
{
    connect(server_, &QTcpServer::newConnection, this, &ServerIPC::onNewConnection);
}

ServerIPC::~ServerIPC()
{
    for (auto &peer : peers_)
        peer->socket->disconnect(this);
}

bool ServerIPC::listen(quint16 port)
{
    return server_->listen(QHostAddress(QHostAddress::LocalHost), port);
}

quint16 ServerIPC::port() const
{
    return server_->serverPort();
}

QString ServerIPC::errorString() const
{
    return server_->errorString();
}

int ServerIPC::connectionCount() const
{
    return static_cast<int>(peers_.size());
}

qint64 ServerIPC::bytesPending() const
{
    qint64 total = 0;
    for (const auto &peer : peers_)
        total += peer->socket->bytesToWrite();
    return total;
}

void ServerIPC::sendFrame(MessageId id, const QByteArray &payload)
{
    sendRaw(encodeFrame(id, payload));
}

void ServerIPC::sendRaw(const QByteArray &bytes)
{
    for (auto &peer : peers_)
        peer->socket->write(bytes);
}

void ServerIPC::closeConnections()
{
    // disconnectFromHost() may remove the peer synchronously; iterate over a copy.
    std::vector<QTcpSocket *> sockets;
    for (auto &peer : peers_)
        sockets.push_back(peer->socket);
    for (QTcpSocket *socket : sockets)
        socket->disconnectFromHost();
}

void ServerIPC::onNewConnection()
{
    while (QTcpSocket *socket = server_->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto peer = std::make_unique<Peer>();
        peer->socket = socket;
        peer->decoder = std::make_unique<FrameDecoder>(
            [this](Message &&m) { dispatch(m); }, [this](const QString &e) { emit frameError(e); });
        FrameDecoder *decoder = peer->decoder.get();
        connect(socket, &QTcpSocket::readyRead, this,
                [socket, decoder] { decoder->feed(socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            const auto it = std::find_if(peers_.begin(), peers_.end(),
                                         [socket](const auto &p) { return p->socket == socket; });
            if (it == peers_.end())
                return;
            socket->disconnect(this);
            peers_.erase(it);
            socket->deleteLater();
            emit agentDisconnected();
        });
        peers_.push_back(std::move(peer));
        emit agentConnected();
    }
}

void ServerIPC::dispatch(const Message &message)
{
    switch (message.id) {
    case REQ_INFORMATION:
        emit informationRequested();
        break;
    case REQ_LOGIN:
        emit loginReceived(QString::fromUtf8(message.data));
        break;
    case REQ_LOGOUT:
        emit logoutReceived(QString::fromUtf8(message.data));
        break;
    default:
        emit unexpectedFrame(message.id, message.data);
        break;
    }
}
