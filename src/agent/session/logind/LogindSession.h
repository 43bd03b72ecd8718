#pragma once

// logind, as the agent asks it about its own session: finding the session, its properties and
// State, the processes left in it, ending it, and its signals. The login1 names are written here
// and nowhere else.

#include "agent/session/dbus/call.h"

#include <QString>
#include <QVariant>

#include <optional>

class QObject;

namespace login1 {
inline const QString kService = QStringLiteral("org.freedesktop.login1");
inline const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
inline const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
inline const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
} // namespace login1

class LogindSession
{
public:
    // The session named `id` (XDG_SESSION_ID), else the one of this process; nothing, with `why`
    // the reason, where logind does not know one.
    static std::optional<LogindSession> find(const QString &id, QString *why = nullptr);
    // logind's Manager method `method`, on the system bus; starts nothing.
    static dbus::Answer callManager(const QString &method, const QVariantList &args = {},
                                    const dbus::Waiter &wait = {});

    // As the session facts name it.
    LogindSession(QString id, QString path) : id_(std::move(id)), path_(std::move(path)) {}

    QString id() const { return id_; }
    QString path() const { return path_; }

    // A property of the session; nothing, with `why` the reason, when logind does not say.
    std::optional<QVariant> property(const QString &name, QString *why = nullptr) const;
    // Its State ("online", "active", "closing"); nothing with `why` "gone" when the session object
    // no longer exists, or the reason logind could not be asked.
    std::optional<QString> state(QString *why) const;
    // The processes left in the session's scope, where this process can see its cgroup.
    std::optional<int> processes() const;
    // TerminateSession; false with the reason when it failed ("stopped" when `wait` stopped).
    bool terminate(QString *why, const dbus::Waiter &wait = {}) const;
    // Connects `receiver`'s slots to the session's PropertiesChanged(QString, QVariantMap,
    // QStringList) and to logind's SessionRemoved(QString, QDBusObjectPath).
    void subscribe(QObject *receiver, const char *propertiesChanged,
                   const char *sessionRemoved) const;

private:
    QString id_, path_;
};
