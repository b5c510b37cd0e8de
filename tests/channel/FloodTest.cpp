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

#include "ChannelFixture.h"
#include "ClientSocket.h"
#include "Loopback.h"

// A sender always faster than the reader, without a race: while armed, every
// FIONREAD query on the channel (the library's own included: this
// definition is linked ahead of liboamsdk's) first puts 60000 more bytes
// into the connection from the server's end, at most 1000 times.
namespace oamtest {
std::atomic<int> floodServerFd{-1};
std::atomic<int> floodTopUps{0};
}  // namespace oamtest

namespace win {
int WSAIoctl(SOCKET s, unsigned long code, void* in, unsigned long inLen, void* out, unsigned long outLen,
             unsigned long* bytesReturned, void* overlapped, void* completion) {
    typedef int (*Real)(SOCKET, unsigned long, void*, unsigned long, void*, unsigned long, unsigned long*, void*, void*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "_ZN3win8WSAIoctlEmmPvmS0_mPmS0_S0_"));
    const int fd = oamtest::floodServerFd.load();
    if (fd >= 0 && static_cast<uint32_t>(code) == static_cast<uint32_t>(WIN_FIONREAD) && oamtest::floodTopUps < 1000) {
        ++oamtest::floodTopUps;
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
namespace oamtest {
TEST_F(NoLeaks, ClearingStopsAtWhatWasWaiting) {
    int server = -1;
    CClientSocket c;
    {
        Listener listener(1);
        ASSERT_TRUE(c.Create(listener.port(), "127.0.0.1"));
        server = listener.Accept();
    }
    ASSERT_GE(server, 0);
    int big = 8 << 20;
    ::setsockopt(server, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ASSERT_EQ(5, ::send(server, "stale", 5, 0));
    ASSERT_TRUE(WaitPendingAtLeast(c, 5));

    floodTopUps = 0;
    floodServerFd = server;
    c.ClearSocketBufferedData();
    floodServerFd = -1;
    EXPECT_LT(floodTopUps.load(), 1000) << "clearing chased the incoming bytes";
    c.Close();
    ::close(server);
}
}  // namespace oamtest
