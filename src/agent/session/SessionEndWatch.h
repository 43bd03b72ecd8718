#pragma once

#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QObject>
#include <QVariantMap>

class SessionFacts;

// After a logout that applications may cancel: waits, with the event loop running, for the
// session to end. logind's session State says so ("closing", or the session object gone); without
// logind, the display connection going away does (Qt then ends the process, and the end is
// logged from there through displayGone()).
class SessionEndWatch : public QObject
{
    Q_OBJECT
public:
    SessionEndWatch(const SessionFacts &facts, QString through);
    ~SessionEndWatch() override;

    // True when the session ended within `seconds`; logs "The session ended N s after the
    // logout through M" then. A session that is closing when time is up has ended too.
    bool wait(int seconds);

    // The session is ending under a running watch (the display went away, SIGTERM came): logs the
    // end and stops the watch. False when no watch runs. Main thread.
    static bool sessionEnding();

private slots:
    void propertiesChanged(const QString &interface, const QVariantMap &changed,
                           const QStringList &invalidated);
    void sessionRemoved(const QString &id, const QDBusObjectPath &path);

private:
    // Asks logind; true when the session is closing or gone.
    bool closing();
    void ended();

    QString path_, through_;
    QElapsedTimer clock_;
    bool ended_ = false;
};
