#include "stuckthread.h"

#include "agent/log/log.h"

#include <cstdlib>

namespace stuckthread {

void endProcess(const QString &thread, int waitedMs)
{
    logger::error(QStringLiteral("The %1 thread did not end within %2 ms; ending the process")
                      .arg(thread)
                      .arg(waitedMs));
    logger::flush();
    std::_Exit(EXIT_FAILURE);
}

} // namespace stuckthread
