#include "SessionEndWatch.h"

#include "agent/log/events.h"
#include "agent/log/log.h"
#include "agent/session/SessionFacts.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <mutex>

namespace {

void logEnd(const QElapsedTimer &clock, const QString &through)
{
    logger::info(QStringLiteral("The session ended %1 s after the logout through %2")
                     .arg(qRound(clock.elapsed() / 1000.0))
                     .arg(through),
                 logger::event(logger::events::kLogoff));
}

// The logoff step or the watch under way, which the session's end is logged against once;
// that end may be reported from another thread (Qt's Wayland thread, the exit hook of a lost
// display). Guarded by `mutex`.
struct Pending
{
    std::mutex mutex;
    bool active = false;
    std::atomic<bool> ended{false};
    QString through;
    QElapsedTimer clock;
    QAbstractEventDispatcher *waiting = nullptr; // the event loop of a watch that waits
};

Pending &pending()
{
    static Pending *p = new Pending; // read by exit hooks: never destroyed
    return *p;
}

void begin(const QString &through, const QElapsedTimer &clock, QAbstractEventDispatcher *waiting)
{
    Pending &p = pending();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.active = true;
    p.ended = false;
    p.through = through;
    p.clock = clock;
    p.waiting = waiting;
}

void finish()
{
    Pending &p = pending();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.active = false;
    p.waiting = nullptr;
}

// Logs the end once against what is under way and wakes a waiting watch; false when nothing is.
bool markEnded()
{
    Pending &p = pending();
    std::lock_guard<std::mutex> lock(p.mutex);
    if (!p.active)
        return false;
    if (!p.ended.exchange(true))
        logEnd(p.clock, p.through);
    if (p.waiting)
        p.waiting->wakeUp();
    return true;
}

} // namespace

SessionEndWatch::SessionEndWatch(const SessionFacts &facts, QString through)
    : session_(facts.logindId(), facts.logindPath()), through_(std::move(through))
{
    clock_.start();
    if (!session_.path().isEmpty())
        session_.subscribe(this, SLOT(propertiesChanged(QString, QVariantMap, QStringList)),
                           SLOT(sessionRemoved(QString, QDBusObjectPath)));
}

bool SessionEndWatch::wait(int seconds)
{
    begin(through_, clock_, QAbstractEventDispatcher::instance());
    struct Finish
    {
        ~Finish() { finish(); }
    } finishing;
    const std::atomic<bool> &hasEnded = pending().ended;
    // Subscribed first, asked then: a change in between is not missed.
    if (!session_.path().isEmpty() && closing()) {
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
    if (!session_.path().isEmpty()) {
        connect(&poll, &QTimer::timeout, this, [this] {
            if (closing())
                ended();
        });
        poll.start(kPollMs);
    }
    while (!hasEnded && !timeUp)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    // Never end a session that is on its way out already.
    if (!hasEnded && !session_.path().isEmpty() && closing())
        ended();
    return hasEnded;
}

bool SessionEndWatch::sessionEnding()
{
    if (!markEnded())
        return false;
    logger::flush();
    return true;
}

void SessionEndWatch::stepStarted(const QString &through)
{
    QElapsedTimer clock;
    clock.start();
    begin(through, clock, nullptr);
}

void SessionEndWatch::stepFinished()
{
    finish();
}

bool SessionEndWatch::endedDuringStep()
{
    return pending().ended;
}

bool SessionEndWatch::closing()
{
    QString why;
    const auto state = session_.state(&why);
    if (state)
        return *state == QLatin1String("closing");
    return why == QLatin1String("gone");
}

void SessionEndWatch::propertiesChanged(const QString &interface, const QVariantMap &changed,
                                        const QStringList &invalidated)
{
    if (interface != login1::kSession)
        return;
    const auto state = changed.constFind(QStringLiteral("State"));
    if (state != changed.constEnd() ? state->toString() == QLatin1String("closing")
                                    : invalidated.contains(QStringLiteral("State")) && closing())
        ended();
}

void SessionEndWatch::sessionRemoved(const QString &, const QDBusObjectPath &path)
{
    if (path.path() == session_.path())
        ended();
}

void SessionEndWatch::ended()
{
    markEnded();
}
