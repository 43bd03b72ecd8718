#pragma once

class BrimvaultSystemTray;

// Sends the logout when a library ends the process under the agent, which is how most sessions
// end: when the X server goes away, Qt's X11 platform and Xlib call exit(); when the Wayland
// compositor goes away, Qt's Wayland platform warns from its event thread and ends the process,
// which the agent then does itself with status 1.
// Between arm() and disarm() the tray is not destroyed while such an end is being handled.
namespace AbruptEnd {

// From the login on. Installs the exit hook (once) and a message handler in front of Qt's.
void arm(BrimvaultSystemTray *tray);
// Before the tray is torn down; waits for an end that is being handled.
void disarm();

} // namespace AbruptEnd
