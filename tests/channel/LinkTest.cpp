// Connection life cycle, the link-break notice, the channel lock and the
// address operations.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "ChannelFixture.h"
#include "TestNet.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

const int D = CFunction::SinkD;

// What the host's callback saw.
struct CallbackLog {
    std::mutex mutex;
    int calls = 0;
    LONG_PTR channel = 0;
    LONG_PTR user = 0;
    std::thread::id thread;
    std::function<void()> onCall;
};

void Callback(LONG_PTR channel, LONG_PTR user) {
    CallbackLog* cb = reinterpret_cast<CallbackLog*>(user);
    {
        std::lock_guard<std::mutex> g(cb->mutex);
        ++cb->calls;
        cb->channel = channel;
        cb->user = user;
        cb->thread = std::this_thread::get_id();
    }
    if (cb->onCall) cb->onCall();
}

int Calls(CallbackLog& cb) {
    std::lock_guard<std::mutex> g(cb.mutex);
    return cb.calls;
}

// Sends commands until one fails at the send (a reset connection may still
// take the first send). Returns false if none did.
bool DriveUntilSendFails(CClientSocket& c, LogCapture& log) {
    for (int i = 0; i < 50; ++i) {
        int before = log.count(D, "Socket Error:");
        c.SendCommand("1", "Get", "A=;");
        if (log.count(D, "Socket Error:") > before) return true;
    }
    return false;
}

// Posts a marker and waits until the window has handled it: every message
// posted before it has been handled too.
void Drain(HWND wnd, WindowLog& wl) {
    size_t before = wl.size();
    ASSERT_TRUE(PostMessageA(wnd, WM_USER + 7, 0, 0));
    ASSERT_TRUE(wl.waitFor(before + 1));
}

size_t CountMessages(WindowLog& wl, UINT msg) {
    std::lock_guard<std::mutex> g(wl.mutex);
    size_t n = 0;
    for (auto& m : wl.msgs) n += m.msg == msg;
    return n;
}

TEST(LinkBreak, ResetConnectionGivesOneNoticePerConnection) {
    LogCapture log;
    WindowLog wl;
    WindowThread window(&wl);
    ASSERT_NE(window.hwnd(), nullptr);
    CallbackLog cb;
    CClientSocket channel;
    channel.SetWnd(window.hwnd(), &Callback, reinterpret_cast<LONG_PTR>(&cb));

    for (int connection = 0; connection < 2; ++connection) {
        log.clear();
        FakeServer server({Action::reset()});
        ASSERT_TRUE(Connect(channel, server));
        // The reset itself reaches the receive: no notice for that.
        EXPECT_EQ(channel.SendCommand("1", "Get", "A=;"), -1);
        EXPECT_EQ(Calls(cb), connection);
        ASSERT_TRUE(DriveUntilSendFails(channel, log));
        ASSERT_TRUE(wl.waitCount(0x601, static_cast<size_t>(connection) + 1));

        EXPECT_EQ(Calls(cb), connection + 1);
        EXPECT_EQ(cb.channel, reinterpret_cast<LONG_PTR>(&channel));
        EXPECT_EQ(cb.user, reinterpret_cast<LONG_PTR>(&cb));
        EXPECT_EQ(cb.thread, std::this_thread::get_id());
        {
            std::lock_guard<std::mutex> g(wl.mutex);
            WindowLog::Msg m{};
            for (auto& x : wl.msgs)
                if (x.msg == 0x601) m = x;
            EXPECT_EQ(m.msg, 0x601u);
            EXPECT_EQ(m.wp, 100u);
            EXPECT_EQ(m.lp, reinterpret_cast<LPARAM>(&channel));
            EXPECT_EQ(m.thread, window.id());
        }

        // The failing send reported one of the link-break codes, then the notice.
        auto lines = log.lines();
        size_t err = 0, brk = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].text.rfind("Socket Error:", 0) == 0 && !err) err = i + 1;
            if (lines[i].text == "Sdk Link break.CClientSocket::SendCommandEx") brk = i + 1;
        }
        ASSERT_TRUE(err && brk);
        EXPECT_EQ(brk, err + 1);
        int code = atoi(lines[err - 1].text.c_str() + 13);
        EXPECT_TRUE(code == 10050 || code == 10052 || code == 10053 || code == 10054 || code == 10057 ||
                    code == 10058)
            << lines[err - 1];

        // Further failures, OnClose, Close and OnClose again: all silent.
        EXPECT_EQ(channel.SendCommand("1", "Get", "A=;"), -1);
        EXPECT_EQ(channel.SendCommand("1", "Get", "A=;"), -1);
        channel.OnClose(0);
        EXPECT_EQ(channel.Close(), 0);
        channel.OnClose(0);
        Drain(window.hwnd(), wl);
        EXPECT_EQ(CountMessages(wl, 0x601), static_cast<size_t>(connection) + 1);
        EXPECT_EQ(Calls(cb), connection + 1);
        EXPECT_EQ(log.count(D, "Sdk Link break."), 1);
    }
}

// The notice from a command is posted: the commanding thread holds the
// channel lock and must not wait for the window's thread, which may itself
// be waiting for that lock.
TEST(LinkBreak, CommandDoesNotWaitForTheWindowsThread) {
    LogCapture log;
    WindowLog wl;
    std::atomic<bool> busy{false}, release{false};
    wl.onMessage = [&](const WindowLog::Msg& m) {
        if (m.msg != WM_USER + 9) return;
        busy = true;
        for (int i = 0; i < 10000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        busy = false;
    };
    WindowThread window(&wl);
    ASSERT_NE(window.hwnd(), nullptr);
    CallbackLog cb;
    CClientSocket channel;
    channel.SetWnd(window.hwnd(), &Callback, reinterpret_cast<LONG_PTR>(&cb));
    FakeServer server({Action::reset()});
    ASSERT_TRUE(Connect(channel, server));
    ASSERT_TRUE(PostMessageA(window.hwnd(), WM_USER + 9, 0, 0));
    for (int i = 0; i < 5000 && !busy; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(busy);

    EXPECT_EQ(channel.SendCommand("1", "Get", "A=;"), -1);
    ASSERT_TRUE(DriveUntilSendFails(channel, log));
    EXPECT_TRUE(busy) << "the command waited for the window's thread";
    EXPECT_EQ(Calls(cb), 1);
    EXPECT_EQ(CountMessages(wl, 0x601), 0u);
    release = true;
    EXPECT_TRUE(wl.waitCount(0x601, 1));  // handled once the window is free
}

TEST(LinkBreak, FailedSendDoesNotAdvanceTheCounter) {
    LogCapture log;
    CClientSocket channel;
    FakeServer server({Action::reset()});
    ASSERT_TRUE(Connect(channel, server));
    channel.SendCommand("1", "Get", "A=;");  // SESSIONID=0, reset on receive
    ASSERT_TRUE(DriveUntilSendFails(channel, log));
    // Every send that failed carried the same number; so does the next one.
    std::string last;
    for (auto& l : log.lines())
        if (l.text.rfind("Send Command:", 0) == 0) last = l.text;
    channel.Close();
    FakeServer second({Action::reply("x")});
    ASSERT_TRUE(Connect(channel, second));
    log.clear();
    channel.SendCommand("1", "Get", "A=;");
    ASSERT_TRUE(second.waitRequests(1));
    EXPECT_EQ("Send Command:" + second.requests()[0], last);
    EXPECT_NE(last.find("SESSIONID="), std::string::npos);
}

TEST(LinkBreak, HostCommandFromTheCallbackDoesNotDeadlock) {
    LogCapture log;
    CallbackLog cb;
    CClientSocket channel;
    std::atomic<int> nested{0};
    int nestedResult = 0;
    cb.onCall = [&] {
        // Runs while the failing exchange holds the channel lock.
        ++nested;
        nestedResult = channel.SendCommand("1", "Get", "Again=;");
        const unsigned char b[] = "x";
        channel.Send(b, 1);
    };
    channel.SetWnd(nullptr, &Callback, reinterpret_cast<LONG_PTR>(&cb));
    FakeServer server({Action::reset()});
    ASSERT_TRUE(Connect(channel, server));
    channel.SendCommand("1", "Get", "A=;");
    ASSERT_TRUE(DriveUntilSendFails(channel, log));
    EXPECT_EQ(nested.load(), 1);
    EXPECT_EQ(nestedResult, -1);
    // The nested failure on the same link gave no second notice.
    EXPECT_EQ(Calls(cb), 1);
    EXPECT_EQ(log.count(D, "Sdk Link break."), 1);
    EXPECT_EQ(log.count(D, "Send Command:SESSIONID=1;STATIONID=1;CMD=Get;Again=;"), 1);
}

// OnClose with a window owned by another thread, by the calling thread, or
// no window at all.
enum class Owner { OtherThread, CallingThread, NoWindow };

class OnCloseNotice : public ::testing::TestWithParam<Owner> {};

TEST_P(OnCloseNotice, HandlerRunsBeforeOnCloseGoesOn) {
    LogCapture log;
    WindowLog wl;
    CallbackLog cb;
    CClientSocket channel;
    int closeResult = 99, callbacksSeen = -1, linesSeen = -1;
    wl.onMessage = [&](const WindowLog::Msg& m) {
        if (m.msg != 0x601) return;
        callbacksSeen = Calls(cb);
        linesSeen = log.count(D, "Sdk Link break.");
        closeResult = channel.Close();
    };
    std::unique_ptr<WindowThread> other;
    HWND own = nullptr;
    HWND wnd = nullptr;
    std::thread::id handlerThread = std::this_thread::get_id();
    if (GetParam() == Owner::OtherThread) {
        other.reset(new WindowThread(&wl));
        wnd = other->hwnd();
        handlerThread = other->id();
    } else if (GetParam() == Owner::CallingThread) {
        own = OamCreateMessageWindow(&WindowLog::Proc, &wl);
        wnd = own;
    }
    if (GetParam() != Owner::NoWindow) {
        ASSERT_NE(wnd, nullptr);
    }
    channel.SetWnd(wnd, &Callback, reinterpret_cast<LONG_PTR>(&cb));

    FakeServer server;
    ASSERT_TRUE(Connect(channel, server));
    channel.OnClose(0);

    if (GetParam() != Owner::NoWindow) {
        // Handled before OnClose returned, and before the callback and the log line.
        ASSERT_EQ(wl.size(), 1u);
        EXPECT_EQ(wl.msgs[0].wp, 100u);
        EXPECT_EQ(wl.msgs[0].lp, reinterpret_cast<LPARAM>(&channel));
        EXPECT_EQ(wl.msgs[0].thread, handlerThread);
        EXPECT_EQ(callbacksSeen, 0);
        EXPECT_EQ(linesSeen, 0);
        EXPECT_EQ(closeResult, 0);
        EXPECT_EQ(channel.GetSocket(), 0u);
        EXPECT_TRUE(server.waitClosed(0));
    }
    EXPECT_EQ(Calls(cb), 1);
    EXPECT_EQ(cb.thread, std::this_thread::get_id());
    EXPECT_EQ(log.lines(), (std::vector<LogCapture::Line>{{D, "Sdk Link break.CClientSocket::OnClose"}}));

    // Once per connection: a second OnClose is silent, also after Close ...
    channel.OnClose(0);
    channel.Close();
    channel.OnClose(0);
    EXPECT_EQ(Calls(cb), 1);
    EXPECT_EQ(log.count(D, "Sdk Link break."), 1);
    // ... until a successful Create.
    ASSERT_TRUE(Connect(channel, server));
    channel.OnClose(0);
    EXPECT_EQ(Calls(cb), 2);
    EXPECT_EQ(log.count(D, "Sdk Link break."), 2);
    if (GetParam() != Owner::NoWindow) {
        EXPECT_EQ(wl.size(), 2u);
    }
    if (own) OamDestroyMessageWindow(own);
}

INSTANTIATE_TEST_SUITE_P(Channel, OnCloseNotice,
                         ::testing::Values(Owner::OtherThread, Owner::CallingThread, Owner::NoWindow));

TEST(Connection, CreateAndCloseFollowTheStateTable) {
    CClientSocket channel;
    // Nothing held: Close fails and changes nothing.
    EXPECT_EQ(channel.Close(), -1);
    EXPECT_EQ(channel.Close(), -1);

    // A refused connection holds nothing, and a later Create works.
    unsigned short deadPort;
    {
        FakeServer gone;
        deadPort = gone.port();
    }
    EXPECT_EQ(channel.Create(deadPort, "127.0.0.1"), 0);
    EXPECT_EQ(channel.GetSocket(), 0u);

    FakeServer server({Action::reply("SESSIONID=0;RETURNCODE=0;")});
    ASSERT_EQ(channel.Create(server.port(), "127.0.0.1"), 1);
    SOCKET held = channel.GetSocket();
    EXPECT_NE(held, 0u);
    // Create on a held socket refuses and keeps the connection.
    FakeServer other;
    EXPECT_EQ(channel.Create(other.port(), "127.0.0.1"), 0);
    EXPECT_EQ(channel.GetSocket(), held);
    EXPECT_EQ(channel.SendCommand("1", "Get", ""), 0);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(other.connections(), 0);

    EXPECT_EQ(channel.Close(), 0);
    EXPECT_EQ(channel.GetSocket(), 0u);
    EXPECT_TRUE(server.waitClosed(0));
    EXPECT_EQ(channel.Close(), -1);
}

// A host built against the 1.0.0 headers has GetSocket() inlined: it reads
// the handle at 1.0.0's offset and sizes the object as 1.0.0 did (figures
// of the x86-64 Linux build; 1.0.0 shipped for nothing else).
#if defined(__x86_64__) && defined(__linux__)
static_assert(sizeof(CClientSocket) == 60264, "CClientSocket's size is part of the 1.0.0 ABI");
TEST(Connection, HostBuiltAgainstTheFirstReleaseReadsTheSocket) {
    const size_t kSocketOffset100 = 176;
    FakeServer server({Action::reply("SESSIONID=0;RETURNCODE=0;")});
    CClientSocket channel;
    SOCKET atOldPlace = 0;
    auto readOld = [&] {
        memcpy(&atOldPlace, reinterpret_cast<const char*>(&channel) + kSocketOffset100, sizeof atOldPlace);
        return atOldPlace;
    };
    EXPECT_EQ(readOld(), 0u);
    ASSERT_TRUE(Connect(channel, server));
    EXPECT_NE(readOld(), 0u);
    EXPECT_EQ(atOldPlace, channel.GetSocket());
    // The session setters leave the 1.0.0 members where they were.
    channel.SetStrictSession(TRUE);
    EXPECT_EQ(channel.SendCommand("1", "Get", ""), 0);
    EXPECT_TRUE(channel.LastReplySessionMatched());
    EXPECT_EQ(readOld(), channel.GetSocket());
    EXPECT_EQ(channel.Close(), 0);
    EXPECT_EQ(readOld(), 0u);
}
#endif

TEST(Connection, DestructorReleasesTheConnection) {
    FakeServer server;
    {
        CClientSocket channel;
        ASSERT_TRUE(Connect(channel, server));
        ASSERT_TRUE(server.waitConnections(1));
    }
    EXPECT_TRUE(server.waitClosed(0));
}

// Keep-alive takes on the held connection on both systems: Windows before
// 10 1709 (and Wine) refuse the per-option settings and get the timing
// through SIO_KEEPALIVE_VALS instead.
TEST(Connection, KeepAliveTakesOnTheHeldConnection) {
    FakeServer server;
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    // OK only when all three took, the count too; a system that cannot
    // take the count says so (the timing is set all the same).
    int r = channel.SetKeepAlive(9, 3, 5);
    if (r == OAM_OPTION_OK) {
        int count = 0;
        int len = sizeof count;
        ASSERT_EQ(0, win::getsockopt(channel.GetSocket(), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<char*>(&count),
                                     &len));
        EXPECT_EQ(5, count);
    } else {
        EXPECT_EQ(OAM_OPTION_FAILED, r);
        EXPECT_NE(0u, GetLastError());
    }
    int on = 0;
    int len = sizeof on;
    ASSERT_EQ(0, win::getsockopt(channel.GetSocket(), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), &len));
    EXPECT_NE(0, on);
    EXPECT_EQ(channel.DisableKeepAlive(), OAM_OPTION_OK);
    len = sizeof on;
    ASSERT_EQ(0, win::getsockopt(channel.GetSocket(), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), &len));
    EXPECT_EQ(0, on);
}

TEST(Connection, NoSocketToBeHadBlocksCreateUntilClose) {
    FakeServer server;
    CClientSocket channel;
    OAM_SKIP_ON_WINDOWS("Windows has no descriptor limit to use up");
    int created = 0;
    SOCKET held = 0;
    {
        // Every descriptor below a limit of 64 in use.
        oamtest::DescriptorsUsedUp spent(64);
        ASSERT_TRUE(spent.ok());
        created = channel.Create(server.port(), "127.0.0.1");
        held = channel.GetSocket();
    }

    EXPECT_EQ(created, 0);
    EXPECT_EQ(held, INVALID_SOCKET);
    EXPECT_EQ(channel.Create(server.port(), "127.0.0.1"), 0);
    EXPECT_EQ(channel.Close(), -1);
    EXPECT_EQ(channel.GetSocket(), 0u);
    EXPECT_EQ(channel.Create(server.port(), "127.0.0.1"), 1);
}

uint32_t Dotted(const char* s) {
    in_addr a;
    inet_pton(AF_INET, s, &a);
    return a.s_addr;
}

struct NameRow {
    const char* name;
    unsigned long expected;
};

class Name2Inet : public ::testing::TestWithParam<NameRow> {};

TEST_P(Name2Inet, ResolvesAsTheChannelDoes) {
    EXPECT_EQ(CClientSocket::Name2Inet(GetParam().name), GetParam().expected) << (GetParam().name ? GetParam().name : "null");
}

INSTANTIATE_TEST_SUITE_P(
    Address, Name2Inet,
    ::testing::Values(NameRow{"192.168.1.10", Dotted("192.168.1.10")}, NameRow{"127.0.0.1", Dotted("127.0.0.1")},
                      NameRow{"", 0}, NameRow{nullptr, 0},
                      // Digits and dots go to inet_addr: a lookup of this would give 0.
                      NameRow{"999.1.1.1", 0xFFFFFFFFul}, NameRow{"localhost", Dotted("127.0.0.1")},
                      NameRow{"no-such-host.invalid", 0}, NameRow{"1.2.3.4x", 0}));

TEST(Address, ServerIpIsTheStoredAddressResolved) {
    CClientSocket channel;
    EXPECT_STREQ(channel.GetServerIp(), "0.0.0.0");
    struct Row {
        const char* stored;
        const char* shown;
    } rows[] = {{"10.1.2.3", "10.1.2.3"}, {"localhost", "127.0.0.1"}, {nullptr, "0.0.0.0"},
                {"no-such-host.invalid", "0.0.0.0"}, {"", "0.0.0.0"}};
    for (const Row& r : rows) {
        channel.SetServerAddress(r.stored);
        EXPECT_STREQ(channel.GetServerIp(), r.shown) << (r.stored ? r.stored : "null");
        channel.SetServerAddress("10.9.9.9", 1234);
        EXPECT_STREQ(channel.GetServerIp(), "10.9.9.9");
    }
}

TEST(Address, LocalIpIsTheConnectionsOwnAddress) {
    FakeServer server;
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    EXPECT_EQ(channel.GetLocalIp(), "127.0.0.1");
    channel.Close();
    // Without a connection: the local host's first address, as dotted text.
    in_addr a;
    EXPECT_EQ(inet_pton(AF_INET, channel.GetLocalIp().GetString(), &a), 1);
}

TEST(Connection, SendAndSendExPassTheSendThrough) {
    FakeServer server;
    CClientSocket channel;
    const unsigned char bytes[] = {'a', 0, 'b', '\n'};
    EXPECT_EQ(channel.Send(bytes, 4), -1);
    EXPECT_EQ(channel.SendEx(bytes, 4), -1);
    ASSERT_TRUE(Connect(channel, server));
    EXPECT_EQ(channel.Send(bytes, 4), 4);
    EXPECT_EQ(channel.SendEx(bytes + 2, 2), 2);
    ASSERT_TRUE(server.waitReceived(6));
    EXPECT_EQ(server.received(0), std::string("a\0b\nb\n", 6));
    EXPECT_EQ(channel.OnMessagePending(), 0);
}

}  // namespace
}  // namespace oamtest
