// A reply peer for the fuzz targets that drive the library through its
// sockets, as a server would. POSIX only (the fuzz targets are); header
// only, so that each fuzz program compiles it with its own instrumentation.
//
// ReplyPeer: a TCP server on 127.0.0.1 (ephemeral port) that serves one
// connection at a time. For each it reads the client's request, writes the
// chunks that the armed responder returns for it, then shuts its sending
// side, so that a client reading for more sees the end of the stream at
// once instead of waiting for a time-out, and waits for the client to
// close. Closing second leaves no TIME_WAIT on the client's side, so that
// millions of connections do not use up the ephemeral ports.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "WireText.h"

namespace oamtest {

class ReplyPeer {
public:
    // Chunks to write, in order, for the request read.
    typedef std::function<std::vector<std::string>(const std::string& request)> Responder;

    ReplyPeer() {
        signal(SIGPIPE, SIG_IGN);
        m_listen = ListenTcp(&m_port);
        if (m_listen < 0) {
            perror("ReplyPeer");
            abort();
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~ReplyPeer() {
        m_stop = true;
        shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        close(m_listen);
    }
    ReplyPeer(const ReplyPeer&) = delete;
    ReplyPeer& operator=(const ReplyPeer&) = delete;

    uint16_t port() const { return m_port; }

    // The responder for the next connection.
    void Arm(Responder r) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_responder = std::move(r);
        m_served = false;
    }
    // Waits (bounded) until the armed connection has been served and closed.
    bool WaitServed(int ms = 10000) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return m_served; });
    }

private:
    static bool Readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    void Run() {
        for (;;) {
            int fd = accept4(m_listen, nullptr, nullptr, net::kCloexec);
            if (fd < 0) {
                if (m_stop) return;
                continue;
            }
            Responder r;
            {
                std::lock_guard<std::mutex> g(m_mutex);
                r = m_responder;
            }
            std::string request;
            char buf[4096];
            if (Readable(fd, 5000)) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n > 0) request.assign(buf, static_cast<size_t>(n));
            }
            if (r && !request.empty()) {
                for (const std::string& chunk : r(request)) {
                    size_t off = 0;
                    while (off < chunk.size()) {
                        ssize_t w = send(fd, chunk.data() + off, chunk.size() - off, MSG_NOSIGNAL);
                        if (w <= 0) break;
                        off += static_cast<size_t>(w);
                    }
                }
            }
            shutdown(fd, SHUT_WR);
            // Until the client closes (bounded): whatever it sends is dropped.
            while (Readable(fd, 5000) && recv(fd, buf, sizeof buf, 0) > 0) {
            }
            close(fd);
            std::lock_guard<std::mutex> g(m_mutex);
            m_served = true;
            m_cv.notify_all();
        }
    }

    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    Responder m_responder;
    bool m_served = false;
    std::thread m_thread;
};

}  // namespace oamtest
