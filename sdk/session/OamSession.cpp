// COamSession: a channel that comes back by itself. One mutex guards the
// session's state, another (the exchange lock) keeps commands, probes and
// reconnects from using the channel at once. State callbacks run with
// neither held; the only host code that runs under the exchange lock is
// the channel's (a progress hook, a log sink), and a call of the session
// from there is told apart by a per-thread mark, never waited for.
#include "OamSession.h"

#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Corbex.h"
#include "OamCommand.h"
#include "PlatformSockets.h"
#include "channel/ChannelInternal.h"
#include "channel/ChannelOptions.h"
#include "codec/TextScan.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often the background thread looks at an idle connection.
const auto kWatchPeriod = std::chrono::milliseconds(1000);

enum Phase { kClosed, kUp, kDown, kAttempting, kGivenUp };

struct Event {
    int state = OAM_SESSION_CLOSED, cause = OAM_CAUSE_NONE, code = 0, attempt = 0, delayMs = 0;
    std::string text;
};

// Whether the connection under a channel is gone, looked at without
// waiting: a peek that finds the end of the stream or an error.
bool ConnectionGone(CClientSocket& channel, int* code) {
    SOCKET s = channel.GetSocket();
    if (s == 0) {
        *code = WSAENOTCONN;
        return true;
    }
    unsigned long on = 1, off = 0;
    if (win::ioctlsocket(s, static_cast<long>(WIN_FIONBIO), &on) != 0) {
        *code = static_cast<int>(GetLastError());
        return true;
    }
    char byte;
    int n = win::recv(s, &byte, 1, MSG_PEEK);
    DWORD error = GetLastError();
    win::ioctlsocket(s, static_cast<long>(WIN_FIONBIO), &off);
    if (n == 0) {
        *code = 0;
        return true;
    }
    if (n < 0 && error != WSAEWOULDBLOCK) {
        *code = static_cast<int>(error);
        return true;
    }
    return false;
}

std::string ErrorText(int code) {
    SetLastError(static_cast<DWORD>(code));
    return CFunction::GetLastErrorString().str();
}

// A reply of another session (taken by the default mode, thrown away by
// strict mode) means the link carries replies meant for other commands and
// can no longer be trusted: the session rebuilds it as if it were lost.
bool ReplyWasForAnotherCommand(const CClientSocket& channel) { return channel.LastReplySessionMismatched() != FALSE; }

// The sessions whose exchange lock this thread holds, innermost last: a
// call of one of them from a hook that runs under it cannot wait for it.
thread_local std::vector<const void*> t_inside;

bool Inside(const void* session) {
    for (const void* s : t_inside)
        if (s == session) return true;
    return false;
}

int Library(int result) {
    oam::channel::SetResultOrigin(OAM_ORIGIN_LIBRARY);
    return result;
}

}  // namespace

struct COamSession::Impl {
    COamSession* self = nullptr;
    CClientSocket channelObject;
    CClientSocket* channel = &channelObject;

    mutable std::mutex m;  // everything below up to `exchange`
    std::condition_variable cv;
    std::string address = "127.0.0.1";
    unsigned port = 9000;
    std::string login;
    int initialMs = 500, maxMs = 30000, jitterPercent = 20, maxAttempts = 0;
    OAM_SESSION_CALLBACK callback = nullptr;
    LONG_PTR userData = 0;
    bool background = false;
    Phase phase = kClosed;
    bool everRestored = false;
    bool stop = false;
    int attempts = 0;
    int delayMs = 0;    // the back-off step of the next attempt
    int lastDelay = 0;  // what was waited before it, jitter taken off
    Clock::time_point nextAttempt{};
    SOCKET liveHandle = 0;  // the connection a reconnect is logging in on
    std::minstd_rand rng;
    std::thread worker;

    bool closeToReport = false;  // Close came from under the exchange: CLOSED is reported after it

    std::mutex exchange;
    std::recursive_mutex reporting;  // one callback at a time; the callback may cause another
    std::atomic<bool> linkBroke{false};
    WSAEVENT abort = WSA_INVALID_EVENT;

    static void OnLinkBreak(LONG_PTR, LONG_PTR user) { reinterpret_cast<Impl*>(user)->linkBroke = true; }

    // The exchange lock, with this thread marked as inside the session. A
    // Close from under it (a hook) is finished when it is let go: the
    // channel closed, CLOSED reported.
    class Exchange {
    public:
        explicit Exchange(Impl& s, bool tryOnly = false) : m_s(s) {
            m_owns = tryOnly ? s.exchange.try_lock() : (s.exchange.lock(), true);
            if (m_owns) t_inside.push_back(&s);
        }
        ~Exchange() {
            if (!m_owns) return;
            t_inside.pop_back();
            bool closed;
            {
                std::lock_guard<std::mutex> l(m_s.m);
                closed = m_s.closeToReport;
                m_s.closeToReport = false;
            }
            if (closed && m_s.channel->GetSocket() != 0) m_s.channel->Close();
            m_s.exchange.unlock();
            if (closed) {
                Event e;
                e.cause = OAM_CAUSE_HOST;
                e.text = "closed by the host";
                m_s.Report(e);
            }
        }
        Exchange(const Exchange&) = delete;
        Exchange& operator=(const Exchange&) = delete;
        bool Owns() const { return m_owns; }

    private:
        Impl& m_s;
        bool m_owns;
    };

    void Report(const Event& e) {
        OAM_SESSION_CALLBACK cb;
        LONG_PTR user;
        {
            std::lock_guard<std::mutex> l(m);
            cb = callback;
            user = userData;
        }
        CFunction::DLog("Session state:%d cause:%d code:%d attempt:%d %s", e.state, e.cause, e.code, e.attempt,
                        e.text.c_str());
        if (!cb) return;
        OAM_SESSION_EVENT ev{e.state, e.cause, e.code, e.attempt, e.delayMs, e.text.c_str()};
        std::lock_guard<std::recursive_mutex> l(reporting);
        cb(reinterpret_cast<LONG_PTR>(self), &ev, user);
    }

    // The wait before the next attempt, less its jitter; m held.
    int JitteredDelay() {
        int d = delayMs;
        if (jitterPercent > 0 && d > 0) {
            int most = static_cast<int>(static_cast<long long>(d) * jitterPercent / 100);
            if (most > 0) d -= static_cast<int>(rng() % static_cast<unsigned>(most + 1));
        }
        return d;
    }

    // After a loss or a failed attempt: schedule the next one; m held.
    int ScheduleNext() {
        int d = JitteredDelay();
        lastDelay = d;
        nextAttempt = Clock::now() + std::chrono::milliseconds(d);
        delayMs = delayMs >= maxMs / 2 ? maxMs : delayMs * 2;
        cv.notify_all();
        return d;
    }

    // Connects and logs in on the channel; exchange held. 0 or the cause.
    int ConnectAndLogin(int* code, std::string* text) {
        std::string addr, params;
        unsigned p;
        {
            std::lock_guard<std::mutex> l(m);
            // Closed meanwhile (Close takes the exchange lock after marking).
            if (stop || phase != kAttempting) {
                *code = WSAEINTR;
                *text = "stopped";
                return OAM_CAUSE_HOST;
            }
            addr = address;
            params = login;
            p = port;
        }
        if (channel->GetSocket() != 0) channel->Close();
        linkBroke = false;
        if (!channel->Create(p, addr.c_str())) {
            *code = static_cast<int>(GetLastError());
            *text = "cannot connect to " + addr + ":" + std::to_string(p) + ": " +
                    ErrorText(*code);
            return OAM_CAUSE_CONNECT_FAILED;
        }
        {
            // Close may have come while the connect completed: it found no
            // handle to wake, so the log-in must not start.
            std::lock_guard<std::mutex> l(m);
            if (stop || phase != kAttempting) {
                channel->Close();
                *code = WSAEINTR;
                *text = "stopped";
                return OAM_CAUSE_HOST;
            }
            liveHandle = channel->GetSocket();
        }
        int rc = 0;
        CString reply;
        // A fresh connection carries no other command's reply: the log-in's
        // is taken whatever its SESSIONID, as the channel takes it.
        oam::channel::SetRefuseForeignReplies(channel, false);
        if (!params.empty()) rc = channel->SendCommand("", "Login", params.c_str(), reply);
        oam::channel::SetRefuseForeignReplies(channel, true);
        {
            std::lock_guard<std::mutex> l(m);
            liveHandle = 0;
        }
        if (rc == 0) return OAM_CAUSE_NONE;
        channel->Close();
        *code = rc;
        if (rc == -1) {
            *text = "no usable reply to the log-in";
            return OAM_CAUSE_NO_LOGIN_REPLY;
        }
        *text = "log-in refused (code " + std::to_string(rc) + "): " + reply.str();
        return OAM_CAUSE_LOGIN_REFUSED;
    }

    // One reconnect attempt; called with nothing held, phase already
    // kAttempting. True when the link is back.
    bool Attempt() {
        Event start;
        {
            std::lock_guard<std::mutex> l(m);
            start.state = OAM_SESSION_RECONNECTING;
            start.attempt = ++attempts;
            start.delayMs = lastDelay;
            start.text = "attempt " + std::to_string(start.attempt);
        }
        Report(start);
        Event out;
        out.attempt = start.attempt;
        int code = 0;
        std::string text;
        int cause;
        {
            Exchange ex(*this);
            cause = ConnectAndLogin(&code, &text);
        }
        {
            std::lock_guard<std::mutex> l(m);
            if (stop || phase != kAttempting) return false;  // Close or destruction meanwhile
            out.cause = cause;
            out.code = code;
            out.text = text;
            if (cause == OAM_CAUSE_NONE) {
                phase = kUp;
                everRestored = true;
                attempts = 0;
                delayMs = initialMs;
                out.state = OAM_SESSION_RESTORED;
                out.text = "logged in again";
            } else if (cause == OAM_CAUSE_LOGIN_REFUSED) {
                // Not a passing fault: retrying would only hammer the server.
                phase = kGivenUp;
                out.state = OAM_SESSION_GIVEN_UP;
            } else if (maxAttempts > 0 && attempts >= maxAttempts) {
                phase = kGivenUp;
                out.state = OAM_SESSION_GIVEN_UP;
                out.cause = OAM_CAUSE_ATTEMPTS_USED;
                out.text = std::to_string(attempts) + " attempts failed; the last: " + text;
            } else {
                phase = kDown;
                out.state = OAM_SESSION_LOST;
                out.delayMs = ScheduleNext();
            }
        }
        Report(out);
        return out.state == OAM_SESSION_RESTORED;
    }


    // The link is found gone; exchange held. Fills the LOST event.
    void MarkLost(int cause, int code, const std::string& text, Event* e) {
        channel->Close();
        std::lock_guard<std::mutex> l(m);
        if (phase != kUp) return;
        phase = kDown;
        attempts = 0;
        delayMs = initialMs;
        e->state = OAM_SESSION_LOST;
        e->cause = cause;
        e->code = code;
        e->text = text;
        e->delayMs = ScheduleNext();
    }

    // After a command on the channel (exchange held): was the link lost?
    void Examine(int result, Event* e) {
        int code = 0;
        if (ReplyWasForAnotherCommand(*channel)) {
            MarkLost(OAM_CAUSE_DESYNCHRONISED, 0, "a reply for another command came", e);
        } else if (linkBroke.exchange(false)) {
            ConnectionGone(*channel, &code);
            MarkLost(OAM_CAUSE_LINK_BREAK, code, "link break", e);
        } else if (result != 0 && ConnectionGone(*channel, &code)) {
            MarkLost(OAM_CAUSE_CONNECTION_GONE, code,
                     code == 0 ? std::string("the server closed the connection")
                               : "connection failed: " + ErrorText(code),
                     e);
        }
    }

    // Before a command: true when the link is up, after a reconnect on this
    // thread if the foreground schedule allows one.
    bool EnsureUp() {
        {
            std::lock_guard<std::mutex> l(m);
            if (phase == kUp) return true;
            if (phase != kDown || background || stop || Clock::now() < nextAttempt) return false;
            phase = kAttempting;
        }
        return Attempt();
    }

    template <class F>
    int Run(F command) {
        // From a hook under this session's own command: waiting for the
        // exchange lock would wait for ever.
        if (Inside(this)) return Library(OAM_SESSION_BUSY);
        if (!EnsureUp()) return Library(OAM_SESSION_LINK_DOWN);
        Event lost;
        int rc, origin;
        {
            Exchange ex(*this);
            {
                // The check and the handle's registration in one piece: a
                // Close either comes first, or finds the handle to wake.
                std::lock_guard<std::mutex> l(m);
                if (phase != kUp) return Library(OAM_SESSION_LINK_DOWN);  // lost while this one waited
                liveHandle = channel->GetSocket();
            }
            linkBroke = false;
            rc = command(*channel);
            origin = OamLastResultOrigin();
            bool up;
            {
                std::lock_guard<std::mutex> l(m);
                liveHandle = 0;
                up = phase == kUp;
            }
            if (up) {
                Examine(rc, &lost);
            } else if (channel->GetSocket() != 0) {
                channel->Close();  // closed meanwhile, from a hook or another thread
            }
        }
        if (lost.state == OAM_SESSION_LOST) Report(lost);
        // A callback's own commands do not change this command's origin.
        oam::channel::SetResultOrigin(origin);
        return rc;
    }

    void Watch() {
        Event lost;
        {
            Exchange ex(*this, true);
            if (!ex.Owns()) return;  // a command is using the link: it will tell
            {
                std::lock_guard<std::mutex> l(m);
                if (phase != kUp) return;
            }
            int code = 0;
            if (ConnectionGone(*channel, &code))
                MarkLost(OAM_CAUSE_CONNECTION_GONE, code,
                         code == 0 ? std::string("the server closed the connection")
                                   : "connection failed: " + ErrorText(code),
                         &lost);
        }
        if (lost.state == OAM_SESSION_LOST) Report(lost);
    }

    void Loop() {
        std::unique_lock<std::mutex> l(m);
        while (!stop) {
            if (phase == kDown) {
                if (Clock::now() < nextAttempt) {
                    cv.wait_until(l, nextAttempt);
                    continue;
                }
                phase = kAttempting;
                l.unlock();
                Attempt();
                l.lock();
            } else if (phase == kUp) {
                cv.wait_for(l, kWatchPeriod);
                if (stop || phase != kUp) continue;
                l.unlock();
                Watch();
                l.lock();
            } else {
                cv.wait(l);
            }
        }
    }

    // Cuts short a connect, log-in, command or transfer under way and
    // waits for it; the session no longer reconnects. Gives whether it was
    // open and the CLOSED event is the caller's to report. From under the
    // exchange (a progress hook) nothing is waited for: the command in
    // flight fails, closes the channel and reports CLOSED when it returns.
    bool Shut(bool destroying) {
        const bool inside = Inside(this);
        bool wasOpen;
        {
            std::lock_guard<std::mutex> l(m);
            wasOpen = phase != kClosed;
            phase = kClosed;
            if (destroying) stop = true;
            if (liveHandle != 0) oam::platform::WakeBlockedCalls(liveHandle);
            if (inside && wasOpen) closeToReport = true;
            cv.notify_all();
        }
        if (inside) return false;
        win::WSASetEvent(abort);
        if (destroying && worker.joinable()) worker.join();
        {
            Exchange ex(*this);
            if (channel->GetSocket() != 0) channel->Close();
        }
        win::WSAResetEvent(abort);
        return wasOpen;
    }
};

COamSession::COamSession() : m_impl(new Impl), m_channel(m_impl->channel) {
    m_impl->self = this;
    m_impl->rng.seed(static_cast<unsigned>(Clock::now().time_since_epoch().count()) ^
                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    m_impl->abort = win::WSACreateEvent();
    m_impl->delayMs = m_impl->initialMs;
    m_channel->SetWnd(nullptr, &Impl::OnLinkBreak, reinterpret_cast<LONG_PTR>(m_impl));
    oam::channel::SetAbortEvent(m_channel, m_impl->abort);
    oam::channel::SetRefuseForeignReplies(m_channel, true);
}

COamSession::~COamSession() {
    if (m_impl->Shut(true)) {
        Event e;
        e.cause = OAM_CAUSE_HOST;
        e.text = "session destroyed";
        m_impl->Report(e);
    }
    if (m_impl->abort != WSA_INVALID_EVENT) win::WSACloseEvent(m_impl->abort);
    delete m_impl;
}

void COamSession::SetServer(const char* address, unsigned int port) {
    std::lock_guard<std::mutex> l(m_impl->m);
    m_impl->address = address ? address : "";
    m_impl->port = port;
}

void COamSession::SetLogin(const char* params) {
    std::lock_guard<std::mutex> l(m_impl->m);
    m_impl->login = params ? params : "";
}

int COamSession::SetBackoff(int initialMs, int maxMs, int jitterPercent, int maxAttempts) {
    if (initialMs < 1 || maxMs < initialMs || maxMs > 86400000 || jitterPercent < 0 || jitterPercent > 100 ||
        maxAttempts < 0)
        return OAM_OPTION_BAD_VALUE;
    std::lock_guard<std::mutex> l(m_impl->m);
    m_impl->initialMs = initialMs;
    m_impl->maxMs = maxMs;
    m_impl->jitterPercent = jitterPercent;
    m_impl->maxAttempts = maxAttempts;
    if (m_impl->phase == kClosed) m_impl->delayMs = initialMs;
    return OAM_OPTION_OK;
}

void COamSession::SetCallback(OAM_SESSION_CALLBACK callback, LONG_PTR userData) {
    std::lock_guard<std::mutex> l(m_impl->m);
    m_impl->callback = callback;
    m_impl->userData = userData;
}

void COamSession::SetAutoReconnect(BOOL background) {
    std::lock_guard<std::mutex> l(m_impl->m);
    m_impl->background = background != FALSE;
    m_impl->cv.notify_all();
}

int COamSession::Open() {
    Impl& s = *m_impl;
    // From a hook under one of this session's commands (after a Close
    // there): the exchange lock is that command's.
    if (Inside(&s)) return Library(OAM_SESSION_BUSY);
    bool logsIn;
    {
        std::lock_guard<std::mutex> l(s.m);
        if ((s.phase != kClosed && s.phase != kGivenUp) || s.stop) return Library(OAM_SESSION_BUSY);
        s.phase = kAttempting;
        logsIn = !s.login.empty();
    }
    int code = 0, cause;
    std::string text;
    {
        Impl::Exchange ex(s);
        cause = s.ConnectAndLogin(&code, &text);
    }
    bool startWorker = false;
    {
        std::lock_guard<std::mutex> l(s.m);
        if (s.phase != kAttempting) return Library(-1);  // closed meanwhile
        if (cause != OAM_CAUSE_NONE) {
            s.phase = kClosed;
            if (cause == OAM_CAUSE_CONNECT_FAILED) SetLastError(static_cast<DWORD>(code));
            if (cause == OAM_CAUSE_LOGIN_REFUSED) {
                oam::channel::SetResultOrigin(OAM_ORIGIN_SERVER);
                return code;
            }
            return Library(-1);
        }
        s.phase = kUp;
        s.everRestored = false;  // CONNECTED until a reconnect since this Open
        s.attempts = 0;
        s.delayMs = s.initialMs;
        startWorker = s.background && !s.worker.joinable();
        if (startWorker) s.worker = std::thread([&s] { s.Loop(); });
        s.cv.notify_all();  // a worker left idle by Close watches again
    }
    Event e;
    e.state = OAM_SESSION_CONNECTED;
    e.text = "connected and logged in";
    s.Report(e);
    // The log-in's acceptance, or the library's connection when there is none.
    oam::channel::SetResultOrigin(logsIn ? OAM_ORIGIN_SERVER : OAM_ORIGIN_LIBRARY);
    return 0;
}

void COamSession::Close() {
    if (m_impl->Shut(false)) {
        Event e;
        e.cause = OAM_CAUSE_HOST;
        e.text = "closed by the host";
        m_impl->Report(e);
    }
}

int COamSession::State() const {
    std::lock_guard<std::mutex> l(m_impl->m);
    switch (m_impl->phase) {
    case kUp:
        return m_impl->everRestored ? OAM_SESSION_RESTORED : OAM_SESSION_CONNECTED;
    case kDown:
        return OAM_SESSION_LOST;
    case kAttempting:
        return OAM_SESSION_RECONNECTING;
    case kGivenUp:
        return OAM_SESSION_GIVEN_UP;
    default:
        return OAM_SESSION_CLOSED;
    }
}

BOOL COamSession::IsConnected() const {
    std::lock_guard<std::mutex> l(m_impl->m);
    return m_impl->phase == kUp ? TRUE : FALSE;
}

int COamSession::SendCommand(const char* station, const char* command, const char* params, CString& reply) {
    return m_impl->Run([&](CClientSocket& c) { return c.SendCommand(station, command, params, reply); });
}

int COamSession::GetAllStation(STATION_STRUCT* stations, int maximum) {
    return m_impl->Run([&](CClientSocket& c) { return c.GetAllStation(stations, maximum); });
}

int COamSession::GetDeviceInfo(STATION_STRUCT* station) {
    return m_impl->Run([&](CClientSocket& c) { return c.GetDeviceInfo(station); });
}

int COamSession::GetVpmParameterValue(const char* station, const char* name, int* value) {
    CString params;
    params.Format("%s=;", name ? name : "");
    CString reply;
    int rc = m_impl->Run([&](CClientSocket& c) { return c.SendCommand(station, "Get", params, reply); });
    if (rc != 0) return rc;
    COamCommand codec;
    CString pairName, text;
    if (codec.PopNameValue(reply, pairName, text, 1) < 0) return Library(-1);  // accepted without a value
    if (value) *value = oam::codec::Atoi(oam::codec::Span(text.GetString(), static_cast<size_t>(text.GetLength())));
    return 0;
}

int COamSession::SetVpmParameterValue(const char* station, const char* name, int value) {
    return m_impl->Run([&](CClientSocket& c) { return c.SetVpmParameterValue(station, name, value); });
}

int COamSession::SetVpmCtrlValue(const char* station, const char* name, int value) {
    return m_impl->Run([&](CClientSocket& c) { return c.SetVpmCtrlValue(station, name, value); });
}

int COamSession::SendFile(const char* station, const char* fileName) {
    return m_impl->Run([&](CClientSocket& c) { return c.SendFile(station, fileName); });
}

int COamSession::ReceiveFile(const char* station, const char* fileName) {
    return m_impl->Run([&](CClientSocket& c) { return c.ReceiveFile(station, fileName); });
}
