#include "LogoffRoute.h"

#include "SessionEndWatch.h"

#include "agent/config/Config.h"
#include "agent/log/events.h"
#include "agent/log/log.h"
#include "agent/process/spawn.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/dbus/sessionbus.h"
#include "agent/session/logind/LogindSession.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>

#include <cstring>
#include <sys/wait.h>
#include <vector>

namespace {

constexpr int kCommandWaitMs = 30000;

// Waits with the event loop running, so that the session's end (SIGTERM, the display going away)
// is seen while a step runs; false once it has been.
bool waitWithEvents(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick; // wakes the loop to look again
    tick.start(20);
    while (!done() && clock.elapsed() < ms) {
        if (SessionEndWatch::endedDuringStep())
            return false;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return !SessionEndWatch::endedDuringStep();
}

// Runs the command and says why it failed, if it did. Not a QProcess: ending the session may end
// this process first, and the command must then go on rather than be killed with it. False with
// `why` empty when the session ended while it ran.
bool runCommand(const QString &program, const QStringList &arguments, QString *why)
{
    std::vector<QByteArray> args{QFile::encodeName(program)};
    for (const QString &a : arguments)
        args.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int failed = process::spawn(argv.data(), &pid);
    if (failed != 0) {
        logger::error(QStringLiteral("Logoff command could not be started: %1").arg(program),
                      logger::event(logger::events::kLogoff));
        *why = QStringLiteral("%1 could not be started: %2")
                   .arg(program, QString::fromLocal8Bit(std::strerror(failed)));
        return false;
    }
    int status = 0;
    pid_t done = 0;
    if (!waitWithEvents([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; },
                        kCommandWaitMs))
        return false;
    if (done != pid) {
        logger::warn(QStringLiteral("Logoff command still running after %1 s; not waiting for it")
                         .arg(kCommandWaitMs / 1000),
                     logger::event(logger::events::kLogoff));
        return true;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const QString line = QStringLiteral("Logoff command ended with status %1").arg(code);
    if (code == 0) {
        logger::info(line, logger::event(logger::events::kLogoff));
        return true;
    }
    logger::error(line, logger::event(logger::events::kLogoff));
    *why = QStringLiteral("status %1").arg(code);
    return false;
}

LogoffRoute::Step managerStep(const LogoutMethod &m)
{
    return {LogoffRoute::Step::Kind::SessionManager,
            m.name(),
            QStringLiteral("%1 over D-Bus").arg(m.name()),
            {},
            {},
            m};
}

} // namespace

QVector<LogoffRoute::Step> LogoffRoute::plan(const SessionFacts &facts)
{
    QVector<Step> steps;
    const QString command = config().LOGOFF_COMMAND;
    if (!command.trimmed().isEmpty())
        steps.push_back({Step::Kind::Command,
                         QStringLiteral("LOGOFF_COMMAND"),
                         QStringLiteral("LOGOFF_COMMAND: %1").arg(command),
                         QStringLiteral("/bin/sh"),
                         {QStringLiteral("-c"), command},
                         {}});

    // Another desktop's manager may be installed, and startable, beside this one: it would accept
    // and do nothing. The one running now is this session's.
    // A manager that runs but no longer has the call (Plasma 6's ksmserver) is asked once what
    // it offers, and left out: no call that is bound to fail.
    // Which Plasma runs shows the same way, for the check program.
    QList<LogoutMethod> owned, ours;
    QString plasma;
    for (const LogoutMethod &m : SessionManagers::logoutMethods()) {
        const bool running = dbus::hasOwner(m.service);
        const bool offered = !running || SessionManagers::offers(m);
        if (running && m.listed && m.desktop == QLatin1String("kde"))
            plasma = offered ? QStringLiteral(" (Plasma 5)")
                             : QStringLiteral(" (Plasma 6: ksmserver has no logout)");
        if (!offered)
            continue;
        if (running)
            owned << m;
        if (m.desktop == facts.desktop())
            ours << m;
    }
    QList<LogoutMethod> managers;
    if (owned.size() > 1) {
        for (const auto &m : owned)
            if (m.desktop == facts.desktop())
                managers << m;
        if (managers.isEmpty())
            managers = owned;
    } else if (owned.size() == 1) {
        managers = owned;
    }
    for (const auto &m : ours)
        if (!owned.contains(m) && dbus::activatable(m.service) &&
            (managers.isEmpty() || managers.first().desktop == m.desktop))
            managers << m;
    for (const auto &m : managers) {
        steps.push_back(managerStep(m));
        if (m.desktop == QLatin1String("kde"))
            steps.back().description += plasma;
    }

    return steps + logindSteps(facts);
}

QVector<LogoffRoute::Step> LogoffRoute::logindSteps(const SessionFacts &facts)
{
    QVector<Step> steps;
    const QString id = facts.logindId();
    if (id.isEmpty())
        return steps;
    if (!facts.logindPath().isEmpty())
        steps.push_back({Step::Kind::Logind,
                         login1::kManager + QStringLiteral(".TerminateSession"),
                         QStringLiteral("logind TerminateSession of session %1").arg(id),
                         {},
                         {id},
                         {}});
    const QString loginctl = QStandardPaths::findExecutable(QStringLiteral("loginctl"));
    if (!loginctl.isEmpty())
        steps.push_back({Step::Kind::Loginctl,
                         QStringLiteral("loginctl terminate-session"),
                         QStringLiteral("loginctl terminate-session %1").arg(id),
                         loginctl,
                         {QStringLiteral("terminate-session"), id},
                         {}});
    return steps;
}

QString LogoffRoute::Step::record() const
{
    switch (kind) {
    case Kind::Command:
    case Kind::Loginctl:
        return QStringLiteral("%1 %2").arg(program, arguments.join(QLatin1Char(' ')));
    case Kind::SessionManager:
        return QStringLiteral("%1 over D-Bus").arg(name);
    case Kind::Logind:
        return QStringLiteral("logind TerminateSession");
    }
    return name;
}

LogoffRoute::Outcome LogoffRoute::run(const QVector<Step> &steps)
{
    for (const Step &step : steps) {
        // logind's session is ended only once: one that is closing would take TerminateSession
        // as done and still answer success.
        if (step.kind == Step::Kind::Logind || step.kind == Step::Kind::Loginctl) {
            if (const auto closing = alreadyClosing(SessionFacts::current())) {
                logger::info(*closing, logger::event(logger::events::kLogoff));
                return {true, step.name, false};
            }
        }
        // On record before it is carried out: the step may end this process.
        logger::info(QStringLiteral("Logging off: %1").arg(step.record()),
                     logger::event(logger::events::kLogoff));
        logger::flush();
        SessionEndWatch::stepStarted(step.name);
        QString why;
        bool accepted = false;
        bool failureSaid = false; // a manager's error reply is logged where it comes
        switch (step.kind) {
        case Step::Kind::Command:
        case Step::Kind::Loginctl:
            accepted = runCommand(step.program, step.arguments, &why);
            break;
        case Step::Kind::SessionManager:
            switch (SessionManagers::logout(step.method, 30000, waitWithEvents)) {
            case SessionManagers::Result::Accepted:
                accepted = true;
                break;
            case SessionManagers::Result::Absent:
                why = QStringLiteral("not on the bus");
                break;
            case SessionManagers::Result::Failed:
                failureSaid = true;
                break;
            case SessionManagers::Result::Stopped:
                break;
            }
            break;
        case Step::Kind::Logind:
            accepted =
                LogindSession(step.arguments.first(), QString()).terminate(&why, waitWithEvents);
            break;
        }
        SessionEndWatch::stepFinished();
        if (SessionEndWatch::endedDuringStep()) // logged by the one that saw it
            return {true, step.name, false};
        if (accepted) {
            // A command's outcome is its status line.
            if (step.kind == Step::Kind::SessionManager || step.kind == Step::Kind::Logind)
                logger::info(QStringLiteral("Logoff through %1 accepted").arg(step.name),
                             logger::event(logger::events::kLogoff));
            return {true, step.name,
                    step.kind == Step::Kind::SessionManager && !step.method.forced};
        }
        if (!failureSaid)
            logger::warn(QStringLiteral("Logoff through %1 failed: %2").arg(step.name, why),
                         logger::event(logger::events::kLogoff));
    }
    if (steps.isEmpty())
        logger::error(QStringLiteral(
                          "No logoff method available: set LOGOFF_COMMAND, or run inside a session "
                          "with a session manager or logind"),
                      logger::event(logger::events::kLogoff));
    else
        logger::error(QStringLiteral("The session could not be ended: every way to log off failed"),
                      logger::event(logger::events::kLogoff));
    return {};
}

std::optional<QString> LogoffRoute::alreadyClosing(const SessionFacts &facts)
{
    if (facts.logindPath().isEmpty())
        return std::nullopt;
    const LogindSession session(facts.logindId(), facts.logindPath());
    QString why;
    const auto state = session.state(&why);
    if (!state)
        return why == QLatin1String("gone")
                   ? std::optional<QString>(QStringLiteral("The session is already gone"))
                   : std::nullopt;
    if (*state != QLatin1String("closing"))
        return std::nullopt;
    const auto left = session.processes();
    return left ? QStringLiteral("The session is already closing, %1 processes left").arg(*left)
                : QStringLiteral("The session is already closing");
}

QString LogoffRoute::describe(const QVector<Step> &steps)
{
    const bool logind = std::any_of(steps.begin(), steps.end(), [](const Step &step) {
        return step.kind == Step::Kind::Logind || step.kind == Step::Kind::Loginctl;
    });
    QStringList parts;
    for (const Step &step : steps) {
        QString part = step.description;
        if (step.kind == Step::Kind::SessionManager && !step.method.forced)
            part += logind ? QStringLiteral(" (checked, then ended through logind)")
                           : QStringLiteral(" (applications may cancel it)");
        parts << part;
    }
    return parts.join(QStringLiteral(", then "));
}
