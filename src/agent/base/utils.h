#pragma once

#include <QString>

#include <exception>

namespace utils {

// "Type: message" for an exception, for log lines.
QString exceptionToMessage(const std::exception &error);
// The same for an exception held in a pointer (e.g. std::current_exception()).
QString exceptionToMessage(std::exception_ptr error);

// "True" / "False", the way log lines write booleans.
QString boolText(bool value);

} // namespace utils
