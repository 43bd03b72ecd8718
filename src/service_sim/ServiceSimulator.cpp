#include "ServiceSimulator.h"

#include "agent/ipc/protocol.h"

#include "ServerIPC.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

ServiceSimulator::ServiceSimulator(const Policy &policy, QObject *parent)
    : QObject(parent), policy_(policy), server_(new ServerIPC(this))
{
    connect(server_, &ServerIPC::agentConnected, this,
            [this] { printEvent(QStringLiteral("connected")); });
    connect(server_, &ServerIPC::agentDisconnected, this,
            [this] { printEvent(QStringLiteral("disconnected")); });
    connect(server_, &ServerIPC::loginReceived, this, [this](const QString &user) {
        printEvent(QStringLiteral("login"), QStringLiteral("user"), user);
    });
    connect(server_, &ServerIPC::logoutReceived, this, [this](const QString &user) {
        printEvent(QStringLiteral("logout"), QStringLiteral("user"), user);
    });
    connect(server_, &ServerIPC::informationRequested, this, [this] {
        printEvent(QStringLiteral("information-request"));
        server_->sendInformation(ipc::encodeLimits(policy_.idle, policy_.maxSession));
    });
    connect(server_, &ServerIPC::unexpectedFrame, this, [this](quint8 id, const QByteArray &) {
        printEvent(QStringLiteral("unexpected-frame"), QStringLiteral("id"), QString::number(id));
    });
    connect(server_, &ServerIPC::frameError, this, [this](const QString &error) {
        printEvent(QStringLiteral("frame-error"), QStringLiteral("error"), error);
    });

    stdinNotifier_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(stdinNotifier_, &QSocketNotifier::activated, this, &ServiceSimulator::readStdin);
}

bool ServiceSimulator::listen(quint16 port)
{
    if (!server_->listen(port))
        return false;
    printEvent(QStringLiteral("listening"), QStringLiteral("port"),
               QString::number(server_->port()));
    return true;
}

QString ServiceSimulator::errorString() const
{
    return server_->errorString();
}

void ServiceSimulator::printEvent(const QString &name, const QString &key, const QString &value)
{
    QJsonObject line{
        {QStringLiteral("event"), name},
        {QStringLiteral("time"), double(QDateTime::currentMSecsSinceEpoch()) / 1000.0}};
    if (!key.isEmpty())
        line.insert(key, value);
    const QByteArray out = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(out.constData(), 1, static_cast<std::size_t>(out.size()), stdout);
    std::fflush(stdout);
}

void ServiceSimulator::readStdin()
{
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        // End of input: keep serving; the simulator then ends on a signal.
        stdinNotifier_->setEnabled(false);
        return;
    }
    stdinBuffer_.append(buffer, static_cast<int>(n));
    int newline;
    while ((newline = stdinBuffer_.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(stdinBuffer_.left(newline));
        stdinBuffer_.remove(0, newline + 1);
        const QString error = execute(line);
        if (!error.isEmpty())
            std::fprintf(stderr, "error: %s\n", error.toLocal8Bit().constData());
    }
}

QString ServiceSimulator::execute(const QString &rawLine)
{
    const QString line = rawLine.trimmed();
    if (line.isEmpty())
        return {};
    const int blank = line.indexOf(QLatin1Char(' '));
    const QString command = blank < 0 ? line : line.left(blank);
    const QString argument = blank < 0 ? QString() : line.mid(blank + 1);
    auto noArgument = [&](auto send) -> QString {
        if (!argument.isEmpty())
            return QStringLiteral("%1 takes no argument").arg(command);
        send();
        return {};
    };

    if (command == QLatin1String("message")) {
        server_->sendMessage(argument);
    } else if (command == QLatin1String("script")) {
        // One line on stdin; "\n" in the text stands for a line break of the script.
        if (argument.isEmpty())
            return QStringLiteral("script needs the script text");
        server_->sendScript(QString(argument).replace(QStringLiteral("\\n"), QStringLiteral("\n")));
    } else if (command == QLatin1String("logoff")) {
        return noArgument([this] { server_->sendLogoff(); });
    } else if (command == QLatin1String("disconnect")) {
        return noArgument([this] { server_->sendDisconnect(); });
    } else if (command == QLatin1String("info")) {
        QJsonParseError error{};
        QJsonDocument::fromJson(argument.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError)
            return QStringLiteral("info needs JSON: %1").arg(error.errorString());
        server_->sendInformation(argument.toUtf8());
    } else if (command == QLatin1String("raw")) {
        const QString hex = QString(argument).remove(QLatin1Char(' '));
        const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
        if (hex.isEmpty() || hex.size() % 2 != 0 || bytes.toHex() != hex.toLower().toLatin1())
            return QStringLiteral("raw needs an even number of hex digits");
        server_->sendRaw(bytes);
    } else if (command == QLatin1String("close")) {
        return noArgument([this] { server_->closeConnections(); });
    } else if (command == QLatin1String("quit")) {
        return noArgument([this] { emit quitRequested(); });
    } else {
        return QStringLiteral("unknown command '%1'; commands: message TEXT, script TEXT, logoff, "
                              "disconnect, info JSON, raw HEX, close, quit")
            .arg(command);
    }
    return {};
}
