#include "JournalSink.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <string>
#include <vector>

namespace logger {

namespace {

thread_local const Fields *recordFields = nullptr;

} // namespace

JournalSink::RecordFields::RecordFields(const Fields &fields)
{
    recordFields = fields.empty() ? nullptr : &fields;
}

JournalSink::RecordFields::~RecordFields()
{
    recordFields = nullptr;
}

JournalSink::JournalSink() : spdlog::sinks::systemd_sink_mt(kJournalIdentifier) {}

void JournalSink::setField(const QByteArray &name, const QString &value)
{
    std::lock_guard<std::mutex> lock(base_sink<std::mutex>::mutex_);
    if (value.isEmpty())
        always_.erase(name);
    else
        always_[name] = value.toUtf8();
}

void JournalSink::sink_it_(const spdlog::details::log_msg &msg)
{
    if (!recordFields && always_.empty()) {
        spdlog::sinks::systemd_sink_mt::sink_it_(msg);
        return;
    }
    std::vector<std::string> items;
    items.push_back("MESSAGE=" + std::string(msg.payload.data(), msg.payload.size()));
    items.push_back("PRIORITY=" + std::to_string(syslog_level(msg.level)));
    items.push_back("SYSLOG_IDENTIFIER=" + ident_);
    for (const auto &[name, value] : always_)
        items.push_back((name + '=' + value).toStdString());
    if (recordFields)
        for (const auto &[name, value] : *recordFields)
            items.push_back((name + '=' + value.toUtf8()).toStdString());
    std::vector<iovec> vector;
    for (std::string &item : items)
        vector.push_back({item.data(), item.size()});
    if (sd_journal_sendv(vector.data(), int(vector.size())) < 0)
        spdlog::throw_spdlog_ex("Failed writing to systemd", errno);
}

} // namespace logger
