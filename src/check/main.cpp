// brimvault-agent-check: run inside a user's session to see whether an agent could run and
// enforce the session limits there.

#include "SessionCheck.h"

#include "agent/config/Config.h"
#include "agent/log/log.h"
#include "agent/session/dbus/sessionbus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    dbus::preventAutolaunch();
    // The agent's code logs as it goes; none of that belongs on this program's output.
    logger::init({QString(), logger::Level::Error, 0, 1, false});
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brimvault-agent-check"));
    QCoreApplication::setApplicationVersion(config().VERSION_DISPLAY);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks whether the Brimvault agent could run and enforce the session limits in this "
        "session.\n"
        "Prints one line per concern (configuration, log, service, tray, idle, logoff, "
        "instance):\n"
        "  NAME: OK|WARN|FAIL detail\n"
        "Exit status 0 when nothing failed, 1 otherwise. It changes nothing."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(
        {QStringLiteral("json"), QStringLiteral("Print the findings as one JSON object.")});
    parser.process(app);

    std::signal(SIGPIPE, SIG_IGN);
    SessionCheck check;
    const QVector<SessionCheck::Finding> findings = check.run();
    const QByteArray out =
        parser.isSet(QStringLiteral("json"))
            ? QJsonDocument(SessionCheck::json(findings)).toJson(QJsonDocument::Indented)
            : SessionCheck::text(findings).toUtf8();
    std::fwrite(out.constData(), 1, static_cast<std::size_t>(out.size()), stdout);
    return SessionCheck::exitStatus(findings);
}
