#include "entry.h"

#include "CommandLine.h"
#include "globals.h"

#include "agent/config/Config.h"
#include "agent/log/events.h"
#include "agent/log/log.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/dbus/sessionbus.h"
#include "brimvault_agent/tray/BrimvaultSystemTray.h"

#include <QApplication>
#include <QFileInfo>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <memory>

namespace app {

namespace {

Config::LoadReport setUpLogging()
{
    const Config::LoadReport report = Config::load();
    logger::Level level = logger::Level::Info;
    logger::parseLevel(config().LOG_LEVEL, &level);
    const LogTargets targets = logTargets(config());
    logger::init({targets.file ? config().LOG_FILE : QString(), level, config().LOG_MAX_BYTES, 3,
                  true, targets.journal});
    // Until logind has been asked (after the application object exists), the session as set.
    logger::setJournalField(logger::fields::kSession, qEnvironmentVariable("XDG_SESSION_ID"));
    return report;
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

std::unique_ptr<QApplication> makeApplication(int &argc, char **argv)
{
    // Qt registers with the session manager named here while the application object is made;
    // the agent's children still see it.
    const QByteArray sessionManager = qgetenv("SESSION_MANAGER");
    qunsetenv("SESSION_MANAGER");
    // Qt's own pick of platform may be one that cannot connect (X11 in a Wayland session
    // without an X server), and then it aborts.
    const SessionFacts &facts = SessionFacts::current();
    if (facts.qtPlatformChosen()) {
        logger::info(QStringLiteral("No X server answers in this Wayland session; Qt runs on %1")
                         .arg(facts.qtPlatform()));
        qputenv("QT_QPA_PLATFORM", facts.qtPlatform().toUtf8());
    }
    auto application = std::make_unique<QApplication>(argc, argv);
    if (facts.qtPlatformChosen())
        qunsetenv("QT_QPA_PLATFORM");
    if (!sessionManager.isEmpty())
        qputenv("SESSION_MANAGER", sessionManager);
    return application;
}

void sigTerm(int sigNo, void *)
{
    if (trayIcon)
        trayIcon->end(sigNo == SIGHUP ? EndCause::SigHup : EndCause::SigTerm);
}

int processEntry(int argc, char **argv)
{
    QThread::currentThread()->setObjectName(QStringLiteral("main"));
    dbus::preventAutolaunch();
    const Config::LoadReport report = setUpLogging();
    logger::info(QStringLiteral("Initializing %1, version: %2")
                     .arg(config().APPLICATION_TITLE, config().VERSION_DISPLAY));
    const logger::Fields configuration = logger::event(logger::events::kConfiguration);
    if (!report.info.isEmpty())
        logger::info(report.info, configuration);
    for (const QString &w : report.warnings)
        logger::warn(w, configuration);

    // Help and version need no display: answered before Qt connects to one.
    const QString program = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
    const CommandLine parser(
        program,
        QStringLiteral("%1, version %2").arg(config().APPLICATION_TITLE, config().VERSION_DISPLAY),
        config().VERSION_DISPLAY);
    QStringList raw;
    for (int i = 1; i < argc; ++i)
        raw << QString::fromLocal8Bit(argv[i]);
    CommandLine::Result parsed = parser.parse(raw);

    // Owned here so that it outlives main() and everything main() built on it.
    std::unique_ptr<QApplication> application;
    if (parsed.action != CommandLine::Action::Help &&
        parsed.action != CommandLine::Action::Version) {
        application = makeApplication(argc, argv);
        // Again, with Qt's own options taken out.
        parsed = parser.parse(QCoreApplication::arguments().mid(1));
    }
    switch (parsed.action) {
    case CommandLine::Action::Help:
    case CommandLine::Action::Version:
        print(stdout, parsed.output);
        return 0;
    case CommandLine::Action::Error:
        print(stderr, parsed.output);
        return parsed.exitCode;
    case CommandLine::Action::Run:
        break;
    }

    Args args;
    args.debug = parsed.debug;
    args.force = parsed.force;
    args.app = application.get();
    args.func = &app::main;
    args.argc = argc;
    args.argv = argv;
    const int status = args.func(args);
    logger::flush();
    return status;
}

} // namespace app
