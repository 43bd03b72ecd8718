// The user-session agent's process entry.
//
// Threads, and what runs on each:
// - GUI thread ("main"): the event loop, every slot of the tray, its timer and limits, the
//   dialogs, the session operations and the logoff after the loop.
// - Link thread ("link", MessagesProcessor::run): reads the service's messages and emits them as
//   queued signals; touches nothing of the GUI.
// - IPC I/O thread ("ipc-io", inside ClientIPC): owns the socket; reached by queued calls only.
// - Reconnect attempts ("reconnect", Reconnector): one short thread per attempt, handing its
//   client back through a queued call.
// - Script runners ("script", ScriptExecutorThread): a bounded pool, one script each.
// - Qt's Wayland thread and the exit hooks (AbruptEnd): a display or compositor that goes away
//   ends the process from there. They call only BrimvaultSystemTray::endBeforeExit() (and through
//   it ServiceLink's sendLogout(), stop() and waitClosed(), WarningNotices::closeForGood()),
//   SessionEndWatch::sessionEnding(), X11Display::answers(), ScriptExecutorThread::shutdown() and
//   the logger, each guarded for it.
//
// Lock discipline on the exit paths: an exit hook may run on a thread that is inside a locked
// section (Xlib calls exit() from its I/O error handler, under X11Display's lock). Nothing there
// takes a lock its own thread may hold: X11Display keeps a thread-local flag that says this
// thread holds its lock, and answers() then only probes; the other locks of the exit path
// (AbruptEnd's, ServiceLink's, the end watch's record) are never held around a call that can
// end the process. A thread that does not stop when its owner goes (the link's, the IPC
// client's) ends the process with status 1 once the logout has gone out (agent/base/stuckthread).
// Every post from one thread to another goes through agent/base/handoff, which tells
// ThreadSanitizer about it.

#include "brimvault_agent/app/entry.h"

int main(int argc, char *argv[])
{
    return app::processEntry(argc, argv);
}
