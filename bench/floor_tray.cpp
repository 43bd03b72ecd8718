// The floor for the start-up benchmark: the least a Qt tray program must do for the same job.
// Shows a tray icon, connects to the service and sends one login frame, then idles.

#include "agent/ipc/protocol.h"

#include <QApplication>
#include <QHostAddress>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QTcpSocket>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    QSystemTrayIcon tray(QIcon(QString::fromLocal8Bit(argv[2])));
    tray.show();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost),
                         quint16(QString::fromLocal8Bit(argv[1]).toUInt()));
    if (!socket.waitForConnected(2000))
        return 1;
    socket.write(ipc::encodeFrame(ipc::REQ_LOGIN, qgetenv("USER")));
    socket.flush();
    return app.exec();
}
