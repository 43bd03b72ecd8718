#pragma once

#include "agent/ipc/protocol.h"

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;
class FrameDecoder;

// The service's end of the link: listens on 127.0.0.1, decodes what agents send and sends them
// commands. Event-driven in the thread that owns it; used by the service simulator and tests.
// Commands go to every connected agent.
class ServerIPC : public QObject
{
    Q_OBJECT
public:
    explicit ServerIPC(QObject *parent = nullptr);
    ~ServerIPC() override;

    // Port 0 picks a free one; see port().
    bool listen(quint16 port);
    quint16 port() const;
    QString errorString() const;
    int connectionCount() const;
    // Bytes written but not yet taken by the agents' sockets.
    qint64 bytesPending() const;

    void sendMessage(const QString &text) { sendFrame(ipc::MSG_MESSAGE, text.toUtf8()); }
    void sendScript(const QString &text) { sendFrame(ipc::MSG_SCRIPT, text.toUtf8()); }
    void sendLogoff() { sendFrame(ipc::MSG_LOGOFF, {}); }
    void sendDisconnect() { sendFrame(ipc::MSG_DISCONNECT, {}); }
    void sendInformation(const QByteArray &json) { sendFrame(ipc::MSG_INFORMATION, json); }
    void sendFrame(ipc::MessageId id, const QByteArray &payload);
    // Bytes exactly as given, for tests of malformed input.
    void sendRaw(const QByteArray &bytes);
    // Closes every agent connection; the server keeps listening.
    void closeConnections();

signals:
    void agentConnected();
    void agentDisconnected();
    void loginReceived(const QString &userName);
    void logoutReceived(const QString &userName);
    void informationRequested();
    // A frame of another type, or one the decoder rejected.
    void unexpectedFrame(quint8 id, const QByteArray &payload);
    void frameError(const QString &error);

private:
    struct Peer;
    void onNewConnection();
    void dispatch(const ipc::Message &message);

    QTcpServer *server_;
    std::vector<std::unique_ptr<Peer>> peers_;
};
