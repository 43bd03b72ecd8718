#pragma once

#include <QString>

#include <exception>
#include <functional>

namespace utils {

// "Type: message" for an exception, for log lines.
QString exceptionToMessage(const std::exception &error);
// The same for an exception held in a pointer (e.g. std::current_exception()).
QString exceptionToMessage(std::exception_ptr error);

// Runs `work`; what it throws is logged at error level as "<what> failed: ..." and goes no
// further. For slots and thread entries, which nothing above them may be left to unwind.
void guarded(const char *what, const std::function<void()> &work) noexcept;

// "True" / "False", the way log lines write booleans.
QString boolText(bool value);

} // namespace utils
