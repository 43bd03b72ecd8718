#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// One place that knows the session's idle inhibitors (a video call, a presentation). Read only
// under IDLE_INHIBITORS = honour.
class InhibitorReader
{
public:
    virtual ~InhibitorReader() = default;
    virtual QString name() const = 0;
    // The inhibitors active now, each as "who: why" where the reader says (else its own name);
    // nothing with `why` said when it does not answer.
    virtual std::optional<QStringList> active(QString *why) = 0;
};
