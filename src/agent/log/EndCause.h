#pragma once

// Why a run of the agent ended: each cause with the sentence of its "Ending: ..." line and its
// key in the journal's BRIMVAULT_CAUSE, written together in EndCause.cpp.

#include <QString>

enum class EndCause {
    ServiceLogoff,
    IdleLimit,
    SessionLimit,
    SigTerm,
    SigHup,
    LinkLost,
    DisplayLost,
    CompositorLost,
    LibraryExit,
    Quit,
};

namespace logger {

// "idle limit reached", "SIGTERM received", ...
QString sentence(EndCause cause);
// "Ending: <sentence>" at info level, with the cause's key: what the administrator reads to learn
// why the session ended.
void ending(EndCause cause);

} // namespace logger
