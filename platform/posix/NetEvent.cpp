// Network events: an event object selected on a socket, and a wait that
// returns when a selected socket is ready or an event was set.
//
// Readiness is level-triggered: an event selected for FD_READ reads as
// signalled for as long as data (or a hang-up) is waiting on its socket,
// and stops once the data has been read, whether or not WSAResetEvent was
// called. WSASetEvent/WSAResetEvent set and clear a manual signal besides.
// Closing the socket cancels its selection; a socket closed during a wait
// does not signal, and a closed handle is never polled again.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "HandleRegistry.h"
#include "PlatformInternal.h"

using namespace oam::platform;

struct OamNetEvent {};  // WSAEVENT values are registry keys, never addresses

namespace {

struct NetEvent {
    uint64_t id = 0;
    std::mutex m;
    SOCKET sock = 0;
    long mask = 0;
    bool signalled = false;
    bool closed = false;
    std::vector<int> waiters;  // wake descriptors of threads waiting on it

    // Caller holds m.
    void WakeWaiters() {
        uint64_t one = 1;
        for (int fd : waiters) (void)!::write(fd, &one, sizeof one);
    }
};

using Events = HandleRegistry<NetEvent>;

std::shared_ptr<NetEvent> Find(WSAEVENT ev) {
    return Events::Instance().Find(reinterpret_cast<uintptr_t>(ev));
}

// One wake-up descriptor per waiting thread, made on first use.
struct WakeFd {
    int fd = -1;
    ~WakeFd() {
        if (fd >= 0) ::close(fd);
    }
    int get() {
        if (fd < 0) fd = KeepAwayFromStdio(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        return fd;
    }
    void drain() {
        uint64_t v;
        while (::read(fd, &v, sizeof v) > 0) {
        }
    }
};
thread_local WakeFd t_wake;

short PollEventsFor(long mask) {
    short ev = 0;
    if (mask & (FD_READ | FD_CLOSE | FD_ACCEPT)) ev |= POLLIN;
    if (mask & FD_OOB) ev |= POLLPRI;
    if (mask & (FD_WRITE | FD_CONNECT)) ev |= POLLOUT;
    return ev;
}

DWORD WaitFailed(int code) {
    SetThreadError(static_cast<uint32_t>(code));
    return WSA_WAIT_FAILED;
}

using EventList = std::vector<std::shared_ptr<NetEvent>>;

// An event's selected socket as one pass of a wait watches it.
struct Watch {
    SOCKET sock = 0;
    long mask = 0;
    std::unique_ptr<SocketRef> ref;
    int pollIndex = -1;
};

// What a look at the events found: the index of a signalled one (-1 for
// none) and whether one was closed.
struct Look {
    int ready = -1;
    bool closed = false;
};

// Registers for wake-ups first, then looks: a change made after the look
// rings the wake descriptor. Notes each event's selection in watch.
Look Enrol(const EventList& evs, int wake, std::vector<Watch>& watch) {
    Look look;
    for (size_t i = 0; i < evs.size(); ++i) {
        NetEvent& e = *evs[i];
        std::lock_guard<std::mutex> lock(e.m);
        e.waiters.push_back(wake);
        look.closed = look.closed || e.closed;
        if (e.signalled && look.ready < 0) look.ready = static_cast<int>(i);
        watch[i].sock = e.sock;
        watch[i].mask = e.mask;
    }
    return look;
}

// Takes the wake descriptor off every event and looks once more.
void Withdraw(const EventList& evs, int wake, Look& look) {
    for (size_t i = 0; i < evs.size(); ++i) {
        NetEvent& e = *evs[i];
        std::lock_guard<std::mutex> lock(e.m);
        auto it = std::find(e.waiters.begin(), e.waiters.end(), wake);
        if (it != e.waiters.end()) e.waiters.erase(it);
        // The lowest index wins, as on Windows.
        if (e.signalled && (look.ready < 0 || static_cast<int>(i) < look.ready)) look.ready = static_cast<int>(i);
        look.closed = look.closed || e.closed;
    }
}

// Polls the selected sockets and the wake descriptor for up to waitMs (-1:
// no limit) and sets ready to the first event whose socket is ready. 0, or
// the errno of a failed poll.
int PollSockets(const EventList& evs, std::vector<Watch>& watch, std::vector<pollfd>& pfds, int wake, int waitMs,
                int& ready) {
    pfds.clear();
    for (size_t i = 0; i < evs.size(); ++i) {
        Watch& w = watch[i];
        w.pollIndex = -1;
        short pe = PollEventsFor(w.mask);
        if (!w.sock || !pe) continue;
        w.ref.reset(new SocketRef(w.sock));
        // A stale handle, or a socket now selected on another event, is not
        // watched.
        if (!*w.ref || w.ref->entry().eventId.load(std::memory_order_relaxed) != evs[i]->id) {
            w.ref.reset();
            continue;
        }
        w.pollIndex = static_cast<int>(pfds.size());
        pfds.push_back(pollfd{w.ref->fd(), pe, 0});
    }
    pfds.push_back(pollfd{wake, POLLIN, 0});
    int rc = ::poll(pfds.data(), pfds.size(), waitMs);
    int err = rc < 0 && errno != EINTR ? errno : 0;
    for (size_t i = 0; i < watch.size() && ready < 0 && err == 0; ++i) {
        Watch& w = watch[i];
        if (w.pollIndex < 0) continue;
        const pollfd& p = pfds[static_cast<size_t>(w.pollIndex)];
        bool hit = (p.revents & p.events) || (p.revents & (POLLHUP | POLLERR));
        // A socket that closesocket woke has no event to report.
        if (hit && !w.ref->closed()) ready = static_cast<int>(i);
    }
    for (Watch& w : watch) w.ref.reset();
    return err;
}

}  // namespace

namespace win {

WSAEVENT WSACreateEvent() {
    // The socket table names the selected event by its id, the key's count.
    uintptr_t key = Events::Instance().Add(std::make_shared<NetEvent>(),
                                           [](NetEvent& made, uintptr_t k) { made.id = k >> 4; });
    return reinterpret_cast<WSAEVENT>(key);
}

BOOL WSACloseEvent(WSAEVENT ev) {
    std::shared_ptr<NetEvent> e = Events::Instance().Take(reinterpret_cast<uintptr_t>(ev));
    if (!e) {
        SetThreadError(WSA_INVALID_HANDLE);
        return FALSE;
    }
    SOCKET s;
    {
        std::lock_guard<std::mutex> lock(e->m);
        e->closed = true;
        s = e->sock;
        e->sock = 0;
        e->WakeWaiters();
    }
    // The socket (if still open) forgets the selection.
    SocketRef ref(s);
    if (ref) {
        uint64_t id = e->id;
        ref.entry().eventId.compare_exchange_strong(id, 0, std::memory_order_relaxed);
    }
    return TRUE;
}

BOOL WSASetEvent(WSAEVENT ev) {
    std::shared_ptr<NetEvent> e = Find(ev);
    if (!e) {
        SetThreadError(WSA_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(e->m);
    e->signalled = true;
    e->WakeWaiters();
    return TRUE;
}

BOOL WSAResetEvent(WSAEVENT ev) {
    std::shared_ptr<NetEvent> e = Find(ev);
    if (!e) {
        SetThreadError(WSA_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(e->m);
    e->signalled = false;
    return TRUE;
}

int WSAEventSelect(SOCKET s, WSAEVENT ev, long networkEvents) {
    SocketRef ref(s);
    if (!ref) {
        SetThreadError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    std::shared_ptr<NetEvent> e = Find(ev);
    if (!e) {
        SetThreadError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (networkEvents == 0) {
        // Cancels the selection; the socket stays non-blocking.
        uint64_t id = e->id;
        ref.entry().eventId.compare_exchange_strong(id, 0, std::memory_order_relaxed);
    } else {
        // As on Windows, selecting makes the socket non-blocking.
        int fl = fcntl(ref.fd(), F_GETFL);
        if (fl < 0 || (!(fl & O_NONBLOCK) && fcntl(ref.fd(), F_SETFL, fl | O_NONBLOCK) != 0)) {
            SetThreadError(static_cast<uint32_t>(ErrnoToWsa(errno, ref.blocking())));
            return SOCKET_ERROR;
        }
        ref.entry().nonblocking.store(true, std::memory_order_relaxed);
        // A later selection on the socket replaces an earlier one.
        ref.entry().eventId.store(e->id, std::memory_order_relaxed);
    }
    std::lock_guard<std::mutex> lock(e->m);
    e->sock = networkEvents ? s : 0;
    e->mask = networkEvents;
    e->WakeWaiters();  // running waits pick up the new selection
    return 0;
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll, DWORD timeoutMs,
                               BOOL /*alertable*/) {
    if (!events || count == 0 || count > WSA_MAXIMUM_WAIT_EVENTS) return WaitFailed(WSA_INVALID_PARAMETER);
    if (waitAll) return WaitFailed(WSAEINVAL);  // not supported
    EventList evs(count);
    for (DWORD i = 0; i < count; ++i) {
        evs[i] = Find(events[i]);
        if (!evs[i]) return WaitFailed(WSA_INVALID_HANDLE);
    }
    int wake = t_wake.get();
    if (wake < 0) return WaitFailed(WSAENOBUFS);

    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == WSA_INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);

    std::vector<Watch> watch(count);
    std::vector<pollfd> pfds;
    pfds.reserve(count + 1);

    for (;;) {
        t_wake.drain();
        Look look = Enrol(evs, wake, watch);
        if (look.ready < 0 && !look.closed) {
            int waitMs = -1;
            if (!forever) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                // Round up so that the deadline has passed when poll returns.
                waitMs = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 0x7FFFFFFF));
            }
            if (int err = PollSockets(evs, watch, pfds, wake, waitMs, look.ready)) {
                Withdraw(evs, wake, look);
                return WaitFailed(ErrnoToWsa(err, true));
            }
        }
        Withdraw(evs, wake, look);
        if (look.ready >= 0) return WSA_WAIT_EVENT_0 + static_cast<DWORD>(look.ready);
        if (look.closed) return WaitFailed(WSA_INVALID_HANDLE);
        if (!forever && Clock::now() >= deadline) return WSA_WAIT_TIMEOUT;
    }
}

}  // namespace win
