// Windows Sockets calls over POSIX sockets, with opaque handles.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>

#include "PlatformInternal.h"
#include "PlatformSockets.h"


namespace oam {
namespace platform {
namespace {

static_assert((uint64_t(kHandleGenerations) << kHandleDescriptorBits | kHandleDescriptorMask) <= INT_MAX,
              "handle values fit a positive int");

constexpr uint64_t kClosed = 1ull << 31;
constexpr uint64_t kCountMask = kClosed - 1;
constexpr int kChunkBits = 10;
constexpr size_t kChunkSize = size_t(1) << kChunkBits;
constexpr size_t kChunks = size_t(1) << (kHandleDescriptorBits - kChunkBits);

// Chunks are created on demand and live as long as the process, so a
// lookup never needs a lock.
std::atomic<SocketEntry*> g_chunks[kChunks];

SocketEntry* Lookup(uint64_t fd) {
    size_t c = static_cast<size_t>(fd >> kChunkBits);
    if (c >= kChunks) return nullptr;
    SocketEntry* chunk = g_chunks[c].load(std::memory_order_acquire);
    return chunk ? &chunk[fd & (kChunkSize - 1)] : nullptr;
}

SocketEntry* LookupOrCreate(int fd) {
    size_t c = static_cast<size_t>(fd) >> kChunkBits;
    if (c >= kChunks) return nullptr;
    SocketEntry* chunk = g_chunks[c].load(std::memory_order_acquire);
    if (!chunk) {
        SocketEntry* fresh = new (std::nothrow) SocketEntry[kChunkSize];
        if (!fresh) return nullptr;
        if (g_chunks[c].compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel)) {
            chunk = fresh;
        } else {
            delete[] fresh;  // another thread won; chunk holds its table
        }
    }
    return &chunk[static_cast<size_t>(fd) & (kChunkSize - 1)];
}

// The generation after the one the entry last had, 1..kHandleGenerations.
uint32_t NextGeneration(const SocketEntry* e) {
    uint32_t last = static_cast<uint32_t>(e->state.load(std::memory_order_acquire) >> 32);
    return last % kHandleGenerations + 1;
}

// The last reference is gone from a closed entry: nobody can reach the
// descriptor any more, so it may be closed (and its number reused).
void FinalClose(SocketEntry* e, int fd) {
    e->eventId.store(0, std::memory_order_relaxed);
    ::close(fd);
}

// Takes a reference on the entry that handle s names. With markClosed the
// entry is also marked closed in the same step (closesocket). Gives the
// entry or null for 0, INVALID_SOCKET, an unknown or a stale handle;
// *countBefore gets the number of calls that were in flight.
SocketEntry* Acquire(SOCKET s, bool markClosed, uint64_t* countBefore) {
    if (s == 0 || s > static_cast<SOCKET>(INT_MAX)) return nullptr;
    uint64_t fd = s & kHandleDescriptorMask;
    uint32_t gen = static_cast<uint32_t>(s >> kHandleDescriptorBits);
    if (gen == 0) return nullptr;
    SocketEntry* e = Lookup(fd);
    if (!e) return nullptr;
    uint64_t st = e->state.load(std::memory_order_acquire);
    for (;;) {
        if (static_cast<uint32_t>(st >> 32) != gen || (st & kClosed)) return nullptr;
        if ((st & kCountMask) == kCountMask) return nullptr;
        uint64_t next = st + 1;
        if (markClosed) next |= kClosed;
        if (e->state.compare_exchange_weak(st, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            if (countBefore) *countBefore = st & kCountMask;
            return e;
        }
    }
}

void Release(SocketEntry* e, int fd) {
    uint64_t prev = e->state.fetch_sub(1, std::memory_order_acq_rel);
    if ((prev & kClosed) && (prev & kCountMask) == 1) FinalClose(e, fd);
}

int Fail(int code) {
    SetThreadError(static_cast<uint32_t>(code));
    return SOCKET_ERROR;
}

// Windows flag values coincide with the POSIX ones for these four; any
// other bit is not a Windows Sockets flag.
bool MapFlags(int flags, int* out) {
    const int allowed = MSG_OOB | MSG_PEEK | MSG_DONTROUTE | MSG_WAITALL;
    if (flags & ~allowed) return false;
    *out = flags;
    return true;
}

int FailErrno(const SocketRef& r, int err) {
    return Fail(ErrnoToWsa(err, r.blocking()));
}

// A call that returned because closesocket woke it reports WSAEINTR, as a
// blocking call cancelled by closesocket does on Windows.
int FinishTransfer(const SocketRef& r, ssize_t n, int err) {
    if (n <= 0 && r.closed()) return Fail(WSAEINTR);
    if (n < 0) return FailErrno(r, err);
    return static_cast<int>(n);
}

int FinishReceive(const SocketRef& r, ssize_t n, int err, int len, bool datagram) {
    if (n <= 0 && r.closed()) return Fail(WSAEINTR);
    if (n < 0) return FailErrno(r, err);
    // With MSG_TRUNC a datagram reports its full size: one that did not fit
    // fails as on Windows (its bytes are consumed all the same).
    if (datagram && n > len) return Fail(WSAEMSGSIZE);
    return static_cast<int>(n);
}

// A signal interrupts a blocking send or receive that has a time-out even
// with SA_RESTART, and calling it again would start a fresh SO_SNDTIMEO or
// SO_RCVTIMEO window: under a periodic signal (an interval timer, a
// profiler) the time-out would never expire. Retries after an interruption
// keep the call's deadline instead: they wait with poll for what is left of
// it, then make the call without blocking.
using Clock = std::chrono::steady_clock;

class Deadline {
public:
    Deadline(int fd, int option, Clock::time_point start) {
        timeval tv{};
        socklen_t l = sizeof tv;
        if (::getsockopt(fd, SOL_SOCKET, option, &tv, &l) == 0 && (tv.tv_sec > 0 || tv.tv_usec > 0)) {
            m_limited = true;
            m_end = start + std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
        }
    }
    // Milliseconds for poll (-1 = no limit); false once the deadline passed.
    bool Left(int* ms) const {
        *ms = -1;
        if (!m_limited) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - Clock::now()).count();
        if (left < 0 || (left == 0 && Clock::now() >= m_end)) return false;
        // Rounded up, so that the deadline has passed when poll times out.
        *ms = static_cast<int>(std::min<long long>(left + 1, INT_MAX));
        return true;
    }

private:
    bool m_limited = false;
    Clock::time_point m_end{};
};

// Waits until the socket is ready for events or the deadline passed
// (false, errno EAGAIN: the code of a time-out on a blocking socket) or
// closesocket ran (false, errno EINTR).
bool WaitReady(const SocketRef& r, short events, const Deadline& d) {
    for (;;) {
        int ms;
        if (r.closed()) {
            errno = EINTR;
            return false;
        }
        if (!d.Left(&ms)) {
            errno = EAGAIN;
            return false;
        }
        pollfd p{r.fd(), events, 0};
        int rc = ::poll(&p, 1, ms);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
}

// The rest of a call that a signal interrupted before it moved any byte.
// call(extraFlags) makes the system call once.
template <class Call>
ssize_t RetryInterrupted(const SocketRef& r, short events, const Deadline& d, Call call) {
    for (;;) {
        if (!WaitReady(r, events, d)) return -1;
        ssize_t n = call(MSG_DONTWAIT);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return n;
    }
}

// A blocking stream send sends everything, as on Windows. The system call
// stops early when a signal arrives (after some bytes or none) and when its
// time-out expires; the first is carried on to the deadline, the second
// fails as a time-out. sent: what the first call moved.
ssize_t FinishStreamSend(const SocketRef& r, const char* buf, size_t len, size_t sent, int flags,
                         Clock::time_point start) {
    Deadline d(r.fd(), SO_SNDTIMEO, start);
    while (sent < len) {
        if (!WaitReady(r, POLLOUT, d)) return -1;
        ssize_t n = ::send(r.fd(), buf + sent, len - sent, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(sent);
}

bool SetNonBlocking(int fd, bool on) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0) return false;
    int want = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    return want == fl || fcntl(fd, F_SETFL, want) == 0;
}

bool IsFionbio(long cmd) {
    return static_cast<uint32_t>(cmd) == static_cast<uint32_t>(WIN_FIONBIO) || cmd == static_cast<long>(FIONBIO);
}

bool IsFionread(unsigned long cmd) {
    return static_cast<uint32_t>(cmd) == static_cast<uint32_t>(WIN_FIONREAD) ||
           cmd == static_cast<unsigned long>(FIONREAD);
}

}  // namespace

SocketRef::SocketRef(SOCKET s) {
    m_entry = Acquire(s, false, nullptr);
    if (m_entry) m_fd = HandleDescriptor(s);
}

SocketRef::~SocketRef() {
    if (m_entry) Release(m_entry, m_fd);
}

bool SocketRef::closed() const {
    return (m_entry->state.load(std::memory_order_acquire) & kClosed) != 0;
}

int SetTcpKeepAliveTimes(SOCKET s, int idleSeconds, int intervalSeconds, int count) {
    const int values[3] = {idleSeconds, intervalSeconds, count};
    const int names[3] = {TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT};
    for (int i = 0; i < 3; ++i)
        if (win::setsockopt(s, IPPROTO_TCP, names[i], reinterpret_cast<const char*>(&values[i]), sizeof values[i]) != 0)
            return SOCKET_ERROR;
    return 0;
}

// shutdown wakes every call blocked on the socket here.
void WakeBlockedCalls(SOCKET s) {
    win::shutdown(s, SD_BOTH);
}

}  // namespace platform
}  // namespace oam

using namespace oam::platform;

namespace win {

SOCKET socket(int af, int type, int protocol) {
    int base = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
    int fd = ::socket(af, base | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        Fail(ErrnoToWsa(errno, true));
        return INVALID_SOCKET;
    }
    fd = KeepAwayFromStdio(fd);
    if (fd < 0) {
        Fail(ErrnoToWsa(errno, true));
        return INVALID_SOCKET;
    }
    SocketEntry* e = LookupOrCreate(fd);
    if (!e) {
        ::close(fd);
        Fail(WSAEMFILE);
        return INVALID_SOCKET;
    }
    // The descriptor is new, so no call holds a reference on this entry.
    e->kind.store(base == SOCK_STREAM ? kStream : (base == SOCK_DGRAM ? kDatagram : kOtherKind),
                  std::memory_order_relaxed);
    e->nonblocking.store(false, std::memory_order_relaxed);
    e->eventId.store(0, std::memory_order_relaxed);
    uint32_t gen = NextGeneration(e);
    e->state.store(static_cast<uint64_t>(gen) << 32, std::memory_order_release);
    return static_cast<SOCKET>(gen) << kHandleDescriptorBits | static_cast<SOCKET>(fd);
}

int closesocket(SOCKET s) {
    uint64_t inFlight = 0;
    SocketEntry* e = Acquire(s, true, &inFlight);
    if (!e) return Fail(WSAENOTSOCK);
    int fd = HandleDescriptor(s);
    // Wake calls blocked on the socket; our own reference keeps the
    // descriptor from being closed (and reused) under this shutdown.
    if (inFlight) ::shutdown(fd, SHUT_RDWR);
    Release(e, fd);
    return 0;
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (!name || namelen < static_cast<int>(sizeof(sockaddr))) return Fail(WSAEFAULT);
    if (::bind(r.fd(), name, static_cast<socklen_t>(namelen)) != 0) return FailErrno(r, errno);
    return 0;
}

// Windows refuses the any-address as a destination; Linux would quietly
// take it for the local host and reach whatever listens there (a failed
// name look-up gives the address 0).
static bool IsAnyDestination(const sockaddr* to) {
    if (!to || to->sa_family != AF_INET) return false;
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(to);
    return in->sin_addr.s_addr == htonl(INADDR_ANY);
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (!name || namelen < static_cast<int>(sizeof(sockaddr))) return Fail(WSAEFAULT);
    if (IsAnyDestination(name)) return Fail(WSAEADDRNOTAVAIL);
    socklen_t len = static_cast<socklen_t>(namelen);
    if (!r.blocking()) {
        if (::connect(r.fd(), name, len) == 0) return 0;
        int err = errno;
        // A non-blocking connect under way reads as "would block" on Windows.
        return Fail(err == EINPROGRESS || err == EINTR ? WSAEWOULDBLOCK : ErrnoToWsa(err, false));
    }
    if (r.kind() != kStream) {
        if (::connect(r.fd(), name, len) == 0) return 0;
        return FailErrno(r, errno);
    }
    // A blocking TCP connect waits for the system's own time-out: Linux
    // would cut it short at SO_SNDTIMEO, and a signal would leave it half
    // done. Connect without blocking and wait for the outcome instead.
    if (!SetNonBlocking(r.fd(), true)) return FailErrno(r, errno);
    int err = 0;
    if (::connect(r.fd(), name, len) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            pollfd p{r.fd(), POLLOUT, 0};
            int rc;
            do {
                rc = ::poll(&p, 1, -1);
            } while (rc < 0 && errno == EINTR);
            socklen_t el = sizeof err;
            if (rc < 0)
                err = errno;
            else if (::getsockopt(r.fd(), SOL_SOCKET, SO_ERROR, &err, &el) != 0)
                err = errno;
        }
    }
    SetNonBlocking(r.fd(), false);
    if (r.closed()) return Fail(WSAEINTR);
    if (err) return Fail(ErrnoToWsa(err, true));
    return 0;
}

int send(SOCKET s, const char* buf, int len, int flags) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    int sys;
    if (!MapFlags(flags, &sys)) return Fail(WSAEOPNOTSUPP);
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    const Clock::time_point start = Clock::now();
    const size_t size = static_cast<size_t>(len);
    ssize_t n = ::send(r.fd(), buf, size, sys | MSG_NOSIGNAL);
    bool interrupted = n < 0 && errno == EINTR;
    if (!r.closed() && r.blocking() && r.kind() == kStream && (interrupted || (n >= 0 && static_cast<size_t>(n) < size)))
        n = FinishStreamSend(r, buf, size, n < 0 ? 0 : static_cast<size_t>(n), sys, start);
    else if (interrupted && !r.closed())
        n = RetryInterrupted(r, POLLOUT, Deadline(r.fd(), SO_SNDTIMEO, start), [&](int extra) {
            return ::send(r.fd(), buf, size, sys | MSG_NOSIGNAL | extra);
        });
    return FinishTransfer(r, n, errno);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    int sys;
    if (!MapFlags(flags, &sys)) return Fail(WSAEOPNOTSUPP);
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    if (to && tolen < static_cast<int>(sizeof(sockaddr))) return Fail(WSAEFAULT);
    if (IsAnyDestination(to)) return Fail(WSAEADDRNOTAVAIL);
    const Clock::time_point start = Clock::now();
    auto call = [&](int extra) {
        return ::sendto(r.fd(), buf, static_cast<size_t>(len), sys | MSG_NOSIGNAL | extra, to,
                        to ? static_cast<socklen_t>(tolen) : 0);
    };
    ssize_t n = call(0);
    if (n < 0 && errno == EINTR && !r.closed())
        n = RetryInterrupted(r, POLLOUT, Deadline(r.fd(), SO_SNDTIMEO, start), call);
    return FinishTransfer(r, n, errno);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    int sys;
    if (!MapFlags(flags, &sys)) return Fail(WSAEOPNOTSUPP);
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    bool datagram = r.kind() == kDatagram;
    if (datagram) sys |= MSG_TRUNC;
    const Clock::time_point start = Clock::now();
    auto call = [&](int extra) { return ::recv(r.fd(), buf, static_cast<size_t>(len), sys | extra); };
    ssize_t n = call(0);
    if (n < 0 && errno == EINTR && !r.closed())
        n = RetryInterrupted(r, POLLIN, Deadline(r.fd(), SO_RCVTIMEO, start), call);
    return FinishReceive(r, n, errno, len, datagram);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    int sys;
    if (!MapFlags(flags, &sys)) return Fail(WSAEOPNOTSUPP);
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    if (from && (!fromlen || *fromlen < 0)) return Fail(WSAEFAULT);
    bool datagram = r.kind() == kDatagram;
    if (datagram) sys |= MSG_TRUNC;
    socklen_t fl = from ? static_cast<socklen_t>(*fromlen) : 0;
    const Clock::time_point start = Clock::now();
    auto call = [&](int extra) {
        return ::recvfrom(r.fd(), buf, static_cast<size_t>(len), sys | extra, from, from ? &fl : nullptr);
    };
    ssize_t n = call(0);
    if (n < 0 && errno == EINTR && !r.closed())
        n = RetryInterrupted(r, POLLIN, Deadline(r.fd(), SO_RCVTIMEO, start), call);
    int err = errno;
    if (n >= 0 && from) *fromlen = static_cast<int>(fl);
    return FinishReceive(r, n, err, len, datagram);
}

int shutdown(SOCKET s, int how) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return Fail(WSAEINVAL);
    static const int kHow[] = {SHUT_RD, SHUT_WR, SHUT_RDWR};
    if (::shutdown(r.fd(), kHow[how]) != 0) return FailErrno(r, errno);
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, unsigned long* argp) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (!argp) return Fail(WSAEFAULT);
    if (IsFionbio(cmd)) {
        bool on = *argp != 0;
        // As on Windows, a socket with a selected event stays non-blocking.
        if (!on && r.entry().eventId.load(std::memory_order_relaxed)) return Fail(WSAEINVAL);
        if (!SetNonBlocking(r.fd(), on)) return FailErrno(r, errno);
        r.entry().nonblocking.store(on, std::memory_order_relaxed);
        return 0;
    }
    if (IsFionread(static_cast<unsigned long>(cmd))) {
        int n = 0;
        if (::ioctl(r.fd(), FIONREAD, &n) != 0) return FailErrno(r, errno);
        *argp = static_cast<unsigned long>(n < 0 ? 0 : n);
        return 0;
    }
    return Fail(WSAEINVAL);
}

int WSAIoctl(SOCKET s, unsigned long code, void* in, unsigned long inLen, void* out, unsigned long outLen,
             unsigned long* bytesReturned, void* overlapped, void* completion) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (overlapped || completion) return Fail(WSAEOPNOTSUPP);
    if (bytesReturned) *bytesReturned = 0;
    uint32_t c = static_cast<uint32_t>(code);
    if (c == static_cast<uint32_t>(SIO_FLUSH)) {
        // Windows discards queued urgent data here; there is none to discard.
        return 0;
    }
    if (IsFionread(code)) {
        if (!out || outLen < sizeof(uint32_t)) return Fail(WSAEFAULT);
        int n = 0;
        if (::ioctl(r.fd(), FIONREAD, &n) != 0) return FailErrno(r, errno);
        uint32_t count = static_cast<uint32_t>(n < 0 ? 0 : n);
        memcpy(out, &count, sizeof count);
        if (bytesReturned) *bytesReturned = sizeof count;
        return 0;
    }
    if (c == static_cast<uint32_t>(WIN_FIONBIO) || code == static_cast<unsigned long>(FIONBIO)) {
        if (!in || inLen < sizeof(uint32_t)) return Fail(WSAEFAULT);
        uint32_t v;
        memcpy(&v, in, sizeof v);
        unsigned long arg = v;
        return ioctlsocket(s, static_cast<long>(FIONBIO), &arg);
    }
    return Fail(WSAEINVAL);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (!optval || optlen < 0) return Fail(WSAEFAULT);
    if (level == SOL_SOCKET && (optname == SO_SNDTIMEO || optname == SO_RCVTIMEO)) {
        if (optlen < static_cast<int>(sizeof(uint32_t))) return Fail(WSAEFAULT);
        uint32_t ms;
        memcpy(&ms, optval, sizeof ms);
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(ms / 1000);
        tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
        if (::setsockopt(r.fd(), SOL_SOCKET, optname, &tv, sizeof tv) != 0) return FailErrno(r, errno);
        return 0;
    }
    if (level == SOL_SOCKET && (optname == SO_RCVBUF || optname == SO_SNDBUF)) {
        if (optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
        int v;
        memcpy(&v, optval, sizeof v);
        if (::setsockopt(r.fd(), SOL_SOCKET, optname, &v, sizeof v) != 0) return FailErrno(r, errno);
        return 0;
    }
    if (::setsockopt(r.fd(), level, optname, optval, static_cast<socklen_t>(optlen)) != 0) return FailErrno(r, errno);
    return 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (!optval || !optlen || *optlen < 0) return Fail(WSAEFAULT);
    if (level == SOL_SOCKET && (optname == SO_SNDTIMEO || optname == SO_RCVTIMEO)) {
        if (*optlen < static_cast<int>(sizeof(uint32_t))) return Fail(WSAEFAULT);
        timeval tv{};
        socklen_t l = sizeof tv;
        if (::getsockopt(r.fd(), SOL_SOCKET, optname, &tv, &l) != 0) return FailErrno(r, errno);
        uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
        uint32_t v = ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(ms);
        memcpy(optval, &v, sizeof v);
        *optlen = sizeof v;
        return 0;
    }
    if (level == SOL_SOCKET && (optname == SO_RCVBUF || optname == SO_SNDBUF || optname == SO_ERROR)) {
        if (*optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
        int v = 0;
        socklen_t l = sizeof v;
        if (::getsockopt(r.fd(), SOL_SOCKET, optname, &v, &l) != 0) return FailErrno(r, errno);
        if (optname == SO_ERROR)
            v = ErrnoToWsa(v, r.blocking());  // the pending error as a Windows code
        else
            v /= 2;  // Linux reports twice the size asked for (its bookkeeping share)
        memcpy(optval, &v, sizeof v);
        *optlen = sizeof v;
        return 0;
    }
    socklen_t l = static_cast<socklen_t>(*optlen);
    if (::getsockopt(r.fd(), level, optname, optval, &l) != 0) return FailErrno(r, errno);
    *optlen = static_cast<int>(l);
    return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (!name || !namelen || *namelen < 0) return Fail(WSAEFAULT);
    sockaddr_storage ss{};
    socklen_t l = sizeof ss;
    if (::getsockname(r.fd(), reinterpret_cast<sockaddr*>(&ss), &l) != 0) return FailErrno(r, errno);
    // Windows refuses the name of a socket that was never bound.
    if (ss.ss_family == AF_INET && reinterpret_cast<sockaddr_in*>(&ss)->sin_port == 0) return Fail(WSAEINVAL);
    if (static_cast<socklen_t>(*namelen) < l) return Fail(WSAEFAULT);
    memcpy(name, &ss, l);
    *namelen = static_cast<int>(l);
    return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
    SocketRef r(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (!name || !namelen || *namelen < 0) return Fail(WSAEFAULT);
    sockaddr_storage ss{};
    socklen_t l = sizeof ss;
    if (::getpeername(r.fd(), reinterpret_cast<sockaddr*>(&ss), &l) != 0) return FailErrno(r, errno);
    if (static_cast<socklen_t>(*namelen) < l) return Fail(WSAEFAULT);
    memcpy(name, &ss, l);
    *namelen = static_cast<int>(l);
    return 0;
}

}  // namespace win
