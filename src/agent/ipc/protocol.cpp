#include "protocol.h"

#include "IpcError.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <limits>

namespace ipc {

QByteArray encodeFrame(MessageId id, const QByteArray &payload)
{
    const auto length = static_cast<std::uint32_t>(payload.size() + 1);
    QByteArray frame;
    frame.reserve(HEADER_SIZE + static_cast<int>(length));
    frame.append(static_cast<char>((length >> 24) & 0xff));
    frame.append(static_cast<char>((length >> 16) & 0xff));
    frame.append(static_cast<char>((length >> 8) & 0xff));
    frame.append(static_cast<char>(length & 0xff));
    frame.append(static_cast<char>(id));
    frame.append(payload);
    return frame;
}

QVariantMap decodeInformation(const QByteArray &payload)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError)
        throw ProtocolError(QStringLiteral("information payload is not valid JSON: %1 at offset %2")
                                .arg(error.errorString())
                                .arg(error.offset));
    if (!doc.isObject())
        throw ProtocolError(QStringLiteral("information payload is not a JSON object"));
    return doc.object().toVariantMap();
}

qint64 wholeSeconds(const QVariant &value)
{
    switch (static_cast<QMetaType::Type>(value.type())) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toLongLong();
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        // 2^63 is exactly representable; anything at or beyond it does not fit.
        constexpr double limit = 9223372036854775808.0;
        if (!std::isfinite(d) || d >= limit || d < -limit)
            throw ProtocolError(QStringLiteral("limit value %1 is out of range").arg(d));
        return static_cast<qint64>(std::trunc(d));
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint64 v = value.toString().trimmed().toLongLong(&ok, 10);
        if (!ok)
            throw ProtocolError(
                QStringLiteral("limit value '%1' is not a whole number").arg(value.toString()));
        return v;
    }
    default:
        throw ProtocolError(QStringLiteral("limit value of type %1 is not a number")
                                .arg(QString::fromLatin1(value.typeName())));
    }
}

QString messageName(MessageId id)
{
    switch (id) {
    case MSG_DISCONNECT:
        return QStringLiteral("MSG_DISCONNECT");
    case MSG_MESSAGE:
        return QStringLiteral("MSG_MESSAGE");
    case MSG_LOGOFF:
        return QStringLiteral("MSG_LOGOFF");
    case MSG_SCRIPT:
        return QStringLiteral("MSG_SCRIPT");
    case MSG_INFORMATION:
        return QStringLiteral("MSG_INFORMATION");
    case REQ_INFORMATION:
        return QStringLiteral("REQ_INFORMATION");
    case REQ_LOGIN:
        return QStringLiteral("REQ_LOGIN");
    case REQ_LOGOUT:
        return QStringLiteral("REQ_LOGOUT");
    default:
        return QStringLiteral("0x%1").arg(id, 2, 16, QLatin1Char('0'));
    }
}

} // namespace ipc
