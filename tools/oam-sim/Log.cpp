#include "Log.h"

#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace oamsim {

namespace {
std::atomic<int> g_level{static_cast<int>(LogLevel::Normal)};
std::mutex g_mutex;

void Write(const char* tag, const std::string& line) {
    timeval tv;
    gettimeofday(&tv, nullptr);
    std::tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  static_cast<int>(tv.tv_usec / 1000));
    std::lock_guard<std::mutex> lock(g_mutex);
    std::fprintf(stderr, "oam-sim %s %s%s\n", stamp, tag, line.c_str());
    std::fflush(stderr);
}
}  // namespace

void SetLogLevel(LogLevel level) {
    g_level = static_cast<int>(level);
}

LogLevel GetLogLevel() {
    return static_cast<LogLevel>(g_level.load());
}

void LogEvent(const std::string& line) {
    if (g_level >= static_cast<int>(LogLevel::Normal)) Write("", line);
}

void LogDetail(const std::string& line) {
    if (g_level >= static_cast<int>(LogLevel::Verbose)) Write("", line);
}

void LogError(const std::string& line) {
    Write("error: ", line);
}

std::string Excerpt(const std::string& bytes, size_t max) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (bytes.size() > max) out += "...(" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

}  // namespace oamsim
