#pragma once

#include <QObject>

#include <atomic>

class QSocketNotifier;

// Carries SIGTERM from the signal context to the main thread: the handler only writes a byte to
// a self-pipe, and a QSocketNotifier on the other end emits received() from the event loop.
// SIGHUP is taken the same way: systemd sends it right after SIGTERM to every process of a
// session it stops, and its default action would end the agent before it could say so.
class SigTermNotifier : public QObject
{
    Q_OBJECT
public:
    explicit SigTermNotifier(QObject *parent = nullptr);
    ~SigTermNotifier() override;

    // Installs the handler; returns false if the pipe or handler could not be set up. While
    // `carryFrom` reads false, the signals keep their default action: the process ends at once,
    // which is right before there is anything to announce.
    bool install(const std::atomic<bool> *carryFrom = nullptr);

signals:
    // The first of the signals that came since the last emission.
    void received(int signal);

private:
    void drain();
    QSocketNotifier *notifier_ = nullptr;
};
