#include "bootclock.h"

#include <ctime>

namespace bootclock {

namespace {

Milliseconds read(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return Milliseconds(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

} // namespace

Milliseconds now()
{
    return read(CLOCK_BOOTTIME);
}

Milliseconds wallNow()
{
    return read(CLOCK_REALTIME);
}

qint64 WallClockWatch::step(Milliseconds trueNow, Milliseconds wallNow)
{
    const Milliseconds offset = wallNow - trueNow;
    const Milliseconds moved = offset - offset_;
    if (moved <= kStepThreshold && moved >= -kStepThreshold)
        return 0;
    offset_ = offset;
    return std::chrono::round<std::chrono::seconds>(moved).count();
}

} // namespace bootclock
