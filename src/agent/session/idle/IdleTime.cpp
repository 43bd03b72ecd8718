#include "IdleTime.h"

#include "GnomeInhibitors.h"
#include "LogindIdle.h"
#include "LogindInhibitors.h"
#include "MutterIdle.h"
#include "PowerManagementInhibitors.h"
#include "ScreenSaverIdle.h"
#include "WaylandProtocolIdle.h"
#include "XScreenSaverIdle.h"

#include "agent/base/errors.h"
#include "agent/config/Config.h"
#include "agent/log/events.h"
#include "agent/log/log.h"

#include <QElapsedTimer>
#include <QHash>

#include <array>
#include <optional>

namespace IdleTime {

namespace {

// The chain, in the order tried: the X server (input only), the compositor's protocol, then the
// session over D-Bus. The sources keep no state of their own.
const std::array<IdleSource *, 5> &sources()
{
    static XScreenSaverIdle x11;
    static WaylandProtocolIdle wayland;
    static MutterIdle mutter;
    static ScreenSaverIdle screenSaver;
    static LogindIdle logind;
    static const std::array<IdleSource *, 5> chain{&x11, &wayland, &mutter, &screenSaver, &logind};
    return chain;
}

// Beside the sources: who may hold idle at 0 under "honour".
const std::array<InhibitorReader *, 3> &readers()
{
    static LogindInhibitors logind;
    static GnomeInhibitors gnome;
    static PowerManagementInhibitors powerManagement;
    static const std::array<InhibitorReader *, 3> list{&logind, &gnome, &powerManagement};
    return list;
}

// GUI thread only, like every caller.
struct State
{
    const IdleSource *inUse = nullptr;
    QString inUseName;
    bool toldFollows = false;
    bool held = false;
    std::optional<QElapsedTimer> releasedAt;
    QHash<QString, QString> readerFailure; // the reason last logged, per reader
};
State &state()
{
    static State s;
    return s;
}

// Every active inhibitor; a reader that does not answer counts as none, said once per reason.
QStringList activeInhibitors()
{
    QStringList found;
    for (const auto &reader : readers()) {
        QString why;
        const auto active = reader->active(&why);
        QString &told = state().readerFailure[reader->name()];
        if (!active && told != why)
            logger::info(QStringLiteral("Idle inhibitors of %1 not read: %2; taken as none")
                             .arg(reader->name(), why));
        told = active ? QString() : why;
        if (active)
            found << *active;
    }
    return found;
}

// "honour": 0 while held; after the release, no more than the time since.
double honour(double seconds)
{
    State &st = state();
    const QStringList held = activeInhibitors();
    if (!held.isEmpty()) {
        if (!st.held)
            logger::info(
                QStringLiteral("Idle held at 0 by an idle inhibitor: %1")
                    .arg(held.join(QStringLiteral("; "))),
                logger::event(logger::events::kIdleInhibited,
                              {{logger::fields::kInhibitor, held.join(QStringLiteral("; "))}}));
        st.held = true;
        return 0;
    }
    if (st.held) {
        st.held = false;
        st.releasedAt.emplace();
        st.releasedAt->start();
        logger::info(QStringLiteral("Idle inhibitor released; idle counts from now"),
                     logger::event(logger::events::kIdleInhibited));
    }
    return st.releasedAt ? qMin(seconds, st.releasedAt->elapsed() / 1000.0) : seconds;
}

} // namespace

void startTracking()
{
    WaylandProtocolIdle::startTracking();
}

QString sourceName()
{
    return state().inUseName;
}

bool sourceFollowsInhibitors()
{
    return state().inUse && state().inUse->followsInhibitors();
}

double read()
{
    State &st = state();
    QStringList reasons;
    for (const auto &source : sources()) {
        QString why;
        const auto seconds = source->idleSeconds(&why);
        if (!seconds) {
            reasons << QStringLiteral("%1: %2").arg(source->label(), why);
            continue;
        }
        const QString name = source->name();
        if (st.inUseName != name) {
            st.inUse = source;
            st.inUseName = name;
            logger::info(QStringLiteral("Idle time from %1").arg(name),
                         logger::event(logger::events::kIdleSource));
        }
        const bool honouring = config().IDLE_INHIBITORS == QLatin1String("honour");
        if (!honouring && source->followsInhibitors() && !st.toldFollows) {
            st.toldFollows = true;
            logger::info(QStringLiteral("Idle time from %1 follows idle inhibitors whatever "
                                        "IDLE_INHIBITORS says: a video playing counts as activity")
                             .arg(name),
                         logger::event(logger::events::kIdleSource));
        }
        return honouring ? honour(*seconds) : *seconds;
    }
    st.inUse = nullptr;
    st.inUseName.clear();
    throw OperationError(reasons.join(QStringLiteral("; ")));
}

QStringList inhibitorReport()
{
    QStringList lines;
    for (const auto &reader : readers()) {
        QString why;
        const auto active = reader->active(&why);
        lines << QStringLiteral("%1: %2").arg(
            reader->name(), !active             ? QStringLiteral("does not answer (%1)").arg(why)
                            : active->isEmpty() ? QStringLiteral("none")
                                                : active->join(QStringLiteral(", ")));
    }
    return lines;
}

} // namespace IdleTime
