#pragma once

// The record format of the file and stderr: "YYYY-MM-DD HH:MM:SS.mmm LEVEL [thread] text", with
// the level names the log has always used and the thread's name where it has one.

#include <spdlog/formatter.h>

#include <memory>

namespace logger {

std::unique_ptr<spdlog::formatter> makeFormatter();

} // namespace logger
