// Self-tests of the fake server, with a plain client on the system's sockets.

#include <string>

#include <gtest/gtest.h>

#include "FakeServer.h"
#include "TestNet.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

class Client {
public:
    explicit Client(const FakeServer& s) {
        m_fd = static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(s.port());
        inet_pton(AF_INET, s.address().c_str(), &sa.sin_addr);
        m_ok = ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~Client() { net::Close(m_fd); }
    bool ok() const { return m_ok; }
    void send(const std::string& s) {
        ASSERT_EQ(::send(m_fd, s.data(), static_cast<int>(s.size()), net::kNoSignal), static_cast<long>(s.size()));
    }
    // Reads until n bytes arrived, EOF or an error; errno of the last read in err.
    std::string read(size_t n, int& err, int timeoutMs = 5000) {
        std::string out;
        err = 0;
        while (out.size() < n) {
            pollfd p{};
            p.fd = m_fd;
            p.events = POLLIN;
            if (net::Poll(&p, 1, timeoutMs) <= 0) break;
            char buf[65536];
            long r = ::recv(m_fd, buf, sizeof buf, 0);
            if (r < 0) err = net::LastError();
            if (r <= 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }

private:
    int m_fd;
    bool m_ok;
};

TEST(FakeServer, ScriptedRepliesAreDeliveredAndRequestsRecorded) {
    std::string zero("A\0B;", 4);
    std::string big = oamtest::Padded("SESSIONID=0;", 60000);
    FakeServer s({Action::reply("one;"), Action::split("two-parts;", 3, 10), Action::reply(zero),
                  Action::replyAfter(20, big), Action::none()});
    ASSERT_TRUE(s.ok());
    Client c(s);
    ASSERT_TRUE(c.ok());
    int err;
    struct Row {
        const char* request;
        std::string expected;
    } rows[] = {{"r0;", "one;"}, {"r1;", "two-parts;"}, {"r2;", zero}, {"r3;", big}};
    for (const Row& row : rows) {
        c.send(row.request);
        EXPECT_EQ(c.read(row.expected.size(), err), row.expected) << row.request;
    }
    c.send("r4;");
    ASSERT_TRUE(s.waitRequests(5));
    EXPECT_EQ(c.read(1, err, 100), "");
    EXPECT_EQ(s.received(0), "r0;r1;r2;r3;r4;");
    std::vector<std::string> want = {"r0;", "r1;", "r2;", "r3;", "r4;"};
    EXPECT_EQ(s.requests(), want);
}

TEST(FakeServer, CloseAndResetAreSeenByTheClient) {
    struct Row {
        Action action;
        int expectedErr;
    } rows[] = {{Action::close(), 0}, {Action::reset(), ECONNRESET}};
    for (const Row& row : rows) {
        if (row.expectedErr) {
            OAM_SKIP_UNDER_WINE("Wine's recv reads a reset connection as an orderly close (Windows: WSAECONNRESET)");
        }
        FakeServer s({row.action});
        Client c(s);
        ASSERT_TRUE(c.ok());
        c.send("x;");
        int err;
        EXPECT_EQ(c.read(1, err), "");
        EXPECT_EQ(err, row.expectedErr);
        EXPECT_TRUE(s.waitClosed(0));
    }
}

TEST(FakeServer, ResponderAndHandlerModes) {
    FakeServer echo(FakeServer::Responder([](const std::string& r, int conn, int idx) {
        return Action::reply(r + std::to_string(conn) + ":" + std::to_string(idx));
    }));
    {
        Client c(echo);
        int err;
        c.send("a");
        EXPECT_EQ(c.read(4, err), "a0:0");
        c.send("b");
        EXPECT_EQ(c.read(4, err), "b0:1");
    }
    ASSERT_TRUE(echo.waitClosed(0));
    Client c2(echo);
    int err;
    c2.send("c");
    EXPECT_EQ(c2.read(4, err), "c1:0");

    FakeServer h(FakeServer::Handler([](FakeConn& conn) {
        std::string req = conn.readRequest(5000, 20);
        conn.write("len=" + std::to_string(req.size()) + ";");
        std::string raw;
        if (conn.readExactly(5, raw)) conn.writeDelayed("got " + raw, 10);
    }));
    Client c3(h);
    c3.send("hello;");
    EXPECT_EQ(c3.read(6, err), "len=6;");
    c3.send("12");
    c3.send("345");
    EXPECT_EQ(c3.read(9, err), "got 12345");
    EXPECT_TRUE(h.waitReceived(11));
    EXPECT_EQ(h.received(0), "hello;12345");
}

}  // namespace
}  // namespace oamtest
