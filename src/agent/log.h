#pragma once

// The agent's logger: one record a line, "YYYY-MM-DD HH:MM:SS.mmm LEVEL [thread] text", to the
// log file and to stderr. Safe to call from any thread at any time, also before init() (then to
// stderr only) and before the Qt application object exists.

#include <QString>

#include <exception>
#include <memory>

namespace spdlog::sinks {
class sink;
}

namespace logger {

enum class Level { Debug, Info, Warn, Error };

struct Settings
{
    QString file; // empty: stderr only
    Level level = Level::Info;
    qint64 maxBytes = 5 * 1024 * 1024;
    int maxFiles = 3; // the live file and two rotated ones
    bool toStderr = true;
};

// Replaces the destinations and level. Returns false (and logs to stderr) when the file could
// not be opened; logging then goes on to stderr.
bool init(const Settings &settings);

bool enabled(Level level);
void setLevel(Level level);
// Parses "DEBUG", "info", "warning"...; returns false for an unknown name.
bool parseLevel(const QString &name, Level *level);

void debug(const QString &text);
void info(const QString &text);
void warn(const QString &text);
void error(const QString &text);
void error(const std::exception &failure);
// An ERROR record of the exception being handled (its type and message); call from a catch block.
void exception();

void flush();

// Extra destination, e.g. for tests that read what was logged.
void addSink(std::shared_ptr<spdlog::sinks::sink> sink);
void removeSink(const std::shared_ptr<spdlog::sinks::sink> &sink);

} // namespace logger
