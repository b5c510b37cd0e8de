// Scriptable fake management server for tests: TCP on 127.0.0.1 (or another
// loopback address), ephemeral port, one accepting thread and one thread per
// accepted connection. It records every byte it receives, per connection,
// and answers either from a script (one action per request read) or through
// a handler that drives each connection itself.
//
// The system's own sockets (TestNet.h); knows nothing of the library under
// test. Reply and session helpers: WireText.h. The server
// stops by itself in its destructor.
#pragma once

#include <stddef.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "WireText.h"

namespace oamtest {

// What the server does after reading one request in scripted mode.
struct Action {
    enum Kind {
        Reply,       // write bytes in one write (after delayMs if non-zero)
        SplitReply,  // write bytes[0, splitAt), pause pauseMs, write the rest
        NoReply,     // read the request and answer nothing
        Close,       // close the connection (orderly FIN)
        Reset,       // SO_LINGER {1, 0} then close: the peer sees a reset
    };
    Kind kind = NoReply;
    std::string bytes;
    int delayMs = 0;
    size_t splitAt = 0;
    int pauseMs = 0;

    static Action reply(std::string b) {
        Action a;
        a.kind = Reply;
        a.bytes = std::move(b);
        return a;
    }
    static Action replyAfter(int ms, std::string b) {
        Action a = reply(std::move(b));
        a.delayMs = ms;
        return a;
    }
    static Action split(std::string b, size_t at, int pauseMs = 50) {
        Action a;
        a.kind = SplitReply;
        a.bytes = std::move(b);
        a.splitAt = at;
        a.pauseMs = pauseMs;
        return a;
    }
    static Action none() { return Action(); }
    static Action close() {
        Action a;
        a.kind = Close;
        return a;
    }
    static Action reset() {
        Action a;
        a.kind = Reset;
        return a;
    }
};

// Peers whose replies go astray, as hostile peers were seen to send them.
// Each request is answered "SESSIONID=<its own>;RETURNCODE=0;" followed by
// answer(request, index of the request on its connection), and then:
enum class Astray {
    None,        // nothing more: a proper peer
    StaleFirst,  // the connection's previous reply comes first, in the same write
    StaleApart,  // the previous reply, then the request's own pauseMs later
    StaleOnly,   // the previous reply instead of the request's own
    Split,       // its own reply in two writes: up to the first ";" of the
                 // answer, the rest pauseMs later
};
// Before a connection's first reply, "the previous reply" is one with
// SESSIONID one below the request's and the answer "Stale=1;".
typedef std::function<std::string(const std::string& request, int index)> Answer;

class FakeServer;

// One accepted connection, as seen by a handler. Every byte read through it
// is recorded by the server. Reads give up early when the server stops.
class FakeConn {
public:
    int index() const { return m_index; }
    // Whatever arrives first (up to max bytes); empty on time-out, EOF or error.
    std::string readSome(int timeoutMs = 5000, size_t max = 65536);
    // Exactly n bytes; false (with what did arrive in out) on time-out/EOF.
    bool readExactly(size_t n, std::string& out, int timeoutMs = 5000);
    // Waits up to timeoutMs for a first byte, then reads until nothing more
    // arrives for idleMs. Recorded as one request. Empty on time-out/EOF.
    std::string readRequest(int timeoutMs = 5000, int idleMs = 0);
    bool write(const std::string& bytes);
    bool writeDelayed(const std::string& bytes, int delayMs);
    void closeConn();
    void reset();
    // The peer closed its side (a read saw EOF) or the connection was reset.
    bool peerClosed() const { return m_eof; }
    bool isOpen() const { return m_fd >= 0; }
    std::string received() const;

private:
    friend class FakeServer;
    FakeConn(FakeServer* server, int fd, int index) : m_server(server), m_fd(fd), m_index(index) {}
    // -1 error/EOF, 0 time-out, else bytes read (appended to out).
    long readOnce(std::string& out, size_t max, int timeoutMs);

    FakeServer* m_server;
    int m_fd;
    int m_index;
    bool m_eof = false;
};

class FakeServer {
public:
    // Scripted: the action for the request read (its bytes, the connection
    // index, the request's index on that connection).
    typedef std::function<Action(const std::string& request, int conn, int reqIndex)> Responder;
    typedef std::function<void(FakeConn& conn)> Handler;

    // Reads and records requests, answers none.
    FakeServer() : FakeServer(std::vector<Action>()) {}
    // Actions in order across all connections; once used up, `after` applies.
    explicit FakeServer(std::vector<Action> script, Action after = Action::none(),
                        const char* address = "127.0.0.1");
    explicit FakeServer(Responder responder, const char* address = "127.0.0.1");
    explicit FakeServer(Handler handler, const char* address = "127.0.0.1");
    ~FakeServer();

    // A responder for the Astray mode (see above), for the second
    // constructor: FakeServer s(FakeServer::AstrayPeer(Astray::StaleFirst, answer));
    static Responder AstrayPeer(Astray mode, Answer answer, int pauseMs = 100);
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    unsigned short port() const { return m_port; }
    const std::string& address() const { return m_address; }
    bool ok() const { return m_listenFd >= 0; }

    // Appends actions to the script (scripted mode).
    void push(const Action& a);

    int connections() const;
    std::string received(int conn) const;  // every byte of that connection
    std::string receivedAll() const;       // all connections, in accept order
    std::vector<std::string> requests() const;  // every request read, in order
    size_t requestCount() const;
    bool connectionClosed(int conn) const;  // its thread has finished

    // Bounded waits; true when the condition holds.
    bool waitConnections(int k, int timeoutMs = 5000) const;
    bool waitReceived(size_t n, int timeoutMs = 5000) const;  // total bytes
    bool waitRequests(size_t k, int timeoutMs = 5000) const;
    bool waitClosed(int conn, int timeoutMs = 5000) const;

private:
    friend class FakeConn;
    struct ConnRecord {
        std::string bytes;
        bool done = false;
    };

    void start(const char* address);
    void acceptLoop();
    void serve(int fd, int index);
    void runScript(FakeConn& conn);
    Action nextScripted(const std::string& request, int conn, int reqIndex);
    void record(int conn, const char* data, size_t n);
    void recordRequest(const std::string& r);
    bool stopping() const { return m_stop.load(); }
    bool sleepUnlessStopped(int ms);
    template <class Pred>
    bool waitFor(Pred pred, int timeoutMs) const;

    std::string m_address;
    unsigned short m_port = 0;
    int m_listenFd = -1;
    std::atomic<bool> m_stop{false};

    Responder m_responder;
    Handler m_handler;
    std::vector<Action> m_script;
    size_t m_next = 0;
    Action m_after;
    bool m_useScript = false;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<ConnRecord> m_conns;
    std::vector<std::string> m_requests;
    std::vector<std::thread> m_connThreads;
    std::thread m_acceptThread;
};

}  // namespace oamtest
