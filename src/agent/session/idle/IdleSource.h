#pragma once

#include <QString>

#include <optional>

// One way to learn how long the user has been idle. The chain that tries them in order is
// IdleTime's.
class IdleSource
{
public:
    virtual ~IdleSource() = default;
    // Short, in the text that says why no source answered: "X11", "Mutter", ...
    virtual QString label() const = 0;
    // In the log line of the source in use: "the XScreenSaver extension", ...
    virtual QString name() const = 0;
    // Seconds since the user's last input, or nothing with `why` said.
    virtual std::optional<double> idleSeconds(QString *why) = 0;
    // Idle inhibitors (a video playing) hold this source's idle time at 0 whatever the agent's
    // policy: the compositor protocols whose only notification follows them.
    virtual bool followsInhibitors() const { return false; }
};
