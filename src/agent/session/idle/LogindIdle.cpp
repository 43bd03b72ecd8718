#include "LogindIdle.h"

#include "agent/session/sessiondbus.h"

#include <ctime>

std::optional<double> LogindIdle::idleSeconds(QString *why)
{
    const auto idle = sessiondbus::ownSessionProperty(QStringLiteral("IdleHint"), why);
    if (!idle)
        return std::nullopt;
    if (!idle->toBool())
        return 0.0;
    // The monotonic hint: the wall-clock one jumps whenever time sync sets the clock.
    const auto since =
        sessiondbus::ownSessionProperty(QStringLiteral("IdleSinceHintMonotonic"), why);
    if (!since)
        return std::nullopt;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double nowUs = double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
    return qMax(0.0, (nowUs - since->toDouble()) / 1e6);
}
