#include "SessionProcess.h"

#include "childsetup.h"

#include <unistd.h>

namespace {

void prepareChild()
{
    ::setsid();
    childsetup::resetSignals();
}

} // namespace

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
SessionProcess::SessionProcess()
{
    setChildProcessModifier(prepareChild);
}
#else
SessionProcess::SessionProcess() = default;

void SessionProcess::setupChildProcess()
{
    prepareChild();
}
#endif
