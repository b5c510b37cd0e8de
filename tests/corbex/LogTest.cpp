// The two log sinks: hooks see exactly their sink's messages, one call per
// message and never a mixed line under concurrent writers; files appear in
// OAMSDK_LOG_DIR with one time-stamped line per message.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Corbex.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

struct Captured {
    std::mutex lock;
    std::vector<std::pair<int, std::string>> lines;
    std::vector<std::string> Of(int sink) {
        std::lock_guard<std::mutex> g(lock);
        std::vector<std::string> r;
        for (auto& l : lines)
            if (l.first == sink) r.push_back(l.second);
        return r;
    }
};

void Capture(int sink, const char* line, void* user) {
    auto* c = static_cast<Captured*>(user);
    std::lock_guard<std::mutex> g(c->lock);
    c->lines.emplace_back(sink, line);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { oamtest::UnsetEnv("OAMSDK_LOG_DIR"); }
    void TearDown() override {
        CFunction::SetSinkHook(CFunction::SinkR, nullptr, nullptr);
        CFunction::SetSinkHook(CFunction::SinkD, nullptr, nullptr);
        oamtest::UnsetEnv("OAMSDK_LOG_DIR");
        if (!dir_.empty()) {
            unlink((dir_ + "/oamsdk-r.log").c_str());
            unlink((dir_ + "/oamsdk-d.log").c_str());
            rmdir(dir_.c_str());
        }
    }
    void Hook() {
        CFunction::SetSinkHook(CFunction::SinkR, Capture, &cap_);
        CFunction::SetSinkHook(CFunction::SinkD, Capture, &cap_);
    }
    std::string LogDir() {
        dir_ = oamtest::MakeTempDir("oamsdk-log");
        oamtest::SetEnv("OAMSDK_LOG_DIR", dir_.c_str());
        return dir_;
    }
    std::vector<std::string> FileLines(const char* name) {
        std::ifstream in(dir_ + "/" + name);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    Captured cap_;
    std::string dir_;
};

TEST_F(LogTest, EachSinkReachesOnlyItsHookExactlyAsFormatted) {
    Hook();
    CFunction::RLog("Ret Session error,Need:%d ret:%d", 7, 8);
    CFunction::DLog("Send Command:%s", "SESSIONID=1;CMD=Login;");
    CFunction::DLog("Socket Error:%d,%s", 10054, "Connection reset by peer");
    EXPECT_EQ(std::vector<std::string>{"Ret Session error,Need:7 ret:8"}, cap_.Of(CFunction::SinkR));
    EXPECT_EQ((std::vector<std::string>{"Send Command:SESSIONID=1;CMD=Login;", "Socket Error:10054,Connection reset by peer"}),
              cap_.Of(CFunction::SinkD));
}

// A failure is logged right after it happens: the hook and the caller
// still find its code as the thread's error (on Windows the system's last
// error, which the file and the locks on the way may overwrite).
void RecordError(int, const char*, void* user) {
    static_cast<std::vector<uint32_t>*>(user)->push_back(CorbexGetThreadError());
}

TEST_F(LogTest, TheThreadsErrorSurvivesLogging) {
    LogDir();
    std::vector<uint32_t> seen;
    CFunction::SetSinkHook(CFunction::SinkD, RecordError, &seen);
    for (uint32_t code : {10060u, 10054u}) {
        CorbexSetThreadError(code);
        CFunction::DLog("Command timeout:%u", code);
        EXPECT_EQ(code, CorbexGetThreadError());
        CorbexSetThreadError(code);
        CFunction::RLog("no hook on this sink");
        EXPECT_EQ(code, CorbexGetThreadError());
    }
    EXPECT_EQ((std::vector<uint32_t>{10060u, 10054u}), seen);
}

TEST_F(LogTest, RemovedHookIsNoLongerCalled) {
    Hook();
    CFunction::RLog("one");
    CFunction::SetSinkHook(CFunction::SinkR, nullptr, nullptr);
    CFunction::RLog("two");
    CFunction::DLog("three");
    EXPECT_EQ(std::vector<std::string>{"one"}, cap_.Of(CFunction::SinkR));
    EXPECT_EQ(std::vector<std::string>{"three"}, cap_.Of(CFunction::SinkD));
    CFunction::SetSinkHook(7, Capture, &cap_);  // no such sink: ignored
    CFunction::SetSinkHook(-1, Capture, &cap_);
}

TEST_F(LogTest, LongMessagesArriveWhole) {
    Hook();
    const std::string reply(60000, 'r');
    CFunction::DLog("Return:%s", reply.c_str());
    const std::string big(511, 'x');  // around the formatting buffer's size
    CFunction::DLog("%s", big.c_str());
    CFunction::DLog("%s!", big.c_str());
    ASSERT_EQ(3u, cap_.Of(CFunction::SinkD).size());
    EXPECT_EQ("Return:" + reply, cap_.Of(CFunction::SinkD)[0]);
    EXPECT_EQ(big, cap_.Of(CFunction::SinkD)[1]);
    EXPECT_EQ(big + "!", cap_.Of(CFunction::SinkD)[2]);
}

void Reenter(int, const char* line, void* user) {
    // Would re-enter the sink it is called from: dropped, no deadlock.
    CFunction::RLog("nested %s", line);
    CFunction::DLog("nested %s", line);
    Capture(CFunction::SinkR, line, user);
}

TEST_F(LogTest, HookThatLogsDoesNotDeadlock) {
    CFunction::SetSinkHook(CFunction::SinkR, Reenter, &cap_);
    CFunction::SetSinkHook(CFunction::SinkD, Reenter, &cap_);
    CFunction::RLog("outer");
    EXPECT_EQ(std::vector<std::string>{"outer"}, cap_.Of(CFunction::SinkR));
}

// A hook that waits for another thread which logs to the same sink (as a
// host's hook waiting on its UI thread while the channel logs under its
// lock): that thread's call returns, and its line follows in order.
struct Waiting {
    Captured cap;
    std::atomic<bool> otherReturned{false};
};

void WaitForOtherLogger(int sink, const char* line, void* user) {
    auto* w = static_cast<Waiting*>(user);
    Capture(sink, line, &w->cap);
    if (std::string(line) != "first") return;
    std::thread other([w] {
        CFunction::RLog("second");
        w->otherReturned = true;
    });
    for (int i = 0; i < 2000 && !w->otherReturned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    other.detach();  // bounded above; the test checks it returned
}

TEST_F(LogTest, HookMayWaitForAnotherThreadThatLogs) {
    Waiting w;
    CFunction::SetSinkHook(CFunction::SinkR, WaitForOtherLogger, &w);
    CFunction::RLog("first");
    EXPECT_TRUE(w.otherReturned) << "the other thread's log call waited for the hook";
    for (int i = 0; i < 5000 && !w.otherReturned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(w.otherReturned);
    CFunction::SetSinkHook(CFunction::SinkR, nullptr, nullptr);
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), w.cap.Of(CFunction::SinkR));
}

constexpr int kThreads = 4, kPerThread = 400;

void LogFromThreads() {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string pad(100 + t * 150, static_cast<char>('a' + t));
            for (int i = 0; i < kPerThread; ++i) CFunction::DLog("t%d n%d %s end", t, i, pad.c_str());
        });
    }
    for (auto& th : threads) th.join();
}

// Every line must be one whole message, and each writer's messages keep
// their order.
void ExpectWholeOrderedMessages(const std::vector<std::string>& lines, const std::string& prefixPattern) {
    ASSERT_EQ(static_cast<size_t>(kThreads * kPerThread), lines.size());
    const std::regex re(prefixPattern + "t([0-9]) n([0-9]+) ([a-z]+) end");
    int next[kThreads] = {};
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, re)) << l.substr(0, 200);
        const int t = std::stoi(m[1]);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(std::string(100 + t * 150, static_cast<char>('a' + t)), m[3].str());
        EXPECT_EQ(next[t]++, std::stoi(m[2]));
    }
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveInHook) {
    Hook();
    LogFromThreads();
    ExpectWholeOrderedMessages(cap_.Of(CFunction::SinkD), "");
}

TEST_F(LogTest, FilePerSinkWithTimeStampedLines) {
    LogDir();
    CFunction::RLog("Command timeout:%s", "SESSIONID=3;CMD=AllStation;");
    CFunction::DLog("Return:%s", "line one\r\nline two");
    CFunction::DLog("File received ok:%s", "a.bin");
    const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} \\[[0-9]+\\] ";
    const auto r = FileLines("oamsdk-r.log"), d = FileLines("oamsdk-d.log");
    ASSERT_EQ(1u, r.size());
    EXPECT_TRUE(std::regex_match(r[0], std::regex(stamp + "Command timeout:SESSIONID=3;CMD=AllStation;"))) << r[0];
    ASSERT_EQ(2u, d.size());
    EXPECT_TRUE(std::regex_match(d[0], std::regex(stamp + "Return:line one  line two"))) << d[0];
    EXPECT_TRUE(std::regex_match(d[1], std::regex(stamp + "File received ok:a.bin"))) << d[1];
}

TEST_F(LogTest, FileAndHookTogetherUnderConcurrentWriters) {
    LogDir();
    Hook();
    LogFromThreads();
    ExpectWholeOrderedMessages(FileLines("oamsdk-d.log"), ".*\\] ");
    ExpectWholeOrderedMessages(cap_.Of(CFunction::SinkD), "");
    EXPECT_TRUE(FileLines("oamsdk-r.log").empty());
}

TEST_F(LogTest, FollowsTheDirectoryAndSurvivesAMissingOne) {
    Hook();
    oamtest::SetEnv("OAMSDK_LOG_DIR", "/nonexistent/oamsdk-logs");
    CFunction::RLog("to nowhere");
    EXPECT_EQ(std::vector<std::string>{"to nowhere"}, cap_.Of(CFunction::SinkR));
    LogDir();
    CFunction::RLog("to the directory");
    const auto r = FileLines("oamsdk-r.log");
    ASSERT_EQ(1u, r.size());
    EXPECT_NE(std::string::npos, r[0].find("] to the directory"));
}

}  // namespace
}  // namespace oamtest
