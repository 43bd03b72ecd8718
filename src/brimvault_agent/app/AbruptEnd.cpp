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
#include <functional>
#include <mutex>
#include <optional>

namespace AbruptEnd {

namespace {

std::mutex mutex; // held while an end is handled; disarm() takes it before the tray goes
BrimvaultSystemTray *armed = nullptr;
std::atomic<QtMessageHandler> qtHandler{nullptr}; // read on Qt's threads

void endNow(const std::function<EndCause()> &cause)
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

// Qt's platforms give no other sign than these warnings that the display or the compositor went
// away, and then end the process each in its own way: exit(1) (X11, up to Qt 6.8), _exit(1)
// (Wayland, Qt 5.15 and 6.4), _exit(-1) (Wayland from Qt 6.8, status 255), or by leaving the
// event loop as if asked to quit (X11, Qt 6.11). Once the logout is out the agent ends the process
// itself, with the status of a lost display on every Qt.
std::optional<EndCause> lostBy(QtMsgType type, const QString &text)
{
    if (type != QtWarningMsg)
        return std::nullopt;
    if (text.startsWith(QLatin1String("The X11 connection broke")))
        return EndCause::DisplayLost;
    if (text.startsWith(QLatin1String("The Wayland connection broke")) ||
        text.startsWith(QLatin1String("The Wayland connection experienced a fatal error")))
        return EndCause::CompositorLost;
    return std::nullopt;
}

void onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const std::optional<EndCause> cause = lostBy(type, text);
    if (cause)
        endNow([&cause] { return *cause; });
    if (const QtMessageHandler next = qtHandler)
        next(type, context, text);
    if (cause) {
        logger::flush();
        std::_Exit(1);
    }
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
