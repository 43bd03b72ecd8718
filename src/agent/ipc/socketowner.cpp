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

// The same in /proc/net/tcp6: four 32-bit words, each in the kernel's byte order. `v4`: an
// IPv4 address mapped into IPv6 (::ffff:a.b.c.d), or 0 for "::".
QByteArray endpoint6(quint32 networkOrderV4, bool mapped, quint16 port)
{
    // ::ffff:a.b.c.d: words 0-1 zero, word 2 is 0000FFFF in network order (FFFF0000 printed on a
    // little-endian kernel), word 3 the IPv4 address as /proc/net/tcp prints it.
    const QByteArray word2 =
        mapped ? QByteArray::number(htonl(0x0000FFFF), 16).toUpper().rightJustified(8, '0')
               : QByteArray("00000000");
    return QByteArray("0000000000000000") + word2 +
           QByteArray::number(networkOrderV4, 16).toUpper().rightJustified(8, '0') + ':' +
           QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
}

QByteArray readTable(const char *path)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

constexpr char kListen[] = "0A";

struct Match
{
    std::optional<uid_t> accepted; // the socket that talks to our client port
    std::optional<uid_t> listener;
};

// sl local rem st tx:rx tr:when retrnsmt uid ...
void scan(const QByteArray &text, const QByteArray &service, const QByteArray &anyService,
          const QByteArray &client, Match *match)
{
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 1; i < lines.size(); ++i) { // the first line names the columns
        const QList<QByteArray> f = lines[i].simplified().split(' ');
        if (f.size() < 8)
            continue;
        bool ok = false;
        const uid_t uid = f[7].toUInt(&ok);
        if (!ok)
            continue;
        if (f[1] == service && f[2] == client)
            match->accepted = uid;
        else if (f[3] == kListen && (f[1] == service || f[1] == anyService))
            match->listener = uid;
    }
}

} // namespace

std::optional<uid_t> serviceOwner(quint16 servicePort, quint16 clientPort, const QByteArray &table,
                                  const QByteArray &table6)
{
    const bool real = table.isEmpty() && table6.isEmpty();
    const quint32 loopback = htonl(INADDR_LOOPBACK);
    Match match;
    scan(real ? readTable("/proc/net/tcp") : table, endpoint(loopback, servicePort),
         endpoint(htonl(INADDR_ANY), servicePort), endpoint(loopback, clientPort), &match);
    // A dual-stack service ([::]) holds IPv4 peers as ::ffff:127.0.0.1, and only tcp6 shows it.
    if (!match.accepted)
        scan(real ? readTable("/proc/net/tcp6") : table6, endpoint6(loopback, true, servicePort),
             endpoint6(0, false, servicePort), endpoint6(loopback, true, clientPort), &match);
    return match.accepted ? match.accepted : match.listener;
}

} // namespace socketowner
