// Every line the library logs (both sinks, through Corbex's sink hooks)
// while a LogCapture lives. Needs Corbex.
#pragma once

#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "Corbex.h"

namespace oamtest {

class LogCapture {
public:
    struct Line {
        int sink;
        std::string text;
        bool operator==(const Line& o) const { return sink == o.sink && text == o.text; }
    };
    // Keep: every line is stored; CountOnly: lines are read and counted
    // only, for runs too long to keep them (fuzz targets).
    enum Mode { Keep, CountOnly };

    explicit LogCapture(Mode mode = Keep) : m_mode(mode) {
        CFunction::SetSinkHook(CFunction::SinkR, &LogCapture::Hook, this);
        CFunction::SetSinkHook(CFunction::SinkD, &LogCapture::Hook, this);
    }
    ~LogCapture() {
        CFunction::SetSinkHook(CFunction::SinkR, nullptr, nullptr);
        CFunction::SetSinkHook(CFunction::SinkD, nullptr, nullptr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_lines;
    }
    // The texts of one sink's lines.
    std::vector<std::string> texts(int sink) const {
        std::lock_guard<std::mutex> g(m_mutex);
        std::vector<std::string> out;
        for (const Line& l : m_lines)
            if (l.sink == sink) out.push_back(l.text);
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_lines.clear();
    }
    size_t total() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_total;
    }
    // Lines of one sink that start with prefix.
    int count(int sink, const std::string& prefix) const {
        std::lock_guard<std::mutex> g(m_mutex);
        int n = 0;
        for (const Line& l : m_lines)
            if (l.sink == sink && l.text.compare(0, prefix.size(), prefix) == 0) ++n;
        return n;
    }
    // Whether one sink has a line containing text (equal to it, with exact).
    bool logged(int sink, const std::string& text, bool exact = false) const {
        std::lock_guard<std::mutex> g(m_mutex);
        return has(sink, text, exact);
    }
    // Bounded wait for a line of one sink containing text.
    bool waitLogged(int sink, const std::string& text, int timeoutMs = 20000) const {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return has(sink, text, false); });
    }

private:
    bool has(int sink, const std::string& text, bool exact) const {
        for (const Line& l : m_lines)
            if (l.sink == sink && (exact ? l.text == text : l.text.find(text) != std::string::npos)) return true;
        return false;
    }
    static void Hook(int sink, const char* line, void* user) {
        LogCapture* self = static_cast<LogCapture*>(user);
        const size_t n = strlen(line);  // a line is a NUL-terminated text, always
        std::lock_guard<std::mutex> g(self->m_mutex);
        ++self->m_total;
        if (self->m_mode == Keep) self->m_lines.push_back(Line{sink, std::string(line, n)});
        self->m_cv.notify_all();
    }
    Mode m_mode;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<Line> m_lines;
    size_t m_total = 0;
};

inline std::ostream& operator<<(std::ostream& os, const LogCapture::Line& l) {
    return os << (l.sink == CFunction::SinkR ? "R:" : "D:") << l.text;
}

}  // namespace oamtest
