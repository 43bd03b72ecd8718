#pragma once

// Runs a blocking call on another thread while this thread keeps its event loop going, so that
// a server living here can answer the call.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <future>
#include <stdexcept>

template <typename F> auto spinWhile(F call, int timeoutMs = 10000)
{
    auto future = std::async(std::launch::async, call);
    QElapsedTimer clock;
    clock.start();
    while (future.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (clock.elapsed() > timeoutMs)
            throw std::runtime_error("blocking call did not return in time");
    }
    return future.get();
}
