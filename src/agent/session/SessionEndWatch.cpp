#include "SessionEndWatch.h"

#include "SessionFacts.h"
#include "sessiondbus.h"

#include "agent/log.h"

#include <QDBusConnection>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <mutex>

namespace {

std::atomic<SessionEndWatch *> running{nullptr};

const QString kLogin1 = QStringLiteral("org.freedesktop.login1");

void logEnd(const QElapsedTimer &clock, const QString &through)
{
    logger::info(QStringLiteral("The session ended %1 s after the logout through %2")
                     .arg(qRound(clock.elapsed() / 1000.0))
                     .arg(through),
                 logger::event("logoff"));
}

// The logoff step under way; the session's end may be reported from another thread (the exit
// hook of a lost display).
struct Step
{
    std::mutex mutex;
    bool active = false;
    std::atomic<bool> ended{false};
    QString through;
    QElapsedTimer clock;
};

Step &step()
{
    static Step *s = new Step; // read by exit hooks: never destroyed
    return *s;
}

} // namespace

SessionEndWatch::SessionEndWatch(const SessionFacts &facts, QString through)
    : path_(facts.logindPath()), through_(std::move(through))
{
    clock_.start();
    if (path_.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    bus.connect(kLogin1, path_, QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("PropertiesChanged"), this,
                SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    bus.connect(kLogin1, QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("SessionRemoved"),
                this, SLOT(sessionRemoved(QString, QDBusObjectPath)));
}

SessionEndWatch::~SessionEndWatch()
{
    SessionEndWatch *self = this;
    running.compare_exchange_strong(self, nullptr);
}

bool SessionEndWatch::wait(int seconds)
{
    // Subscribed first, asked then: a change in between is not missed.
    if (!path_.isEmpty() && closing()) {
        ended();
        return true;
    }
    // Events handled one batch at a time rather than by exec(): the application has been asked
    // to quit already, and a nested exec() would return at once.
    QEventLoop loop;
    bool timeUp = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, [&timeUp] { timeUp = true; });
    deadline.start(seconds * 1000);
    QTimer poll;
    if (!path_.isEmpty()) {
        connect(&poll, &QTimer::timeout, this, [this] {
            if (closing())
                ended();
        });
        poll.start(kPollMs);
    }
    running = this;
    while (!ended_ && !timeUp)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    running = nullptr;
    // Never end a session that is on its way out already.
    if (!ended_ && !path_.isEmpty() && closing())
        ended();
    return ended_;
}

bool SessionEndWatch::sessionEnding()
{
    if (SessionEndWatch *watch = running.load()) {
        watch->ended();
        logger::flush();
        return true;
    }
    Step &s = step();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.active)
        return false;
    if (!s.ended.exchange(true))
        logEnd(s.clock, s.through);
    logger::flush();
    return true;
}

void SessionEndWatch::stepStarted(const QString &through)
{
    Step &s = step();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.active = true;
    s.ended = false;
    s.through = through;
    s.clock.start();
}

void SessionEndWatch::stepFinished()
{
    Step &s = step();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.active = false;
}

bool SessionEndWatch::endedDuringStep()
{
    return step().ended;
}

bool SessionEndWatch::closing()
{
    QString why;
    const auto state = sessiondbus::logindSessionState(path_, &why);
    if (state)
        return *state == QLatin1String("closing");
    return why == QLatin1String("gone");
}

void SessionEndWatch::propertiesChanged(const QString &interface, const QVariantMap &changed,
                                        const QStringList &invalidated)
{
    if (interface != QLatin1String("org.freedesktop.login1.Session"))
        return;
    const auto state = changed.constFind(QStringLiteral("State"));
    if (state != changed.constEnd() ? state->toString() == QLatin1String("closing")
                                    : invalidated.contains(QStringLiteral("State")) && closing())
        ended();
}

void SessionEndWatch::sessionRemoved(const QString &, const QDBusObjectPath &path)
{
    if (path.path() == path_)
        ended();
}

void SessionEndWatch::ended()
{
    if (ended_)
        return;
    ended_ = true;
    logEnd(clock_, through_);
}
