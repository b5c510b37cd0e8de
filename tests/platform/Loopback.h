// Raw peers on 127.0.0.1 for the platform tests, in the system's own
// socket calls (TestNet.h): the other end of a connection is deliberately
// not built with the layer under test.
#pragma once

#include <cstdint>

#include "TestNet.h"

namespace plattest {

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline uint16_t PortOf(int fd) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    return ntohs(a.sin_port);
}

// A listening TCP socket on 127.0.0.1, ephemeral port.
class Listener {
public:
    // With backlog 0 and one connection waiting, Linux drops further SYNs:
    // the next connect stays pending.
    explicit Listener(int backlog = 8) {
        fd_ = static_cast<int>(::socket(AF_INET, SOCK_STREAM | oamtest::net::kCloexec, 0));
        sockaddr_in a = Loopback(0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, backlog);
        port_ = PortOf(fd_);
    }
    ~Listener() { oamtest::net::Close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    uint16_t port() const { return port_; }
    sockaddr_in addr() const { return Loopback(port_); }
    // Waits up to timeoutMs for a connection; -1 if none came.
    int Accept(int timeoutMs = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (oamtest::net::Poll(&p, 1, timeoutMs) != 1) return -1;
        return static_cast<int>(::accept(fd_, nullptr, nullptr));
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A bound UDP socket on 127.0.0.1, ephemeral port.
inline int BoundUdp(uint16_t* port) {
    int fd = static_cast<int>(::socket(AF_INET, SOCK_DGRAM | oamtest::net::kCloexec, 0));
    sockaddr_in a = Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    *port = PortOf(fd);
    return fd;
}

}  // namespace plattest
