// One channel shared by several host threads: each exchange keeps its
// request and its reply together and moves the counter once.
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ChannelFixture.h"

namespace oamtest {
namespace {

// "NAME=" value of a request, up to its ";".
std::string Field(const std::string& text, const std::string& name) {
    size_t at = text.find(name + "=");
    if (at == std::string::npos) return std::string();
    at += name.size() + 1;
    return text.substr(at, text.find(';', at) - at);
}

TEST(Concurrency, FourThreadsShareOneChannel) {
    const int kThreads = 4, kEach = 1000;
    // Echo the request's session number and token.
    FakeServer server(FakeServer::Responder([](const std::string& req, int, int) {
        return Action::reply("SESSIONID=" + Field(req, "SESSIONID") + ";RETURNCODE=0;Token=" + Field(req, "Token") +
                             ";");
    }));
    LogCapture log;
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));

    std::vector<int> mismatches(kThreads, 0), failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string token = std::to_string(t) + "-" + std::to_string(i);
                CString reply;
                int r = channel.SendCommand(std::to_string(t).c_str(), "Echo", ("Token=" + token + ";").c_str(), reply);
                if (r != 0) ++failures[static_cast<size_t>(t)];
                if (reply.str() != "Token=" + token + ";") ++mismatches[static_cast<size_t>(t)];
            }
        });
    }
    for (auto& th : threads) th.join();

    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[static_cast<size_t>(t)], 0) << "thread " << t;
        EXPECT_EQ(mismatches[static_cast<size_t>(t)], 0) << "thread " << t;
    }
    // Every number from 0 on was sent exactly once, and the server answered
    // each with the number it carried.
    std::vector<std::string> reqs = server.requests();
    ASSERT_EQ(reqs.size(), static_cast<size_t>(kThreads * kEach));
    std::set<int> sessions;
    for (const std::string& r : reqs) sessions.insert(std::stoi(Field(r, "SESSIONID")));
    EXPECT_EQ(sessions.size(), reqs.size());
    EXPECT_EQ(*sessions.begin(), 0);
    EXPECT_EQ(*sessions.rbegin(), kThreads * kEach - 1);
    EXPECT_EQ(log.count(CFunction::SinkR, ""), 0);
    EXPECT_EQ(channel.SendCommand("0", "Echo", "Token=last;"), 0);
    EXPECT_EQ(Field(server.requests().back(), "SESSIONID"), std::to_string(kThreads * kEach));
}

}  // namespace
}  // namespace oamtest
