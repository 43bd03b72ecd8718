#pragma once

// Who owns the service end of a loopback TCP connection, from the kernel's socket table
// (/proc/net/tcp). Loopback TCP carries no peer credentials, so this is how the agent tells the
// real service from any local user who bound the port while the service was down.

#include <QString>

#include <optional>
#include <sys/types.h>

namespace socketowner {

// The user id owning the socket at 127.0.0.1:servicePort that a client connected from
// 127.0.0.1:clientPort reaches (the accepted socket, else the listening one). Nothing when the
// table has neither. `table` is the text of /proc/net/tcp; empty reads the real one.
std::optional<uid_t> serviceOwner(quint16 servicePort, quint16 clientPort,
                                  const QByteArray &table = {});

} // namespace socketowner
