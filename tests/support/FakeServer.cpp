#include "FakeServer.h"

#include "Loopback.h"

#include <stdlib.h>

#include <chrono>
#include <map>

namespace oamtest {
namespace {

// Poll slices stay short so that a stopping server never waits long.
const int kSliceMs = 20;

typedef std::chrono::steady_clock Clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void setLinger0(int fd) {
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

}  // namespace

FakeServer::Responder FakeServer::AstrayPeer(Astray mode, Answer answer, int pauseMs) {
    struct Previous {
        std::mutex mutex;
        std::map<int, std::string> byConn;
    };
    auto previous = std::make_shared<Previous>();
    return [=](const std::string& request, int conn, int index) {
        int session = SessionOf(request);
        std::string rest = answer(request, index);
        std::string own = Reply(session, 0, rest);
        std::string stale;
        {
            std::lock_guard<std::mutex> g(previous->mutex);
            auto it = previous->byConn.find(conn);
            stale = it != previous->byConn.end() ? it->second
                                                 : Reply(session - 1, 0, "Stale=1;");
            previous->byConn[conn] = own;
        }
        switch (mode) {
        case Astray::StaleFirst: return Action::reply(stale + own);
        case Astray::StaleApart: return Action::split(stale + own, stale.size(), pauseMs);
        case Astray::StaleOnly: return Action::reply(stale);
        case Astray::Split: {
            size_t semi = rest.find(';');
            size_t at = own.size() - rest.size() + (semi == std::string::npos ? rest.size() : semi + 1);
            return Action::split(own, at, pauseMs);
        }
        case Astray::None: break;
        }
        return Action::reply(own);
    };
}

// ---- FakeConn ----------------------------------------------------------------

long FakeConn::readOnce(std::string& out, size_t max, int timeoutMs) {
    if (m_fd < 0 || m_eof) return -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_server->stopping()) return -1;
        int slice = remainingMs(deadline);
        if (slice > kSliceMs) slice = kSliceMs;
        pollfd p{};
        p.fd = m_fd;
        p.events = POLLIN;
        int r = net::Poll(&p, 1, slice);
        if (r < 0 && net::LastError() == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) {
            if (remainingMs(deadline) == 0) return 0;
            continue;
        }
        char buf[65536];
        size_t want = max < sizeof buf ? max : sizeof buf;
        long n = ::recv(m_fd, buf, static_cast<int>(want), 0);
        if (n < 0 && net::LastError() == EINTR) continue;
        if (n <= 0) {
            m_eof = true;
            return -1;
        }
        m_server->record(m_index, buf, static_cast<size_t>(n));
        out.append(buf, static_cast<size_t>(n));
        return n;
    }
}

std::string FakeConn::readSome(int timeoutMs, size_t max) {
    std::string out;
    readOnce(out, max, timeoutMs);
    return out;
}

bool FakeConn::readExactly(size_t n, std::string& out, int timeoutMs) {
    out.clear();
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        int left = remainingMs(deadline);
        if (left == 0) return false;
        if (readOnce(out, n - out.size(), left) < 0) return false;
    }
    return true;
}

std::string FakeConn::readRequest(int timeoutMs, int idleMs) {
    std::string out;
    if (readOnce(out, 65536, timeoutMs) <= 0) return out;
    // Take what follows without a pause as part of the same request.
    while (readOnce(out, 65536, idleMs) > 0) {
    }
    m_server->recordRequest(out);
    return out;
}

bool FakeConn::write(const std::string& bytes) {
    if (m_fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        long n = ::send(m_fd, bytes.data() + done, static_cast<int>(bytes.size() - done), net::kNoSignal);
        if (n < 0 && net::LastError() == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool FakeConn::writeDelayed(const std::string& bytes, int delayMs) {
    if (!m_server->sleepUnlessStopped(delayMs)) return false;
    return write(bytes);
}

void FakeConn::closeConn() {
    if (m_fd < 0) return;
    ::shutdown(m_fd, net::kShutBoth);
    net::Close(m_fd);
    m_fd = -1;
}

void FakeConn::reset() {
    if (m_fd < 0) return;
    setLinger0(m_fd);
    net::Close(m_fd);
    m_fd = -1;
}

std::string FakeConn::received() const { return m_server->received(m_index); }

// ---- FakeServer ----------------------------------------------------------------

FakeServer::FakeServer(std::vector<Action> script, Action after, const char* address)
    : m_script(std::move(script)), m_after(std::move(after)), m_useScript(true) {
    start(address);
}

FakeServer::FakeServer(Responder responder, const char* address) : m_responder(std::move(responder)) {
    start(address);
}

FakeServer::FakeServer(Handler handler, const char* address) : m_handler(std::move(handler)) {
    start(address);
}

void FakeServer::start(const char* address) {
    m_address = address ? address : "127.0.0.1";
    m_listenFd = ListenTcp(&m_port, 16, m_address.c_str(), true);
    if (m_listenFd >= 0) m_acceptThread = std::thread([this] { acceptLoop(); });
}

FakeServer::~FakeServer() {
    m_stop = true;
    m_cv.notify_all();
    if (m_listenFd >= 0) ::shutdown(m_listenFd, net::kShutBoth);
    if (m_acceptThread.joinable()) m_acceptThread.join();
    if (m_listenFd >= 0) net::Close(m_listenFd);
    // The accept thread is gone, so the list no longer grows.
    for (auto& t : m_connThreads)
        if (t.joinable()) t.join();
}

void FakeServer::acceptLoop() {
    while (!stopping()) {
        pollfd p{};
        p.fd = m_listenFd;
        p.events = POLLIN;
        int r = net::Poll(&p, 1, kSliceMs);
        if (r <= 0) continue;
        int fd = static_cast<int>(::accept(m_listenFd, nullptr, nullptr));
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        int index;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            index = static_cast<int>(m_conns.size());
            m_conns.emplace_back();
        }
        m_cv.notify_all();
        m_connThreads.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

void FakeServer::serve(int fd, int index) {
    FakeConn conn(this, fd, index);
    if (m_handler)
        m_handler(conn);
    else
        runScript(conn);
    conn.closeConn();
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_conns[static_cast<size_t>(index)].done = true;
    }
    m_cv.notify_all();
}

void FakeServer::runScript(FakeConn& conn) {
    for (int reqIndex = 0; !stopping(); ++reqIndex) {
        std::string req;
        // Wait for the client's next request however long it takes.
        while (req.empty() && !stopping() && !conn.peerClosed()) req = conn.readRequest(1000, 0);
        if (req.empty()) return;
        Action a = nextScripted(req, conn.index(), reqIndex);
        switch (a.kind) {
        case Action::Reply:
            if (a.delayMs > 0 && !sleepUnlessStopped(a.delayMs)) return;
            conn.write(a.bytes);
            break;
        case Action::SplitReply: {
            size_t at = a.splitAt < a.bytes.size() ? a.splitAt : a.bytes.size();
            conn.write(a.bytes.substr(0, at));
            if (!sleepUnlessStopped(a.pauseMs)) return;
            conn.write(a.bytes.substr(at));
            break;
        }
        case Action::NoReply:
            break;
        case Action::Close:
            conn.closeConn();
            return;
        case Action::Reset:
            conn.reset();
            return;
        }
    }
}

Action FakeServer::nextScripted(const std::string& request, int conn, int reqIndex) {
    if (m_responder) return m_responder(request, conn, reqIndex);
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_next < m_script.size()) return m_script[m_next++];
    return m_after;
}

void FakeServer::push(const Action& a) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_script.push_back(a);
}

void FakeServer::record(int conn, const char* data, size_t n) {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_conns[static_cast<size_t>(conn)].bytes.append(data, n);
    }
    m_cv.notify_all();
}

void FakeServer::recordRequest(const std::string& r) {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_requests.push_back(r);
    }
    m_cv.notify_all();
}

bool FakeServer::sleepUnlessStopped(int ms) {
    std::unique_lock<std::mutex> g(m_mutex);
    return !m_cv.wait_for(g, std::chrono::milliseconds(ms), [this] { return stopping(); });
}

int FakeServer::connections() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return static_cast<int>(m_conns.size());
}

std::string FakeServer::received(int conn) const {
    std::lock_guard<std::mutex> g(m_mutex);
    if (conn < 0 || static_cast<size_t>(conn) >= m_conns.size()) return std::string();
    return m_conns[static_cast<size_t>(conn)].bytes;
}

std::string FakeServer::receivedAll() const {
    std::lock_guard<std::mutex> g(m_mutex);
    std::string all;
    for (const auto& c : m_conns) all += c.bytes;
    return all;
}

std::vector<std::string> FakeServer::requests() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_requests;
}

size_t FakeServer::requestCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_requests.size();
}

bool FakeServer::connectionClosed(int conn) const {
    std::lock_guard<std::mutex> g(m_mutex);
    return conn >= 0 && static_cast<size_t>(conn) < m_conns.size() && m_conns[static_cast<size_t>(conn)].done;
}

template <class Pred>
bool FakeServer::waitFor(Pred pred, int timeoutMs) const {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), pred);
}

bool FakeServer::waitConnections(int k, int timeoutMs) const {
    return waitFor([&] { return static_cast<int>(m_conns.size()) >= k; }, timeoutMs);
}

bool FakeServer::waitReceived(size_t n, int timeoutMs) const {
    return waitFor(
        [&] {
            size_t total = 0;
            for (const auto& c : m_conns) total += c.bytes.size();
            return total >= n;
        },
        timeoutMs);
}

bool FakeServer::waitRequests(size_t k, int timeoutMs) const {
    return waitFor([&] { return m_requests.size() >= k; }, timeoutMs);
}

bool FakeServer::waitClosed(int conn, int timeoutMs) const {
    return waitFor(
        [&] { return conn >= 0 && static_cast<size_t>(conn) < m_conns.size() && m_conns[static_cast<size_t>(conn)].done; },
        timeoutMs);
}

}  // namespace oamtest
