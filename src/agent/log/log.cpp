#include "log.h"

#include "JournalSink.h"
#include "RecordFormat.h"

#include "agent/base/utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace logger {

namespace {

spdlog::level::level_enum toSpd(Level level)
{
    switch (level) {
    case Level::Debug:
        return spdlog::level::debug;
    case Level::Info:
        return spdlog::level::info;
    case Level::Warn:
        return spdlog::level::warn;
    case Level::Error:
        return spdlog::level::err;
    }
    return spdlog::level::info;
}

struct State
{
    std::mutex mutex; // guards replacing the logger, not logging itself (spdlog's sinks lock)
    std::shared_ptr<spdlog::logger> log;
    std::vector<std::shared_ptr<spdlog::sinks::sink>> extra;
    std::shared_ptr<spdlog::sinks::sink> file;
    std::shared_ptr<JournalSink> journal;
    bool toStderr = true;
    std::atomic<int> level{static_cast<int>(spdlog::level::info)};
};

State &state()
{
    static State *s = [] {
        // Never destroyed: threads may still log while static destructors run at exit.
        auto *st = new State;
        return st;
    }();
    return *s;
}

// Rebuilds the logger from the current sinks; caller holds the mutex.
void rebuild(State &st)
{
    std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks;
    if (st.toStderr)
        sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    if (st.file)
        sinks.push_back(st.file);
    if (st.journal)
        sinks.push_back(st.journal);
    sinks.insert(sinks.end(), st.extra.begin(), st.extra.end());
    auto log = std::make_shared<spdlog::logger>("agent", sinks.begin(), sinks.end());
    log->set_formatter(makeFormatter());
    log->set_level(static_cast<spdlog::level::level_enum>(st.level.load()));
    log->flush_on(spdlog::level::debug);
    std::atomic_store(&st.log, log);
}

std::shared_ptr<spdlog::logger> current()
{
    State &st = state();
    auto log = std::atomic_load(&st.log);
    if (!log) {
        std::lock_guard<std::mutex> lock(st.mutex);
        if (!st.log)
            rebuild(st);
        log = st.log;
    }
    return log;
}

void write(spdlog::level::level_enum level, const QString &text, const Fields &fields = {})
{
    if (level < state().level.load(std::memory_order_relaxed))
        return;
    const QByteArray utf8 = text.toUtf8();
    const JournalSink::RecordFields withFields(fields);
    try {
        current()->log(
            level, spdlog::string_view_t(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    } catch (...) {
        // A logger must never take the caller down; the record is lost.
    }
}

} // namespace

namespace {

// Creates the missing folders of `path`, each readable by its owner only; existing ones are left
// as they are.
void makePrivateDirectories(const QString &path)
{
    QStringList missing;
    QString dir = QDir::cleanPath(path);
    while (!dir.isEmpty() && !QFileInfo::exists(dir)) {
        missing.prepend(dir);
        const QString parent = QFileInfo(dir).path();
        if (parent == dir)
            break;
        dir = parent;
    }
    for (const QString &d : missing)
        ::mkdir(QFile::encodeName(d).constData(), 0700);
}

} // namespace

bool init(const Settings &settings)
{
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.level = static_cast<int>(toSpd(settings.level));
    st.toStderr = settings.toStderr;
    st.file.reset();
    if (!settings.toJournal)
        st.journal.reset();
    else if (!st.journal)
        st.journal = std::make_shared<JournalSink>();
    bool ok = true;
    if (!settings.file.isEmpty()) {
        try {
            makePrivateDirectories(QFileInfo(settings.file).absolutePath());
            // The log holds service messages and script errors, and home folders are often
            // world-readable: every file the sink opens, the rotated ones' successors too, is
            // made private before anything is written to it.
            spdlog::file_event_handlers handlers;
            // Nor may scripts and the logoff command inherit it.
            handlers.after_open = [](const spdlog::filename_t &, std::FILE *file) {
                ::fchmod(::fileno(file), 0600);
                ::fcntl(::fileno(file), F_SETFD, FD_CLOEXEC);
            };
            st.file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                settings.file.toStdString(),
                static_cast<std::size_t>(std::max<qint64>(settings.maxBytes, 1024)),
                static_cast<std::size_t>(std::max(settings.maxFiles - 1, 0)), false, handlers);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "Cannot open log file %s: %s; logging to stderr only\n",
                         settings.file.toLocal8Bit().constData(), e.what());
            ok = false;
        }
    }
    rebuild(st);
    return ok;
}

bool enabled(Level level)
{
    return toSpd(level) >= state().level.load(std::memory_order_relaxed);
}

void setLevel(Level level)
{
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.level = static_cast<int>(toSpd(level));
    if (st.log)
        st.log->set_level(toSpd(level));
}

bool parseLevel(const QString &name, Level *level)
{
    const QString n = name.trimmed().toUpper();
    if (n == QLatin1String("DEBUG"))
        *level = Level::Debug;
    else if (n == QLatin1String("INFO"))
        *level = Level::Info;
    else if (n == QLatin1String("WARN") || n == QLatin1String("WARNING"))
        *level = Level::Warn;
    else if (n == QLatin1String("ERROR"))
        *level = Level::Error;
    else
        return false;
    return true;
}

void debug(const QString &text)
{
    write(spdlog::level::debug, text);
}
void info(const QString &text, const Fields &fields)
{
    write(spdlog::level::info, text, fields);
}
void warn(const QString &text, const Fields &fields)
{
    write(spdlog::level::warn, text, fields);
}
void error(const QString &text, const Fields &fields)
{
    write(spdlog::level::err, text, fields);
}

QString journalSocket()
{
    return QStringLiteral("/run/systemd/journal/socket");
}

bool journalAvailable()
{
    return ::access(QFile::encodeName(journalSocket()).constData(), W_OK) == 0;
}

void setJournalField(const QByteArray &name, const QString &value)
{
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.journal)
        st.journal->setField(name, value);
}

void exception()
{
    write(spdlog::level::err, utils::exceptionToMessage(std::current_exception()));
}

void flush()
{
    try {
        current()->flush();
    } catch (...) {
    }
}

void guarded(const char *what, const std::function<void()> &work) noexcept
{
    try {
        work();
    } catch (...) {
        error(QStringLiteral("%1 failed: %2")
                  .arg(QLatin1String(what), utils::exceptionToMessage(std::current_exception())));
    }
}

void addSink(std::shared_ptr<spdlog::sinks::sink> sink)
{
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.extra.push_back(std::move(sink));
    rebuild(st);
}

void removeSink(const std::shared_ptr<spdlog::sinks::sink> &sink)
{
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.extra.erase(std::remove(st.extra.begin(), st.extra.end(), sink), st.extra.end());
    rebuild(st);
}

} // namespace logger
