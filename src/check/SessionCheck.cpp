#include "SessionCheck.h"

#include "agent/config/Config.h"
#include "agent/ipc/ClientIPC.h"
#include "agent/ipc/protocol.h"
#include "agent/log/log.h"
#include "agent/operations.h"
#include "agent/session/SessionFacts.h"
#include "agent/session/SessionLock.h"
#include "agent/session/TrayHost.h"
#include "agent/session/idle/IdleTime.h"
#include "agent/session/logoff/LogoffRoute.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>

#include <future>
#include <unistd.h>

namespace {

using Status = SessionCheck::Status;

QString limitText(const QVariantMap &info, const ipc::Limit &limit, const QString &key,
                  bool zeroIsNone)
{
    return limit.error.isEmpty()
               ? ipc::limitText(limit.seconds, zeroIsNone)
               : QStringLiteral("unreadable (%1)").arg(info.value(key).toString());
}

} // namespace

QVector<SessionCheck::Finding> SessionCheck::run()
{
    // Idle time in a Wayland session counts from the connection: open it first, so the other
    // checks give it time to hear from the compositor.
    operations::startIdleTracking();
    return {configuration(), record(),     service(), tray(),
            idle(),          inhibitors(), logoff(),  instance()};
}

SessionCheck::Finding SessionCheck::configuration()
{
    const Config::LoadReport report = Config::load();
    const Config defaults = Config::defaults();
    QStringList changed;
    for (const QString &key : Config::keys())
        if (config().valueText(key) != defaults.valueText(key))
            changed << QStringLiteral("%1=%2").arg(key, config().valueText(key));
    QString detail =
        report.path.isEmpty()
            ? QStringLiteral("no file (%1); compiled-in defaults").arg(Config::defaultPath())
            : QStringLiteral("read %1").arg(report.path);
    detail += changed.isEmpty()
                  ? QStringLiteral("; all values default")
                  : QStringLiteral("; changed: %1").arg(changed.join(QStringLiteral(", ")));
    if (!report.warnings.isEmpty())
        return {QStringLiteral("configuration"), Status::Warn,
                detail + QStringLiteral("; ") + report.warnings.join(QStringLiteral("; "))};
    return {QStringLiteral("configuration"), Status::Ok, detail};
}

SessionCheck::Finding SessionCheck::record()
{
    const LogTargets targets = logTargets(config());
    QStringList to, not_;
    if (targets.journal) {
        if (logger::journalAvailable())
            to << QStringLiteral("journal");
        else
            not_ << QStringLiteral("the journal (%1 is not there)").arg(logger::journalSocket());
    }
    if (targets.file) {
        // The first folder of the path that exists must take the file or its missing folders.
        QFileInfo at(config().LOG_FILE);
        const bool exists = at.exists();
        while (!at.exists() && at.absolutePath() != at.absoluteFilePath())
            at = QFileInfo(at.absolutePath());
        if (exists ? at.isWritable() : at.isDir() && at.isWritable())
            to << config().LOG_FILE;
        else
            not_ << QStringLiteral("%1 (%2 is not writable)").arg(config().LOG_FILE, at.filePath());
    }
    if (to.isEmpty())
        return {QStringLiteral("log"), Status::Warn,
                QStringLiteral("nothing can be written: %1").arg(not_.join(QStringLiteral(", ")))};
    return {QStringLiteral("log"), Status::Ok,
            to.join(QStringLiteral(" and ")) +
                (not_.isEmpty() ? QString()
                                : QStringLiteral("; not %1").arg(not_.join(QStringLiteral(", "))))};
}

SessionCheck::Finding SessionCheck::service()
{
    const QString name = QStringLiteral("service");
    const QString address = QStringLiteral("127.0.0.1:%1").arg(config().IPC_PORT);
    const qint64 trusted = config().IPC_SERVICE_UID;
    ClientIPC client(config().IPC_PORT, -1); // the owner is judged below, to be reported
    try {
        client.start();
    } catch (const std::exception &e) {
        return {name, Status::Fail,
                QStringLiteral("%1 does not answer: %2").arg(address, QString::fromUtf8(e.what()))};
    }
    const auto owner = client.serviceOwner();
    const QString ownerText =
        owner ? QStringLiteral("uid %1").arg(*owner) : QStringLiteral("an unknown user");
    if (trusted >= 0 && (!owner || qint64(*owner) != trusted)) {
        client.stop();
        return {name, Status::Fail,
                QStringLiteral(
                    "%1 answers, owned by %2, not the trusted uid %3; the agent would refuse it")
                    .arg(address, ownerText)
                    .arg(trusted)};
    }
    const QString trust =
        trusted >= 0 ? QStringLiteral("trusted") : QStringLiteral("owner not checked");

    // Only the information request goes out; whatever else the service sends is not acted on.
    client.requestInformation();
    auto answer = std::async(std::launch::async, [&client]() -> std::optional<QVariantMap> {
        while (client.running()) {
            try {
                const auto message = client.getMessage();
                if (!message)
                    return std::nullopt;
                if (message->id == ipc::MSG_INFORMATION)
                    return ipc::decodeInformation(message->data);
            } catch (const std::exception &) {
                // A frame it could not take; the answer may still follow.
            }
        }
        return std::nullopt;
    });
    QElapsedTimer clock;
    clock.start();
    while (answer.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready &&
           clock.elapsed() < kAnswerTimeoutMs)
        QCoreApplication::processEvents();
    client.stop();
    const auto info = answer.get();
    client.waitClosed(ClientIPC::kDrainMs + 1000);
    if (!info)
        return {name, Status::Warn,
                QStringLiteral(
                    "%1 answers, owned by %2 (%3), but sent no session information within %4 s")
                    .arg(address, ownerText, trust)
                    .arg(kAnswerTimeoutMs / 1000)};
    const int reconnect = config().RECONNECT_SECONDS;
    const ipc::Limits limits = ipc::decodeLimits(*info);
    return {name, Status::Ok,
            QStringLiteral("%1 answers, owned by %2 (%3); policy: idle %4, session length %5; "
                           "if the link is lost: %6")
                .arg(address, ownerText, trust, limitText(*info, limits.idle, ipc::kIdleKey, false),
                     limitText(*info, limits.maxSession, ipc::kMaxSessionKey, true),
                     reconnect > 0 ? QStringLiteral("reconnects for up to %1 s").arg(reconnect)
                                   : QStringLiteral("ends (RECONNECT_SECONDS = 0)"))};
}

SessionCheck::Finding SessionCheck::tray()
{
    const SessionFacts &facts = SessionFacts::current();
    const QString platform = facts.qtPlatform();
    if (!facts.qtPlatformProblem().isEmpty())
        return {QStringLiteral("tray"), Status::Fail,
                QStringLiteral("Qt platform %1 cannot connect: %2; the agent would not start")
                    .arg(platform, facts.qtPlatformProblem())};
    const QString route = TrayHost::route(platform);
    if (route.isEmpty()) {
        QString detail =
            QStringLiteral("none: no StatusNotifierWatcher with a host on the session bus%1")
                .arg(platform == QLatin1String("xcb")
                         ? QStringLiteral(" and no XEmbed tray host on the X display")
                         : QStringLiteral(" (Qt platform %1)").arg(platform));
        if (facts.desktop() == QLatin1String("gnome"))
            detail += QStringLiteral(". ") + TrayHost::gnomeHint();
        // Without TRAY_REQUIRED the agent runs all the same, without its icon.
        if (!config().TRAY_REQUIRED)
            return {QStringLiteral("tray"), Status::Warn,
                    detail +
                        QStringLiteral("; the agent runs without an icon (TRAY_REQUIRED=false)")};
        return {QStringLiteral("tray"), Status::Fail, detail};
    }
    return {QStringLiteral("tray"), Status::Ok,
            QStringLiteral("%1 (Qt platform %2; %3)").arg(route, platform, facts.describe())};
}

SessionCheck::Finding SessionCheck::idle()
{
    // A compositor reports idleness only after its timeout: give it that long to speak.
    if (SessionFacts::current().wayland()) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    try {
        const double seconds = operations::getIdleDuration();
        // The policy, and a source that holds idle at 0 during a video whatever it says.
        const QString policy =
            QStringLiteral("; IDLE_INHIBITORS = %1").arg(config().IDLE_INHIBITORS);
        const QString follows = IdleTime::sourceFollowsInhibitors()
                                    ? QStringLiteral(" (this source follows idle inhibitors)")
                                    : QString();
        return {QStringLiteral("idle"), Status::Ok,
                QStringLiteral("%1: idle for %2 s%3%4")
                    .arg(operations::idleSourceName())
                    .arg(seconds, 0, 'f', 1)
                    .arg(follows, policy)};
    } catch (const std::exception &e) {
        return {QStringLiteral("idle"), Status::Fail,
                QStringLiteral("no source: %1").arg(QString::fromUtf8(e.what()))};
    }
}

SessionCheck::Finding SessionCheck::inhibitors()
{
    const bool honour = config().IDLE_INHIBITORS == QLatin1String("honour");
    return {QStringLiteral("inhibitors"), Status::Ok,
            QStringLiteral("%1; %2").arg(
                honour ? QStringLiteral("honoured: an active one holds idle at 0")
                       : QStringLiteral("ignored (IDLE_INHIBITORS = ignore)"),
                IdleTime::inhibitorReport().join(QStringLiteral("; ")))};
}

SessionCheck::Finding SessionCheck::logoff()
{
    // The agent's own route, worked out by the same code: what it would try, in that order.
    const auto steps = LogoffRoute::plan(SessionFacts::current());
    if (steps.isEmpty())
        return {QStringLiteral("logoff"), Status::Fail,
                QStringLiteral("none: no LOGOFF_COMMAND, no session manager of this session on "
                               "the bus, no logind session")};
    // A closing session is ending already: the agent would not claim to end it.
    if (const auto closing = LogoffRoute::alreadyClosing(SessionFacts::current()))
        return {QStringLiteral("logoff"), Status::Warn,
                QStringLiteral("%1: the agent would end nothing (its route: %2)")
                    .arg(*closing, LogoffRoute::describe(steps))};
    return {QStringLiteral("logoff"), Status::Ok, LogoffRoute::describe(steps)};
}

SessionCheck::Finding SessionCheck::instance()
{
    QString error;
    const QString path = SessionLock::path(&error);
    if (path.isEmpty())
        return {QStringLiteral("instance"), Status::Fail,
                QStringLiteral("no place for the session lock: %1").arg(error)};
    const qint64 pid = SessionLock::heldBy(path);
    if (pid > 0)
        return {QStringLiteral("instance"), Status::Ok,
                QStringLiteral("an agent runs in this session, pid %1").arg(pid)};
    return {QStringLiteral("instance"), Status::Ok,
            QStringLiteral("none running (%1 is free)").arg(path)};
}

QString SessionCheck::statusText(Status status)
{
    switch (status) {
    case Status::Ok:
        return QStringLiteral("OK");
    case Status::Warn:
        return QStringLiteral("WARN");
    case Status::Fail:
        return QStringLiteral("FAIL");
    }
    return {};
}

QString SessionCheck::text(const QVector<Finding> &findings)
{
    QString out;
    for (const Finding &f : findings)
        out += QStringLiteral("%1: %2 %3\n").arg(f.name, statusText(f.status), f.detail);
    return out;
}

QJsonObject SessionCheck::json(const QVector<Finding> &findings)
{
    QJsonObject out;
    for (const Finding &f : findings)
        out.insert(f.name, QJsonObject{{QStringLiteral("status"), statusText(f.status)},
                                       {QStringLiteral("detail"), f.detail}});
    out.insert(QStringLiteral("exitStatus"), exitStatus(findings));
    return out;
}

int SessionCheck::exitStatus(const QVector<Finding> &findings)
{
    for (const Finding &f : findings)
        if (f.status == Status::Fail)
            return 1;
    return 0;
}
