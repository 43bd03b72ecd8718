// Service simulator: lets a person or a test drive the agent without the product's service.

#include "ServiceSimulator.h"

#include "agent/config/Config.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

std::optional<qint64> seconds(const QCommandLineParser &parser, const QString &name, bool *ok)
{
    if (!parser.isSet(name))
        return std::nullopt;
    bool valid = false;
    const qint64 value = parser.value(name).toLongLong(&valid);
    if (!valid) {
        std::fprintf(stderr, "--%s needs a whole number of seconds\n",
                     name.toLocal8Bit().constData());
        *ok = false;
    }
    return value;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brimvault-service-sim"));
    Config::load();
    QCoreApplication::setApplicationVersion(config().VERSION_DISPLAY);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Agent service simulator. Prints one JSON line per event; reads commands from stdin:\n"
        "  message TEXT | script TEXT | logoff | disconnect | info JSON | raw HEX | close | quit"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("port"),
                      QStringLiteral("Port on 127.0.0.1 (0: any free one)."),
                      QStringLiteral("port"), QString::number(config().IPC_PORT)});
    parser.addOption({QStringLiteral("idle"), QStringLiteral("Maximum idle time sent on request."),
                      QStringLiteral("seconds")});
    parser.addOption({QStringLiteral("max-session"),
                      QStringLiteral("Maximum session length sent on request."),
                      QStringLiteral("seconds")});
    parser.process(app);

    bool ok = true;
    ServiceSimulator::Policy policy;
    policy.idle = seconds(parser, QStringLiteral("idle"), &ok);
    policy.maxSession = seconds(parser, QStringLiteral("max-session"), &ok);
    bool portOk = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "--port needs a number from 0 to 65535\n");
        ok = false;
    }
    if (!ok)
        return 2;

    std::signal(SIGPIPE, SIG_IGN);
    ServiceSimulator simulator(policy);
    QObject::connect(&simulator, &ServiceSimulator::quitRequested, &app, &QCoreApplication::quit);
    if (!simulator.listen(static_cast<quint16>(port))) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u: %s\n", port,
                     simulator.errorString().toLocal8Bit().constData());
        return 1;
    }
    return app.exec();
}
