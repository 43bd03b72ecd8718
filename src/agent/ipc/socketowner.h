#pragma once

// Who owns the service end of a loopback TCP connection, from the kernel's socket tables
// (/proc/net/tcp, and /proc/net/tcp6 for a dual-stack service listening on [::]). Loopback TCP
// carries no peer credentials, so this is how the agent tells the real service from any local user
// who bound the port while the service was down.

#include <QString>

#include <optional>
#include <sys/types.h>

namespace socketowner {

// The user id owning the socket at 127.0.0.1:servicePort that a client connected from
// 127.0.0.1:clientPort reaches (the accepted socket, else the listening one), in either table.
// Nothing when the tables have neither. `table` and `table6` are the texts of /proc/net/tcp and
// /proc/net/tcp6; both empty reads the real ones.
std::optional<uid_t> serviceOwner(quint16 servicePort, quint16 clientPort,
                                  const QByteArray &table = {}, const QByteArray &table6 = {});

} // namespace socketowner
