#include "socketowner.h"

#include <QFile>
#include <QList>

#include <arpa/inet.h>

namespace socketowner {

namespace {

// "0100007F:A9C6" as the table prints it: the address in the kernel's byte order, then the port.
QByteArray endpoint(quint32 networkOrderAddress, quint16 port)
{
    return QByteArray::number(networkOrderAddress, 16).toUpper().rightJustified(8, '0') + ':' +
           QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
}

constexpr char kListen[] = "0A";

} // namespace

std::optional<uid_t> serviceOwner(quint16 servicePort, quint16 clientPort, const QByteArray &table)
{
    QByteArray text = table;
    if (text.isEmpty()) {
        QFile file(QStringLiteral("/proc/net/tcp"));
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        text = file.readAll();
    }
    const QByteArray service = endpoint(htonl(INADDR_LOOPBACK), servicePort);
    const QByteArray anyService = endpoint(htonl(INADDR_ANY), servicePort);
    const QByteArray client = endpoint(htonl(INADDR_LOOPBACK), clientPort);
    std::optional<uid_t> listener;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 1; i < lines.size(); ++i) { // the first line names the columns
        const QList<QByteArray> f = lines[i].simplified().split(' ');
        if (f.size() < 8)
            continue;
        // sl local rem st tx:rx tr:when retrnsmt uid ...
        bool ok = false;
        const uid_t uid = f[7].toUInt(&ok);
        if (!ok)
            continue;
        if (f[1] == service && f[2] == client)
            return uid; // the accepted socket: exactly the peer we talk to
        if (f[3] == kListen && (f[1] == service || f[1] == anyService))
            listener = uid;
    }
    return listener;
}

} // namespace socketowner
