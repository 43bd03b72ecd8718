#include "RecordFormat.h"

#include <QString>
#include <QThread>

#include <spdlog/pattern_formatter.h>

namespace logger {

namespace {

// Level names of the record format, which differ from spdlog's own.
class LevelFlag : public spdlog::custom_flag_formatter
{
public:
    void format(const spdlog::details::log_msg &msg, const std::tm &,
                spdlog::memory_buf_t &dest) override
    {
        const char *name = "INFO";
        switch (msg.level) {
        case spdlog::level::trace:
        case spdlog::level::debug:
            name = "DEBUG";
            break;
        case spdlog::level::info:
            name = "INFO";
            break;
        case spdlog::level::warn:
            name = "WARN";
            break;
        default:
            name = "ERROR";
            break;
        }
        dest.append(name, name + std::char_traits<char>::length(name));
    }
    std::unique_ptr<custom_flag_formatter> clone() const override
    {
        return std::make_unique<LevelFlag>();
    }
};

// The QThread object name where one is set ("main", "link"...), else the kernel thread id.
class ThreadFlag : public spdlog::custom_flag_formatter
{
public:
    void format(const spdlog::details::log_msg &msg, const std::tm &,
                spdlog::memory_buf_t &dest) override
    {
        QThread *thread = QThread::currentThread();
        const QString name = thread ? thread->objectName() : QString();
        if (!name.isEmpty()) {
            const QByteArray utf8 = name.toUtf8();
            dest.append(utf8.constData(), utf8.constData() + utf8.size());
        } else {
            fmt::format_to(std::back_inserter(dest), "{}", msg.thread_id);
        }
    }
    std::unique_ptr<custom_flag_formatter> clone() const override
    {
        return std::make_unique<ThreadFlag>();
    }
};

} // namespace

std::unique_ptr<spdlog::formatter> makeFormatter()
{
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<LevelFlag>('*');
    formatter->add_flag<ThreadFlag>('&');
    formatter->set_pattern("%Y-%m-%d %H:%M:%S.%e %* [%&] %v");
    return formatter;
}

} // namespace logger
