// A command channel whose stale bytes are cleared against a sender that is
// always faster. POSIX only: the flood rides on the library's own FIONREAD
// query, reached by interposing the layer's WSAIoctl, which the system's
// Windows Sockets do not allow (left out of the Windows build).
#include <dlfcn.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "ClientSocket.h"
#include "HostileHarness.h"

using namespace hostile;

// A sender always faster than the reader, without a race: while armed, every
// FIONREAD query on the channel (the library's own included: this
// definition is linked ahead of liboamsdk's) first puts 60000 more bytes
// into the connection from the server's end, at most 1000 times.
namespace flood {
std::atomic<int> serverFd{-1};
std::atomic<int> topUps{0};
}  // namespace flood

namespace win {
int WSAIoctl(SOCKET s, unsigned long code, void* in, unsigned long inLen, void* out, unsigned long outLen,
             unsigned long* bytesReturned, void* overlapped, void* completion) {
    typedef int (*Real)(SOCKET, unsigned long, void*, unsigned long, void*, unsigned long, unsigned long*, void*, void*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "_ZN3win8WSAIoctlEmmPvmS0_mPmS0_S0_"));
    const int fd = flood::serverFd.load();
    if (fd >= 0 && static_cast<uint32_t>(code) == static_cast<uint32_t>(WIN_FIONREAD) && flood::topUps < 1000) {
        ++flood::topUps;
        static const std::string chunk(60000, 'z');
        for (size_t sent = 0; sent < chunk.size();) {
            ssize_t n = ::send(fd, chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
    }
    return real(s, code, in, inLen, out, outLen, bytesReturned, overlapped, completion);
}
}  // namespace win

// Throwing away stale bytes takes what was waiting when the exchange began,
// however fast more arrives: here each look at the count brings 60000 bytes.
TEST_F(NoLeaks, ClearingStopsAtWhatWasWaiting) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(listener, 1));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len));
    CClientSocket c;
    ASSERT_TRUE(c.Create(ntohs(a.sin_port), "127.0.0.1"));
    int server = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    ASSERT_GE(server, 0);
    int big = 8 << 20;
    ::setsockopt(server, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ASSERT_EQ(5, ::send(server, "stale", 5, 0));
    ASSERT_TRUE(WaitPendingAtLeast(c, 5));

    flood::topUps = 0;
    flood::serverFd = server;
    c.ClearSocketBufferedData();
    flood::serverFd = -1;
    EXPECT_LT(flood::topUps.load(), 1000) << "clearing chased the incoming bytes";
    c.Close();
    ::close(server);
}
