#include "LogindIdle.h"

#include "agent/session/SessionFacts.h"
#include "agent/session/logind/LogindSession.h"

#include <ctime>

std::optional<double> LogindIdle::idleSeconds(QString *why)
{
    // Asked anew each time: logind may come and go under a running agent.
    const auto session = LogindSession::find(SessionFacts::current().logindId(), why);
    if (!session)
        return std::nullopt;
    const auto idle = session->property(QStringLiteral("IdleHint"), why);
    if (!idle)
        return std::nullopt;
    if (!idle->toBool())
        return 0.0;
    // The monotonic hint: the wall-clock one jumps whenever time sync sets the clock.
    const auto since = session->property(QStringLiteral("IdleSinceHintMonotonic"), why);
    if (!since)
        return std::nullopt;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double nowUs = double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
    return qMax(0.0, (nowUs - since->toDouble()) / 1e6);
}
