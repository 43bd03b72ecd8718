#pragma once

// log/ is the agent's record: the logger, its file and journal sinks, and the names of events
// and end causes.

// The agent's logger: one record a line, "YYYY-MM-DD HH:MM:SS.mmm LEVEL [thread] text", to the
// log file and to stderr, and to the systemd journal as an entry of its own (the same text, the
// level as PRIORITY, SYSLOG_IDENTIFIER=brimvault-agent-user, and the fields given with it). Safe
// to call from any thread at any time, also before init() (then to stderr only) and before the
// Qt application object exists.

#include <QByteArray>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace spdlog::sinks {
class sink;
}

namespace logger {

enum class Level { Debug, Info, Warn, Error };

constexpr const char *kJournalIdentifier = "brimvault-agent-user";

// How large the log file grows before it is rotated, unless LOG_MAX_BYTES says otherwise.
constexpr qint64 kDefaultMaxBytes = 5 * 1024 * 1024;

struct Settings
{
    QString file; // empty: no file
    Level level = Level::Info;
    qint64 maxBytes = kDefaultMaxBytes;
    int maxFiles = 3; // the live file and two rotated ones
    bool toStderr = true;
    bool toJournal = false;
};

// Journal fields of one record, to query by (events.h names them).
using Fields = std::vector<std::pair<QByteArray, QString>>;

// The journal's socket, where journald listens; whether it is there to be written to.
QString journalSocket();
bool journalAvailable();

// A field every later journal entry carries (BRIMVAULT_SESSION); an empty value removes it.
void setJournalField(const QByteArray &name, const QString &value);

// Replaces the destinations and level. Returns false (and logs to stderr) when the file could
// not be opened; logging then goes on to stderr.
bool init(const Settings &settings);

bool enabled(Level level);
void setLevel(Level level);
// Parses "DEBUG", "info", "warning"...; returns false for an unknown name.
bool parseLevel(const QString &name, Level *level);

void debug(const QString &text);
void info(const QString &text, const Fields &fields = {});
void warn(const QString &text, const Fields &fields = {});
void error(const QString &text, const Fields &fields = {});
// An ERROR record of the exception being handled (its type and message); call from a catch block.
void exception();

void flush();

// Runs `work`; what it throws is logged at error level as "<what> failed: ..." and goes no
// further. For slots and thread entries, which nothing above them may be left to unwind.
void guarded(const char *what, const std::function<void()> &work) noexcept;

// Extra destination, e.g. for tests that read what was logged.
void addSink(std::shared_ptr<spdlog::sinks::sink> sink);
void removeSink(const std::shared_ptr<spdlog::sinks::sink> &sink);

} // namespace logger
