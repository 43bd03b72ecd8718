#include "Reconnector.h"

#include "MessagesProcessor.h"

#include "agent/ClientIPC.h"
#include "agent/log.h"

#include <QThread>

Reconnector::Reconnector(QObject *parent) : QObject(parent)
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
    active_ = true;
    refused_.clear();
    clock_.start();
    retry_.start();
    attempt(); // a restarted service may be back already
}

void Reconnector::stop()
{
    active_ = false;
    retry_.stop();
}

void Reconnector::attempt()
{
    if (!active_)
        return;
    if (clock_.elapsed() >= qint64(seconds_) * 1000) {
        stop();
        emit gaveUp();
        return;
    }
    if (busy_)
        return;
    join();
    busy_ = true;
    worker_ = std::thread([this] {
        QThread::currentThread()->setObjectName(QStringLiteral("reconnect")); // for the log
        QString why, untrusted; // why: said at debug level by connectOnce
        std::unique_ptr<ClientIPC> client = MessagesProcessor::connectOnce(&why, &untrusted);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            result_ = std::move(client);
            untrusted_ = untrusted;
        }
        // Dropped if this object is gone by then; its destructor waits for this thread first.
        QMetaObject::invokeMethod(this, &Reconnector::finished, Qt::QueuedConnection);
    });
}

void Reconnector::finished()
{
    join();
    busy_ = false;
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
