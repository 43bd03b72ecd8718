#include "ServiceLink.h"

#include "MessagesProcessor.h"
#include "Reconnector.h"

#include "agent/base/handoff.h"
#include "agent/base/utils.h"
#include "agent/config/Config.h"
#include "agent/ipc/ClientIPC.h"
#include "agent/log/events.h"
#include "agent/log/log.h"
#include "agent/operations.h"

#include <QThread>

ServiceLink::ServiceLink(QObject *parent)
    : QObject(parent), link_(std::make_unique<MessagesProcessor>())
{
    reconnector_ = new Reconnector(config().IPC_PORT, config().IPC_SERVICE_UID, this);
    connect(reconnector_, &Reconnector::connected, this, &ServiceLink::reconnected);
    connect(reconnector_, &Reconnector::gaveUp, this, [this] {
        logger::guarded("Ending without a service", [] {
            logger::warn(
                QStringLiteral("No service within %1 s; ending").arg(config().RECONNECT_SECONDS));
        });
        emit exit();
    });
    std::lock_guard<std::mutex> lock(mutex_);
    wire();
}

ServiceLink::~ServiceLink() = default;

bool ServiceLink::isAlive() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return link_->isAlive();
}

QString ServiceLink::failureReason() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return link_->failureReason();
}

void ServiceLink::wire()
{
    // Queued from the link thread: what each carries is read here after the hand-off.
    MessagesProcessor *link = link_.get();
    const auto relay = [this, link](auto signal, auto handler) {
        connect(link, signal, this, [link, handler](const auto &...args) {
            handoff::acquire(link);
            handler(args...);
        });
    };
    relay(&MessagesProcessor::disconnect, [this] { emit disconnect(); });
    relay(&MessagesProcessor::displayMessage,
          [this](const QString &text) { emit displayMessage(text); });
    relay(&MessagesProcessor::information,
          [this](const QVariantMap &info) { emit information(info); });
    relay(&MessagesProcessor::exit, [this] { linkEnded(); });
    relay(&MessagesProcessor::logoff, [this] { emit logoff(); });
    relay(&MessagesProcessor::script, [this](const QString &text) { emit script(text); });
}

bool ServiceLink::start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return startLocked();
}

bool ServiceLink::startLocked()
{
    link_->start();
    if (!link_->isRunning()) {
        // Out of threads (a user slice's task limit): nothing would read the service.
        logger::error(QStringLiteral("The link thread could not be started"));
        link_->stop();
        return false;
    }
    link_->requestInformation();
    link_->sendLogin(operations::getCurrentUser());
    return true;
}

bool ServiceLink::closed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

void ServiceLink::linkEnded()
{
    const int seconds = config().RECONNECT_SECONDS;
    if (seconds == 0 || closed()) {
        emit exit();
        return;
    }
    logger::guarded("Going offline", [this, seconds] {
        // The limits go on being enforced meanwhile.
        offline_ = true;
        emit offline();
        logger::warn(
            QStringLiteral("Lost the connection to the service; reconnecting for up to %1 s")
                .arg(seconds),
            logger::event(logger::events::kLinkLost));
        reconnector_->start(seconds);
    });
}

void ServiceLink::reconnected(ClientIPC *client)
{
    std::unique_ptr<ClientIPC> connected(client);
    logger::guarded("Reconnecting", [&] { take(std::move(connected)); });
}

void ServiceLink::take(std::unique_ptr<ClientIPC> client)
{
    std::unique_ptr<MessagesProcessor> old;
    {
        // An exit hook may be ending the agent on another thread: either it finds the new link
        // and logs out on it, or this finds the link closed and the new one never logs in.
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return;
        old = std::move(link_);
        link_ = std::make_unique<MessagesProcessor>(std::move(client));
        wire();
        if (!startLocked()) {
            reconnector_->resume();
            return;
        }
    }
    old.reset(); // its loop has ended; the destructor waits, bounded, for its thread
    offline_ = false;
    emit online();
    logger::info(
        QStringLiteral("Reconnected to the service after %1 s").arg(reconnector_->elapsedSeconds()),
        logger::event(logger::events::kConnected));
}

bool ServiceLink::sendLogout(const QString &userName)
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    return link_->sendLogout(userName);
}

void ServiceLink::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        link_->stop();
    }
    reconnector_->close(0);
    if (QThread::currentThread() == thread())
        reconnector_->stop();
}

void ServiceLink::waitClosed(int msecs)
{
    MessagesProcessor *link = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        link = link_.get(); // no longer replaced: closed_ is set
    }
    // A connection attempt must not run on while exit() destroys what it reads.
    reconnector_->close(Reconnector::kAttemptWaitMs);
    link->waitClosed(msecs);
}
