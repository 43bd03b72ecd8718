#include "WaylandProtocolIdle.h"

#include "WaylandIdle.h"
#include "agent/config/Config.h"
#include "agent/session/SessionFacts.h"

#include <QCoreApplication>

WaylandIdle *WaylandProtocolIdle::connection()
{
    static WaylandIdle *const source =
        SessionFacts::current().wayland() && QCoreApplication::instance()
            ? new WaylandIdle(QString(),
                              config().IDLE_INHIBITORS == QLatin1String("honour")
                                  ? WaylandIdle::Want::FollowInhibitors
                                  : WaylandIdle::Want::InputOnly,
                              QCoreApplication::instance())
            : nullptr;
    return source;
}

void WaylandProtocolIdle::startTracking()
{
    connection();
}

QString WaylandProtocolIdle::name() const
{
    const WaylandIdle *source = connection();
    if (!source || source->interfaceName().isEmpty())
        return QStringLiteral("the Wayland idle protocol");
    return QStringLiteral("the Wayland %1 protocol (version %2, %3)")
        .arg(source->interfaceName())
        .arg(source->version())
        .arg(source->notification());
}

bool WaylandProtocolIdle::followsInhibitors() const
{
    return !connection() || connection()->followsInhibitors();
}

std::optional<double> WaylandProtocolIdle::idleSeconds(QString *why)
{
    WaylandIdle *source = connection();
    if (!source) {
        *why = QStringLiteral("not a Wayland session");
        return std::nullopt;
    }
    const auto seconds = source->idleSeconds();
    if (!seconds)
        *why = source->failure();
    return seconds;
}
