#pragma once

// Collects what the agent logs while it is in scope, for assertions on log lines.

#include "agent/log/log.h"

#include <QString>
#include <QStringList>

#include <spdlog/sinks/base_sink.h>

#include <memory>
#include <mutex>

class LogCapture
{
public:
    struct Record
    {
        logger::Level level;
        QString text;
    };

    LogCapture() : sink_(std::make_shared<Sink>()) { logger::addSink(sink_); }
    ~LogCapture() { logger::removeSink(sink_); }

    std::vector<Record> records() const
    {
        std::lock_guard<std::mutex> lock(sink_->recordsMutex);
        return sink_->records;
    }
    // Texts of the records at `level`, oldest first.
    QStringList texts(logger::Level level) const
    {
        QStringList out;
        for (const auto &r : records())
            if (r.level == level)
                out << r.text;
        return out;
    }
    QStringList allTexts() const
    {
        QStringList out;
        for (const auto &r : records())
            out << r.text;
        return out;
    }
    int count(const QString &text) const { return allTexts().count(text); }
    int countStartingWith(const QString &prefix) const
    {
        int n = 0;
        for (const auto &t : allTexts())
            n += t.startsWith(prefix) ? 1 : 0;
        return n;
    }
    QStringList formattedLines() const
    {
        std::lock_guard<std::mutex> lock(sink_->recordsMutex);
        return sink_->lines;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(sink_->recordsMutex);
        sink_->records.clear();
        sink_->lines.clear();
    }

private:
    struct Sink : spdlog::sinks::base_sink<std::mutex>
    {
        mutable std::mutex recordsMutex;
        std::vector<Record> records;
        QStringList lines;

    protected:
        void sink_it_(const spdlog::details::log_msg &msg) override
        {
            spdlog::memory_buf_t formatted;
            formatter_->format(msg, formatted);
            logger::Level level = logger::Level::Error;
            switch (msg.level) {
            case spdlog::level::trace:
            case spdlog::level::debug:
                level = logger::Level::Debug;
                break;
            case spdlog::level::info:
                level = logger::Level::Info;
                break;
            case spdlog::level::warn:
                level = logger::Level::Warn;
                break;
            default:
                break;
            }
            std::lock_guard<std::mutex> lock(recordsMutex);
            records.push_back(
                {level, QString::fromUtf8(msg.payload.data(), int(msg.payload.size()))});
            lines << QString::fromUtf8(formatted.data(), int(formatted.size())).trimmed();
        }
        void flush_() override {}
    };
    std::shared_ptr<Sink> sink_;
};
