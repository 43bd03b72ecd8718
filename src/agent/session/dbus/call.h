#pragma once

// D-Bus plumbing shared by the session's D-Bus users (idle sources, inhibitor readers, logind,
// the session managers, notifications, the tray probe): call() is the one way they make a method
// call. It waits a short time only, starts no service unless asked to (only a logout may), and
// tells a service that is not there apart from one that answers with an error.

#include <QDBusMessage>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>
#include <optional>

namespace dbus {

enum class Bus { Session, System };

constexpr int kCallTimeoutMs = 1000;
// A call that may start its service (a logout only) waits for that start too: a session manager
// activated on demand takes seconds to come up on a loaded machine.
constexpr int kStartTimeoutMs = 5000;

// How a call waits for its reply: wait(done, ms) returns when done() holds or ms have passed;
// false when waiting is to stop at once (the session ended meanwhile). Without one, the call
// blocks.
using Waiter = std::function<bool(const std::function<bool()> &done, int ms)>;

struct Options
{
    bool startService = false;
    Waiter wait;
};

// The reply, or what went wrong.
struct Answer
{
    Bus bus = Bus::Session;
    std::optional<QDBusMessage> reply;
    bool absent = false;  // nothing there could take the call (not running, no such object)
    bool stopped = false; // the waiter stopped waiting
    QString errorName, errorText;

    // The reply's first argument; nothing with `why` set to reason() when there is none.
    std::optional<QVariant> value(QString *why = nullptr) const;
    // For a summary line: "no session bus", "not on the bus", "NotSupported", "no answer".
    QString reason() const;
    // "NotSupported" for org.freedesktop.DBus.Error.NotSupported.
    QString shortError() const { return errorName.section(QLatin1Char('.'), -1); }
};

Answer call(Bus bus, const QString &service, const QString &path, const QString &interface,
            const QString &method, const QVariantList &args = {}, const Options &options = {});

// Whether the object lists `method` of `interface` in its introspection data: one call, which
// starts nothing. False when it does not answer.
bool offersMethod(Bus bus, const QString &service, const QString &path, const QString &interface,
                  const QString &method);

} // namespace dbus
