#include "call.h"

#include "sessionbus.h"

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QXmlStreamReader>

namespace dbus {

namespace {

bool absentError(const QString &name)
{
    static const QStringList names = {
        QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
        QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
        QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
    };
    return names.contains(name);
}

} // namespace

std::optional<QVariant> Answer::value(QString *why) const
{
    if (reply && !reply->arguments().isEmpty())
        return reply->arguments().first();
    if (why)
        *why = reason();
    return std::nullopt;
}

QString Answer::reason() const
{
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
        return bus == Bus::System ? QStringLiteral("no system bus")
                                  : QStringLiteral("no session bus");
    if (absent)
        return QStringLiteral("not on the bus");
    return shortError().isEmpty() ? QStringLiteral("no answer") : shortError();
}

Answer call(Bus bus, const QString &service, const QString &path, const QString &interface,
            const QString &method, const QVariantList &args, const Options &options)
{
    Answer out;
    out.bus = bus;
    const QDBusConnection connection =
        bus == Bus::System ? QDBusConnection::systemBus() : sessionBus();
    if (!connection.isConnected()) {
        out.absent = true;
        out.errorName = QStringLiteral("org.freedesktop.DBus.Error.Disconnected");
        return out;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    message.setAutoStartService(options.startService);
    QDBusMessage reply;
    const int timeoutMs = options.startService ? kStartTimeoutMs : kCallTimeoutMs;
    if (!options.wait) {
        reply = connection.call(message, QDBus::Block, timeoutMs);
    } else {
        QDBusPendingCall pending = connection.asyncCall(message, timeoutMs);
        if (!options.wait([&pending] { return pending.isFinished(); }, timeoutMs + 500)) {
            out.stopped = true;
            out.errorText = QStringLiteral("the session ended meanwhile");
            return out;
        }
        pending.waitForFinished(); // at most the call's own time-out
        reply = pending.reply();
    }
    if (reply.type() == QDBusMessage::ReplyMessage) {
        out.reply = reply;
        return out;
    }
    out.errorName = reply.errorName();
    out.errorText = reply.errorMessage();
    out.absent = absentError(out.errorName);
    return out;
}

bool offersMethod(Bus bus, const QString &service, const QString &path, const QString &interface,
                  const QString &method)
{
    const Answer out =
        call(bus, service, path, QStringLiteral("org.freedesktop.DBus.Introspectable"),
             QStringLiteral("Introspect"));
    const auto xml = out.value();
    if (!xml)
        return false;
    QXmlStreamReader reader(xml->toString());
    bool inInterface = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isEndElement() && reader.name() == QLatin1String("interface"))
            inInterface = false;
        if (!reader.isStartElement())
            continue;
        const auto name = reader.attributes().value(QLatin1String("name"));
        if (reader.name() == QLatin1String("interface"))
            inInterface = name == interface;
        else if (inInterface && reader.name() == QLatin1String("method") && name == method)
            return true;
    }
    return false;
}

} // namespace dbus
