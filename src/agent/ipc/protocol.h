#pragma once

// Wire constants of the agent <-> service link, version 1.
// Frame: 4-byte big-endian length (type + payload), 1-byte type, payload.

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <cstdint>
#include <optional>

namespace ipc {

using MessageId = std::uint8_t;

// Service -> agent
constexpr MessageId MSG_DISCONNECT = 0x01;  // payload ignored; the agent accepts and ignores it
constexpr MessageId MSG_MESSAGE = 0x02;     // UTF-8 text to show to the user
constexpr MessageId MSG_LOGOFF = 0x03;      // payload ignored; forces a logoff of the user
constexpr MessageId MSG_SCRIPT = 0x04;      // UTF-8 text of a script to run
constexpr MessageId MSG_INFORMATION = 0x05; // UTF-8 JSON object {"idle": s, "maxSession": s}

// Agent -> service
constexpr MessageId REQ_INFORMATION = 0x81; // empty; answered later by MSG_INFORMATION
constexpr MessageId REQ_LOGIN = 0x82;       // UTF-8 user name; the session starts
constexpr MessageId REQ_LOGOUT = 0x83;      // UTF-8 user name; the session ends

constexpr std::uint32_t MAX_FRAME_LENGTH = 1024 * 1024; // type + payload
constexpr int HEADER_SIZE = 4;

struct Message
{
    MessageId id = 0;
    QByteArray data;
};

// One whole frame, header included.
QByteArray encodeFrame(MessageId id, const QByteArray &payload = {});

// Decodes an MSG_INFORMATION payload; throws ProtocolError unless it is a JSON object.
QVariantMap decodeInformation(const QByteArray &payload);

// A limit value as the service may send it: an integer, a fractional number (truncated toward
// zero) or text holding a decimal integer. Throws ProtocolError for anything else.
qint64 wholeSeconds(const QVariant &value);

// A limit as log lines write it: "none" when unset (or 0, where `zeroIsNone`), else "N s".
QString limitText(std::optional<qint64> seconds, bool zeroIsNone);

// The session limits of an MSG_INFORMATION payload: "idle" (maximum idle time; 0 is a limit)
// and "maxSession" (maximum session length; 0 means none), each in whole seconds.
inline const QString kIdleKey = QStringLiteral("idle");
inline const QString kMaxSessionKey = QStringLiteral("maxSession");
struct Limit
{
    bool present = false;          // the key is there
    std::optional<qint64> seconds; // its value, when it is a whole number (wholeSeconds())
    QString error;                 // why it is not, for the log; empty otherwise
};
struct Limits
{
    Limit idle, maxSession;
};
Limits decodeLimits(const QVariantMap &info);
// The payload that carries them; an unset one is left out.
QByteArray encodeLimits(std::optional<qint64> idle, std::optional<qint64> maxSession);

} // namespace ipc
