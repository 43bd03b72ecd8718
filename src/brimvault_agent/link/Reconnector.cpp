#include "Reconnector.h"

#include "MessagesProcessor.h"

#include "agent/base/handoff.h"
#include "agent/base/utils.h"
#include "agent/ipc/ClientIPC.h"
#include "agent/log/log.h"

#include <QThread>

#include <system_error>

Reconnector::Reconnector(int port, qint64 serviceUid, QObject *parent)
    : QObject(parent), port_(port), serviceUid_(serviceUid)
{
    retry_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, &Reconnector::attempt);
}

Reconnector::~Reconnector()
{
    join();
}

void Reconnector::start(int seconds)
{
    seconds_ = seconds;
    refused_.clear();
    clock_.start();
    resume();
}

void Reconnector::resume()
{
    active_ = true;
    retry_.start();
    attempt(); // a restarted service may be back already
}

void Reconnector::stop()
{
    active_ = false;
    retry_.stop();
}

void Reconnector::close(int msecs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    attemptEnded_.wait_for(lock, std::chrono::milliseconds(msecs), [this] { return !attempting_; });
}

void Reconnector::attempt()
{
    if (!active_)
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_)
        return;
    if (clock_.elapsed() >= qint64(seconds_) * 1000) {
        lock.unlock();
        stop();
        emit gaveUp();
        return;
    }
    if (attempting_)
        return;
    if (worker_.joinable())
        worker_.join(); // it has ended: attempting_ was cleared as its last step
    try {
        worker_ = std::thread([this, port = port_, uid = serviceUid_] {
            try {
                QThread::currentThread()->setObjectName(QStringLiteral("reconnect")); // for the log
                QString why, untrusted; // why: said at debug level by connectOnce
                std::unique_ptr<ClientIPC> client =
                    MessagesProcessor::connectOnce(port, uid, &why, &untrusted);
                std::lock_guard<std::mutex> guard(mutex_);
                result_ = std::move(client);
                untrusted_ = untrusted;
            } catch (const std::exception &e) {
                logger::error(QStringLiteral("Reconnect attempt failed: %1")
                                  .arg(utils::exceptionToMessage(e)));
            }
            // Dropped if this object is gone by then; its destructor waits for this thread first.
            handoff::post(this, [this] { finished(); });
            std::lock_guard<std::mutex> guard(mutex_);
            attempting_ = false;
            attemptEnded_.notify_all();
        });
        attempting_ = true;
    } catch (const std::system_error &e) {
        // Out of threads, as under a user slice's task limit: the timer tries again.
        logger::warn(QStringLiteral("Reconnect attempt not started: %1; trying again")
                         .arg(QString::fromLocal8Bit(e.what())));
    }
}

void Reconnector::finished()
{
    std::unique_ptr<ClientIPC> client;
    QString untrusted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client = std::move(result_);
        untrusted = untrusted_;
    }
    if (!active_)
        return; // given up or stopped meanwhile: the client closes here
    if (client) {
        stop();
        emit connected(client.release());
        return;
    }
    // A listener of another user on the port: refused, said once while it stays, and tried on.
    if (!untrusted.isEmpty() && untrusted != refused_)
        logger::warn(untrusted + QStringLiteral("; trying again"));
    refused_ = untrusted;
}

void Reconnector::join()
{
    if (worker_.joinable())
        worker_.join();
}
