#pragma once

// logoff/ ends the session: the route of ways to log off, the session managers' calls and the
// watch for the session's end.

#include "SessionManagers.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class SessionFacts;

// The ways to end this session, in the order they are tried: LOGOFF_COMMAND, the running
// session's own manager over D-Bus, logind TerminateSession, loginctl. The agent's logoff and the
// check program both take their route from plan(), so the check tells what the agent would do.
class LogoffRoute
{
public:
    struct Step
    {
        enum class Kind { Command, SessionManager, Logind, Loginctl };
        Kind kind;
        QString name;        // in the log: "LOGOFF_COMMAND", "org.xfce.Session.Manager.Logout", ...
        QString description; // as the check program reports it
        QString program;     // Command and Loginctl
        QStringList arguments;
        LogoutMethod method; // SessionManager
        // In the log's "Logging off: ..." line.
        QString record() const;
    };

    struct Outcome
    {
        bool accepted = false;
        QString through;          // the step's name
        bool cancellable = false; // applications may still cancel the logout
    };

    // The steps that apply in this session now. Asks the bus who is there; starts nothing.
    //   - a session manager counts when its name has an owner, and when more than one has, only
    //     those of the current desktop do; one that the bus would only start on demand counts
    //     only when it belongs to the current desktop;
    //   - logind and loginctl count when logind knows the session.
    static QVector<Step> plan(const SessionFacts &facts);
    // The last resorts only: logind, then loginctl.
    static QVector<Step> logindSteps(const SessionFacts &facts);

    // Tries each step until one is accepted; every failure is logged at warn with its reason.
    // Each is logged, and flushed, before it is carried out. A session that ends while a step runs
    // has been ended through it. logind's steps are skipped for a session that is closing: it is
    // ending already.
    static Outcome run(const QVector<Step> &steps);

    // "The session is already closing, N processes left" when logind's session is closing (or
    // gone); nothing otherwise.
    static std::optional<QString> alreadyClosing(const SessionFacts &facts);

    // "a, then b, then c", for the check program.
    static QString describe(const QVector<Step> &steps);
};
