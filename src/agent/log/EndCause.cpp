#include "EndCause.h"

#include "events.h"

namespace logger {

namespace {

struct Text
{
    const char *sentence;
    const char *key;
};

Text text(EndCause cause)
{
    switch (cause) {
    case EndCause::ServiceLogoff:
        return {"logoff requested by the service", "service-logoff"};
    case EndCause::IdleLimit:
        return {"idle limit reached", "idle-limit"};
    case EndCause::SessionLimit:
        return {"session limit reached", "session-limit"};
    case EndCause::SigTerm:
        return {"SIGTERM received", "sigterm"};
    case EndCause::SigHup:
        return {"SIGHUP received", "sighup"};
    case EndCause::LinkLost:
        return {"connection to the service lost", "link-lost"};
    case EndCause::DisplayLost:
        return {"the display connection was lost", "display-lost"};
    case EndCause::CompositorLost:
        return {"the Wayland compositor went away", "compositor-lost"};
    case EndCause::LibraryExit:
        return {"a library ended the process while it was running", "library-exit"};
    case EndCause::Quit:
        break;
    }
    return {"the application was asked to quit", "quit"};
}

} // namespace

void ending(EndCause cause)
{
    const Text t = text(cause);
    info(QStringLiteral("Ending: %1").arg(QLatin1String(t.sentence)),
         event(events::kEnding, {{fields::kCause, QString::fromLatin1(t.key)}}));
}

} // namespace logger
