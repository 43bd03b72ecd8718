#pragma once

// The clock that session limits are measured on. CLOCK_BOOTTIME counts a suspended machine's
// sleep, as the wall clock does, but is never set: time sync stepping the wall clock after a
// resume, a live migration or a snapshot restore neither ends a session early nor lets it run
// on. The wall clock is for log stamps, and for telling the administrator that it moved. Any
// thread.

#include <QtGlobal>

#include <chrono>

namespace bootclock {

using Milliseconds = std::chrono::milliseconds;

Milliseconds now();
Milliseconds wallNow();

// How far the wall clock moved against the true clock since the previous notice: a step of more
// than a minute in either direction, once; small drift and adjtime slewing stay below it.
class WallClockWatch
{
public:
    static constexpr Milliseconds kStepThreshold{60000};

    // Both clocks as read at the start.
    WallClockWatch(Milliseconds trueNow, Milliseconds wallNow) : offset_(wallNow - trueNow) {}

    // The step in whole seconds (positive: forward) when it exceeds the threshold, then taken
    // as the new reference; else 0.
    qint64 step(Milliseconds trueNow, Milliseconds wallNow);

private:
    Milliseconds offset_;
};

} // namespace bootclock
