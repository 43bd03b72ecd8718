#pragma once

// Process-wide state shared by start-up, the tray controller and the SIGTERM handler. Main
// thread only.

class BrimvaultSystemTray;
class QApplication;

namespace app {

// The one tray controller, set right after it is built; read by sigTerm().
extern BrimvaultSystemTray *trayIcon;
// Whether the user is to be logged off after the event loop; written by the first quit().
extern bool doLogoff;

} // namespace app
