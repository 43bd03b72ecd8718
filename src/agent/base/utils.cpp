#include "utils.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace utils {

namespace {

QString demangle(const char *name)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> readable(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return QString::fromUtf8(status == 0 && readable ? readable.get() : name);
}

} // namespace

QString exceptionToMessage(const std::exception &error)
{
    return QStringLiteral("%1: %2").arg(demangle(typeid(error).name()),
                                        QString::fromUtf8(error.what()));
}

QString exceptionToMessage(std::exception_ptr error)
{
    if (!error)
        return QStringLiteral("no exception");
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return exceptionToMessage(e);
    } catch (...) {
        const std::type_info *type = abi::__cxa_current_exception_type();
        return QStringLiteral("%1: unknown error")
            .arg(type ? demangle(type->name()) : QStringLiteral("unknown"));
    }
}

QString boolText(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

} // namespace utils
