#include "globals.h"

namespace app {

BrimvaultSystemTray *trayIcon = nullptr;
bool doLogoff = false;

} // namespace app
