#include "AbruptEnd.h"

#include "brimvault_agent/tray/BrimvaultSystemTray.h"

#include "agent/log/log.h"
#include "agent/process/ScriptExecutorThread.h"
#include "agent/session/X11Display.h"
#include "agent/session/logoff/SessionEndWatch.h"

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace AbruptEnd {

namespace {

std::mutex mutex; // held while an end is handled; disarm() takes it before the tray goes
BrimvaultSystemTray *armed = nullptr;
std::atomic<QtMessageHandler> qtHandler{nullptr}; // read on Qt's threads

void endNow(EndCause (*cause)())
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!armed)
        return;
    try {
        // After the logout, the display going away is how the session's end shows.
        if (!SessionEndWatch::sessionEnding())
            armed->endBeforeExit(cause());
        ScriptExecutorThread::shutdown(2000);
    } catch (...) {
        // The process is ending either way.
    }
    logger::flush();
}

void onExit()
{
    endNow([] { return X11Display::answers() ? EndCause::LibraryExit : EndCause::DisplayLost; });
}

// Qt's Wayland platform (5.15 and 6.4 alike) gives no other sign before its _exit(1) than this
// warning.
void onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg &&
        (text.startsWith(QLatin1String("The Wayland connection broke")) ||
         text.startsWith(QLatin1String("The Wayland connection experienced a fatal error"))))
        endNow([] { return EndCause::CompositorLost; });
    if (const QtMessageHandler next = qtHandler)
        next(type, context, text);
}

} // namespace

void arm(BrimvaultSystemTray *tray)
{
    static const bool hooked = std::atexit(onExit) == 0;
    if (!hooked)
        logger::warn(QStringLiteral("No logout can be sent if the display goes away"));
    std::lock_guard<std::mutex> lock(mutex);
    armed = tray;
    qtHandler = qInstallMessageHandler(onQtMessage);
}

void disarm()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!armed)
        return;
    armed = nullptr;
    qInstallMessageHandler(qtHandler);
}

} // namespace AbruptEnd
