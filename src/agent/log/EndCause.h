#pragma once

// Why a run of the agent ended: each cause with the sentence of its "Ending: ..." line and its
// key in the journal's BRIMVAULT_CAUSE, written together in EndCause.cpp.

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

// "Ending: <sentence>" at info level, with the cause's key: what the administrator reads to learn
// why the session ended.
void ending(EndCause cause);

} // namespace logger
