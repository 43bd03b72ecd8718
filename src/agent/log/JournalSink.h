#pragma once

#include "log.h"

#include <QByteArray>
#include <QString>

#include <spdlog/sinks/systemd_sink.h>

#include <map>

namespace logger {

// spdlog's journal sink, with fields to query by: records that carry fields, and the fields
// every record carries, go out through sd_journal_sendv with them; the rest as spdlog sends them.
// The logger writes synchronously, so a record's fields are handed over on the writing thread.
class JournalSink : public spdlog::sinks::systemd_sink_mt
{
public:
    JournalSink();

    // A field every later record carries; an empty value removes it.
    void setField(const QByteArray &name, const QString &value);

    // The fields of the record being written on this thread, while it lives.
    class RecordFields
    {
    public:
        explicit RecordFields(const Fields &fields);
        ~RecordFields();
        RecordFields(const RecordFields &) = delete;
        RecordFields &operator=(const RecordFields &) = delete;
    };

protected:
    void sink_it_(const spdlog::details::log_msg &msg) override;

private:
    std::map<QByteArray, QByteArray> always_;
};

} // namespace logger
