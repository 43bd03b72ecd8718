#include "WaylandProtocolIdle.h"

#include "WaylandIdle.h"
#include "agent/session/SessionFacts.h"

#include <QCoreApplication>

WaylandIdle *WaylandProtocolIdle::connection()
{
    static WaylandIdle *const source =
        SessionFacts::current().wayland() && QCoreApplication::instance()
            ? new WaylandIdle(QString(), QCoreApplication::instance())
            : nullptr;
    return source;
}

void WaylandProtocolIdle::startTracking()
{
    connection();
}

QString WaylandProtocolIdle::name() const
{
    return QStringLiteral("the Wayland %1 protocol")
        .arg(connection() ? connection()->interfaceName() : QString());
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
