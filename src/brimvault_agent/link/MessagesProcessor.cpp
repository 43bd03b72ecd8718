#include "MessagesProcessor.h"

#include "agent/base/handoff.h"
#include "agent/base/stuckthread.h"
#include "agent/base/utils.h"
#include "agent/config/Config.h"
#include "agent/ipc/ClientIPC.h"
#include "agent/ipc/IpcError.h"
#include "agent/ipc/protocol.h"
#include "agent/log/events.h"
#include "agent/log/log.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

QString textOf(const ipc::Message &message)
{
    if (message.id == ipc::MSG_INFORMATION || message.id == ipc::MSG_MESSAGE ||
        message.id == ipc::MSG_SCRIPT)
        return QString::fromUtf8(message.data);
    return message.data.isEmpty() ? QString() : QString::fromLatin1(message.data.toHex());
}

} // namespace

std::unique_ptr<ClientIPC> MessagesProcessor::connectOnce(int port, qint64 serviceUid, QString *why,
                                                          QString *untrusted)
{
    try {
        auto client = std::make_unique<ClientIPC>(port, serviceUid);
        client->start();
        return client;
    } catch (const std::exception &e) {
        if (dynamic_cast<const UntrustedPeerError *>(&e)) {
            if (untrusted)
                *untrusted = QString::fromUtf8(e.what());
            else
                logger::warn(QString::fromUtf8(e.what()));
        }
        logger::debug(QStringLiteral("IPC Server is not reachable"));
        const auto *ipcError = dynamic_cast<const IpcError *>(&e);
        *why = ipcError ? ipcError->reason() : QString::fromUtf8(e.what());
        return nullptr;
    }
}

MessagesProcessor::MessagesProcessor()
{
    setObjectName(QStringLiteral("link"));
    for (int attempt = 0; attempt < kConnectAttempts && !ipc; ++attempt) {
        ipc = connectOnce(config().IPC_PORT, config().IPC_SERVICE_UID, &failureReason_);
        if (!ipc)
            std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    }
    if (ipc) {
        const auto owner = ipc->serviceOwner();
        logger::info(QStringLiteral("Connected to the service at 127.0.0.1:%1, owned by uid %2")
                         .arg(config().IPC_PORT)
                         .arg(owner ? QString::number(*owner) : QStringLiteral("unknown")),
                     logger::event(logger::events::kConnected));
    } else {
        logger::debug(QStringLiteral("Gave up after %1 attempts: %2")
                          .arg(kConnectAttempts)
                          .arg(failureReason_));
    }
    running = false;
}

MessagesProcessor::MessagesProcessor(std::unique_ptr<ClientIPC> connected)
    : ipc(std::move(connected))
{
    setObjectName(QStringLiteral("link"));
}

MessagesProcessor::~MessagesProcessor()
{
    if (isRunning()) {
        stop();
        const int waitMs = ClientIPC::kDrainMs + 1000;
        if (!wait(waitMs)) {
            // stop() wakes every wait of the loop, so this is not expected. The logout queued
            // before goes out through the client's own thread first.
            ipc->waitClosed(ClientIPC::kDrainMs);
            stuckthread::endProcess(objectName(), waitMs);
        }
    }
    // Pairs with the store at the end of run(): an edge race detectors can see, as
    // QThread::wait's is not.
    loopEnded.load(std::memory_order_acquire);
}

bool MessagesProcessor::isAlive() const
{
    return ipc != nullptr;
}

QString MessagesProcessor::failureReason() const
{
    return failureReason_;
}

void MessagesProcessor::requestInformation()
{
    if (!ipc)
        return;
    const bool sent = ipc->requestInformation();
    logger::debug(QStringLiteral("Request information: %1").arg(utils::boolText(sent)));
}

namespace {
std::atomic<bool> loginHandedOver{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");
} // namespace

const std::atomic<bool> &MessagesProcessor::loginSent()
{
    return loginHandedOver;
}

void MessagesProcessor::sendLogin(const QString &userName)
{
    if (ipc) {
        loginHandedOver = true; // before the login can reach the wire
        ipc->sendLogin(userName);
    }
}

bool MessagesProcessor::sendLogout(const QString &userName)
{
    return ipc && ipc->sendLogout(userName);
}

void MessagesProcessor::stop()
{
    {
        std::lock_guard<std::mutex> lock(pauseMutex);
        running = false;
        stopRequested = true;
    }
    pauseCv.notify_all();
    if (ipc)
        ipc->stop();
}

bool MessagesProcessor::waitClosed(int msecs)
{
    return !ipc || ipc->waitClosed(msecs);
}

void MessagesProcessor::pause(int msecs)
{
    std::unique_lock<std::mutex> lock(pauseMutex);
    pauseCv.wait_for(lock, std::chrono::milliseconds(msecs), [this] { return stopRequested; });
}

void MessagesProcessor::throttle()
{
    if (++emittedInWindow < kMaxSignalsInFlight)
        return;
    emittedInWindow = 0;
    std::unique_lock<std::mutex> lock(pauseMutex);
    // The previous marker must have run: then at most two windows of signals are waiting.
    pauseCv.wait(lock, [this] { return windowOpen || stopRequested; });
    windowOpen = false;
    lock.unlock();
    // Runs on the GUI thread (this object's thread) after every signal queued before it.
    handoff::post(this, [this] {
        {
            std::lock_guard<std::mutex> guard(pauseMutex);
            windowOpen = true;
        }
        pauseCv.notify_all();
    });
}

void MessagesProcessor::run()
{
    try {
        loop();
    } catch (...) {
        // Nothing may escape a thread's entry: said, and the link ends as if it was lost.
        logger::error(QStringLiteral("Link thread failed: %1")
                          .arg(utils::exceptionToMessage(std::current_exception())));
        handoff::release(this);
        emit exit();
    }
    loopEnded.store(true, std::memory_order_release);
}

void MessagesProcessor::loop()
{
    if (!ipc)
        return;
    running = true;
    pause(kFirstReadPauseMs);
    while (running && ipc->running()) {
        try {
            if (!handleOne())
                break;
        } catch (const std::exception &e) {
            try {
                logger::error(
                    QStringLiteral("Got error on IPC thread %1").arg(utils::exceptionToMessage(e)));
            } catch (...) {
                logger::error(QStringLiteral("Got error on IPC thread (an unicode error?\?)"));
            }
        } catch (...) {
            logger::error(QStringLiteral("Got error on IPC thread %1")
                              .arg(utils::exceptionToMessage(std::current_exception())));
        }
    }
    // With RECONNECT_SECONDS the program goes on; the tray says so.
    if (!ipc->running() && running && config().RECONNECT_SECONDS == 0)
        logger::warn(QStringLiteral("Lost connection with Service, closing program"));
    handoff::release(this);
    emit exit();
}

bool MessagesProcessor::handleOne()
{
    const std::optional<ipc::Message> message = ipc->getMessage();
    if (!message)
        return false;
    if (logger::enabled(logger::Level::Debug))
        logger::debug(QStringLiteral("Got Message on User Space: %1:%2")
                          .arg(int(message->id))
                          .arg(textOf(*message)));

    // The signals are queued to the GUI thread; their receivers acquire from this link.
    handoff::release(this);
    switch (message->id) {
    case ipc::MSG_DISCONNECT:
        emit disconnect();
        break;
    case ipc::MSG_MESSAGE:
        emit displayMessage(QString::fromUtf8(message->data));
        break;
    case ipc::MSG_LOGOFF:
        emit logoff();
        break;
    case ipc::MSG_SCRIPT:
        emit script(QString::fromUtf8(message->data));
        break;
    case ipc::MSG_INFORMATION:
        emit information(ipc::decodeInformation(message->data));
        break;
    default:
        return true;
    }
    throttle();
    return true;
}
