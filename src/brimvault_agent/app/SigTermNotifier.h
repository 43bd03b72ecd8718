#pragma once

#include <QObject>

#include <atomic>

class QSocketNotifier;

// Carries SIGTERM from the signal context to the main thread: the handler only writes a byte to
// a self-pipe, and a QSocketNotifier on the other end emits received() from the event loop.
class SigTermNotifier : public QObject
{
    Q_OBJECT
public:
    explicit SigTermNotifier(QObject *parent = nullptr);
    ~SigTermNotifier() override;

    // Installs the SIGTERM handler; returns false if the pipe or handler could not be set up.
    // While `carryFrom` reads false, SIGTERM keeps its default action: the process ends at once,
    // which is right before there is anything to announce.
    bool install(const std::atomic<bool> *carryFrom = nullptr);

signals:
    void received();

private:
    void drain();
    QSocketNotifier *notifier_ = nullptr;
};
