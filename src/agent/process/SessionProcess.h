#pragma once

#include <QProcess>

// A QProcess whose child starts as if from a fresh login: a session of its own, so that a
// time-out or shutdown ends it with its children, default signal handling and nothing blocked,
// whatever the agent has set up for itself. Qt 5 runs such set-up in an override and Qt 6 in a
// modifier: this class is the one place that knows.
class SessionProcess : public QProcess
{
public:
    SessionProcess();

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif
};
