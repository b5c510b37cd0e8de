// Raw loopback sockets in the system's own calls (TestNet.h), for the peers
// of tests, fuzz targets and benchmarks: the other end of a connection is
// deliberately not built with the layer under test.
#pragma once

#include <cstdint>

#include "TestNet.h"

namespace oamtest {

// address:port (address in dotted text, 127.0.0.1 by default); the family
// only when the text is malformed.
inline sockaddr_in Loopback(uint16_t port, const char* address = nullptr) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (address) inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// Port of a bound IPv4 socket, 0 on failure.
inline uint16_t PortOf(int fd) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0) return 0;
    return ntohs(a.sin_port);
}

// A listening TCP socket on address (127.0.0.1 by default), ephemeral
// port; -1 on failure. With reuse, SO_REUSEADDR first.
inline int ListenTcp(uint16_t* port, int backlog = 16, const char* address = nullptr, bool reuse = false) {
    int fd = static_cast<int>(::socket(AF_INET, SOCK_STREAM | net::kCloexec, 0));
    if (fd < 0) return -1;
    if (reuse) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    }
    sockaddr_in a = Loopback(0);
    if ((address && inet_pton(AF_INET, address, &a.sin_addr) != 1) ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
        net::Close(fd);
        return -1;
    }
    if (port) *port = PortOf(fd);
    return fd;
}

// A TCP client connected to 127.0.0.1:port; -1 on failure.
inline int ConnectTcp(uint16_t port) {
    int fd = static_cast<int>(::socket(AF_INET, SOCK_STREAM | net::kCloexec, 0));
    if (fd < 0) return -1;
    sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        net::Close(fd);
        return -1;
    }
    return fd;
}

// A listening TCP socket on 127.0.0.1, ephemeral port, closed with the object.
class Listener {
public:
    // With backlog 0 and one connection waiting, Linux drops further SYNs:
    // the next connect stays pending.
    explicit Listener(int backlog = 8) { fd_ = ListenTcp(&port_, backlog); }
    ~Listener() {
        if (fd_ >= 0) net::Close(fd_);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    int fd() const { return fd_; }
    uint16_t port() const { return port_; }
    sockaddr_in addr() const { return Loopback(port_); }
    // Waits up to timeoutMs for a connection; -1 if none came.
    int Accept(int timeoutMs = 5000) {
        pollfd p{};
        p.fd = fd_;
        p.events = POLLIN;
        if (net::Poll(&p, 1, timeoutMs) != 1) return -1;
        return static_cast<int>(::accept(fd_, nullptr, nullptr));
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A bound UDP socket on 127.0.0.1, ephemeral port.
inline int BoundUdp(uint16_t* port) {
    int fd = static_cast<int>(::socket(AF_INET, SOCK_DGRAM | net::kCloexec, 0));
    sockaddr_in a = Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    *port = PortOf(fd);
    return fd;
}

}  // namespace oamtest
