#pragma once

// check/ is the check program, which asks the agent's own code what it would do here.

#include <QJsonObject>
#include <QString>
#include <QVector>

// Whether an agent could run and enforce the session limits in this session: one finding per
// concern, in a fixed order. Looks only; it changes nothing (no login or logout at the service,
// no X screensaver settings, no lock).
class SessionCheck
{
public:
    enum class Status { Ok, Warn, Fail };
    struct Finding
    {
        QString name;
        Status status;
        QString detail;
    };

    // Runs every check, in order; needs the application object for the event loop.
    QVector<Finding> run();

    static QString statusText(Status status);
    // "NAME: STATUS detail", a line each.
    static QString text(const QVector<Finding> &findings);
    static QJsonObject json(const QVector<Finding> &findings);
    // 0 when nothing failed, else 1.
    static int exitStatus(const QVector<Finding> &findings);

    static constexpr int kAnswerTimeoutMs = 5000;

private:
    Finding configuration();
    Finding record(); // where the agent's record goes
    Finding service();
    Finding tray();
    Finding idle();
    Finding inhibitors();
    Finding logoff();
    Finding instance();
};
