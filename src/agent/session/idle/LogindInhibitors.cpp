#include "LogindInhibitors.h"

#include "agent/session/logind/LogindSession.h"

#include <QDBusArgument>

#include <unistd.h>

std::optional<QStringList> LogindInhibitors::active(QString *why)
{
    const auto list = LogindSession::callManager(QStringLiteral("ListInhibitors")).value(why);
    if (!list || !list->canConvert<QDBusArgument>()) {
        if (list)
            *why = QStringLiteral("an answer of another type");
        return std::nullopt;
    }
    // a(ssssuu): what (colon-separated), who, why, mode, uid, pid
    QStringList found;
    const QDBusArgument array = list->value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
        QString what, who, reason, mode;
        uint uid = 0, pid = 0;
        array.beginStructure();
        array >> what >> who >> reason >> mode >> uid >> pid;
        array.endStructure();
        if (what.split(QLatin1Char(':')).contains(QLatin1String("idle")) &&
            mode == QLatin1String("block") && uid == ::getuid())
            found << QStringLiteral("%1: %2").arg(who, reason);
    }
    array.endArray();
    return found;
}
