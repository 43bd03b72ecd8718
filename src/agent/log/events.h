#pragma once

// The kinds of record and the journal fields to query them by, as administrators find them in
// the README; every record that carries one names it through these.

#include "log.h"

namespace logger {

namespace fields {
constexpr const char kEvent[] = "BRIMVAULT_EVENT";
constexpr const char kCause[] = "BRIMVAULT_CAUSE";
constexpr const char kSession[] = "BRIMVAULT_SESSION";
constexpr const char kIdleLimit[] = "BRIMVAULT_IDLE_LIMIT";
constexpr const char kSessionLimit[] = "BRIMVAULT_SESSION_LIMIT";
constexpr const char kInhibitor[] = "BRIMVAULT_INHIBITOR";
} // namespace fields

namespace events {
constexpr const char kConfiguration[] = "configuration";
constexpr const char kConnected[] = "connected";
constexpr const char kLinkLost[] = "link-lost";
constexpr const char kLimits[] = "limits";
constexpr const char kEnding[] = "ending";
constexpr const char kLogoff[] = "logoff";
constexpr const char kIdleSource[] = "idle-source";
constexpr const char kIdleInhibited[] = "idle-inhibited";
constexpr const char kClockStep[] = "clock-step";
} // namespace events

// The kind of a record, and its other fields.
inline Fields event(const char *name, Fields more = {})
{
    more.insert(more.begin(), {fields::kEvent, QString::fromLatin1(name)});
    return more;
}

} // namespace logger
