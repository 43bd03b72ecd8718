#pragma once

// For the child of a fork, before it execs a program of the session's: default handling for
// every signal and none blocked, whatever the agent set up for itself. Async-signal-safe.
namespace childsetup {

void resetSignals();

} // namespace childsetup
