#include "operations.h"

#include "agent/config/Config.h"
#include "agent/log/events.h"
#include "agent/log/log.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/X11Display.h"
#include "agent/session/idle/IdleTime.h"
#include "agent/session/logoff/LogoffRoute.h"
#include "agent/session/logoff/SessionEndWatch.h"

#include <X11/Xlib.h>

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace operations {

namespace {

constexpr qint64 kMaxScreenSaverTimeout = 32767; // INT16 in the X protocol

} // namespace

QString getCurrentUser()
{
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd *result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_name && *result->pw_name)
        return QString::fromLocal8Bit(result->pw_name);
    return qEnvironmentVariable("USER");
}

void initIdleDuration(qint64 seconds)
{
    X11Display x;
    Display *dpy = x.display();
    if (!dpy) {
        logger::debug(QStringLiteral("No X display; screensaver timeout not set"));
        return;
    }
    const qint64 clamped = qBound<qint64>(0, seconds, kMaxScreenSaverTimeout);
    if (clamped != seconds)
        logger::debug(
            QStringLiteral("Screensaver timeout %1 s clamped to %2 s").arg(seconds).arg(clamped));
    int timeout = 0, interval = 0, preferBlanking = 0, allowExposures = 0;
    XGetScreenSaver(dpy, &timeout, &interval, &preferBlanking, &allowExposures);
    XSetScreenSaver(dpy, static_cast<int>(clamped), interval, preferBlanking, allowExposures);
    XSync(dpy, False);
    logger::debug(QStringLiteral("Set screensaver launching to %1").arg(clamped));
}

double getIdleDuration()
{
    return IdleTime::read();
}

QString idleSourceName()
{
    return IdleTime::sourceName();
}

void startIdleTracking()
{
    IdleTime::startTracking();
}

void loggoff()
{
    const SessionFacts &facts = SessionFacts::current();
    const LogoffRoute::Outcome outcome = LogoffRoute::run(LogoffRoute::plan(facts));
    const int seconds = config().LOGOFF_VERIFY_SECONDS;
    if (!outcome.accepted || !outcome.cancellable || seconds <= 0)
        return;
    logger::info(QStringLiteral("Waiting up to %1 s for the session to end").arg(seconds));
    SessionEndWatch watch(facts, outcome.through);
    if (watch.wait(seconds))
        return;
    logger::warn(
        QStringLiteral(
            "The session is still there %1 s after the logout through %2; ending it through logind")
            .arg(seconds)
            .arg(outcome.through),
        logger::event(logger::events::kLogoff));
    const QVector<LogoffRoute::Step> lastResorts = LogoffRoute::logindSteps(facts);
    if (lastResorts.isEmpty())
        logger::error(
            QStringLiteral(
                "The session could not be ended: logind TerminateSession is not available"),
            logger::event(logger::events::kLogoff));
    else
        LogoffRoute::run(lastResorts);
}

} // namespace operations
