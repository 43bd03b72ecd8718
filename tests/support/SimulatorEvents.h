#pragma once

// Reads the service simulator's JSON event lines from its stdout and waits for a named one.

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>

class SimulatorEvents
{
public:
    explicit SimulatorEvents(QProcess &simulator) : sim_(simulator) {}

    // The first not yet taken event called `name`, or an empty object after `timeoutMs`.
    QJsonObject wait(const QString &name, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            while (sim_.canReadLine())
                events_ << QJsonDocument::fromJson(sim_.readLine()).object();
            for (int i = 0; i < events_.size(); ++i)
                if (events_[i].value(QStringLiteral("event")).toString() == name)
                    return events_.takeAt(i);
            if (clock.elapsed() > timeoutMs)
                return {};
            sim_.waitForReadyRead(100);
        }
    }
    void clear() { events_.clear(); }

private:
    QProcess &sim_;
    QList<QJsonObject> events_;
};
