#pragma once

// service_sim/ plays the service's side of the link, for trying the agent and for tests.

#include <QObject>
#include <QString>

#include <optional>

class ServerIPC;
class QSocketNotifier;
class QTextStream;

// A stand-in for the product's agent service: serves the link on 127.0.0.1, prints one JSON line
// per event on stdout, answers information requests with a fixed policy and takes commands from
// stdin, one a line.
class ServiceSimulator : public QObject
{
    Q_OBJECT
public:
    struct Policy
    {
        std::optional<qint64> idle;
        std::optional<qint64> maxSession;
    };

    ServiceSimulator(const Policy &policy, QObject *parent = nullptr);

    bool listen(quint16 port);
    QString errorString() const;

    // Runs one command line; returns an error text, empty on success.
    QString execute(const QString &line);

signals:
    void quitRequested();

private:
    void printEvent(const QString &name, const QString &key = {}, const QString &value = {});
    void readStdin();

    Policy policy_;
    ServerIPC *server_;
    QSocketNotifier *stdinNotifier_ = nullptr;
    QByteArray stdinBuffer_;
};
