#pragma once

#include "agent/session/logind/LogindSession.h"

#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QObject>
#include <QVariantMap>

class SessionFacts;

// After a logout that applications may cancel: waits, with the event loop running, for the
// session to end. logind's session State says so ("closing", or the session object gone), asked
// about once a second besides its signals: logind sends no PropertiesChanged when a session goes
// closing, and SessionRemoved only once every process of it, this one included, is gone. Without
// logind, the display connection going away does (Qt then ends the process, and the end is logged
// from there through sessionEnding()).
//
// A logoff step itself may end the session before it returns (logind stops the session's
// processes as soon as TerminateSession is called): between stepStarted() and stepFinished(),
// sessionEnding() logs the end through that step.
//
// A watch lives on the GUI thread. sessionEnding() is called from other threads too (Qt's Wayland
// thread, the exit hooks): it touches no watch, only the process-wide record of the step or watch
// under way, which a mutex guards and which is never destroyed.
class SessionEndWatch : public QObject
{
    Q_OBJECT
public:
    SessionEndWatch(const SessionFacts &facts, QString through);

    // True when the session ended within `seconds`; logs "The session ended N s after the
    // logout through M" then. A session that is closing when time is up has ended too.
    bool wait(int seconds);

    // The session is ending under a running watch or logoff step (the display went away, SIGTERM
    // came): logs the end and stops the watch. False when neither runs. Any thread.
    static bool sessionEnding();

    static void stepStarted(const QString &through);
    static void stepFinished();
    // The session ended while the current step ran; its waits stop then.
    static bool endedDuringStep();

    static constexpr int kPollMs = 1000;

private slots:
    void propertiesChanged(const QString &interface, const QVariantMap &changed,
                           const QStringList &invalidated);
    void sessionRemoved(const QString &id, const QDBusObjectPath &path);

private:
    // Asks logind; true when the session is closing or gone.
    bool closing();
    void ended();

    LogindSession session_;
    QString through_;
    QElapsedTimer clock_;
};
