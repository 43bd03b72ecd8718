#include "protocol.h"

#include "IpcError.h"
#include "agent/base/utils.h"

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
    switch (value.userType()) {
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

Limits decodeLimits(const QVariantMap &info)
{
    const auto read = [&info](const QString &key) {
        Limit limit;
        limit.present = info.contains(key);
        if (!limit.present)
            return limit;
        try {
            limit.seconds = wholeSeconds(info.value(key));
        } catch (const ProtocolError &e) {
            limit.error = utils::exceptionToMessage(e);
        }
        return limit;
    };
    return {read(kIdleKey), read(kMaxSessionKey)};
}

QByteArray encodeLimits(std::optional<qint64> idle, std::optional<qint64> maxSession)
{
    QJsonObject info;
    if (idle)
        info.insert(kIdleKey, double(*idle));
    if (maxSession)
        info.insert(kMaxSessionKey, double(*maxSession));
    return QJsonDocument(info).toJson(QJsonDocument::Compact);
}

QString limitText(std::optional<qint64> seconds, bool zeroIsNone)
{
    return !seconds || (zeroIsNone && *seconds == 0) ? QStringLiteral("none")
                                                     : QStringLiteral("%1 s").arg(*seconds);
}

} // namespace ipc
