#include "LogindIdle.h"

#include "agent/session/sessiondbus.h"

#include <QDateTime>

std::optional<double> LogindIdle::idleSeconds(QString *why)
{
    const auto idle = sessiondbus::ownSessionProperty(QStringLiteral("IdleHint"), why);
    if (!idle)
        return std::nullopt;
    if (!idle->toBool())
        return 0.0;
    const auto since = sessiondbus::ownSessionProperty(QStringLiteral("IdleSinceHint"), why);
    if (!since)
        return std::nullopt;
    const double nowUs = double(QDateTime::currentMSecsSinceEpoch()) * 1000.0;
    return qMax(0.0, (nowUs - since->toDouble()) / 1e6);
}
