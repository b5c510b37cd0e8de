// One line per event on stderr, safe from any thread.
#pragma once

#include <string>

namespace oamsim {

enum class LogLevel { Quiet = 0, Normal = 1, Verbose = 2 };

void SetLogLevel(LogLevel level);
LogLevel GetLogLevel();
// Events (connections, commands, files, registrations, alarms).
void LogEvent(const std::string& line);
// Wire detail (every request and reply), only with --verbose.
void LogDetail(const std::string& line);
// Problems the operator must see even with --quiet.
void LogError(const std::string& line);

// Printable excerpt of untrusted bytes for a log line.
std::string Excerpt(const std::string& bytes, size_t max = 200);

}  // namespace oamsim
