#include "UdpPeers.h"

#include <string.h>

#include "Loopback.h"

namespace oamtest {
namespace {

int BoundSocket(const char* addr, uint16_t port, int* error) {
    int fd = static_cast<int>(::socket(AF_INET, SOCK_DGRAM | net::kCloexec, 0));
    if (fd < 0) {
        *error = net::LastError();
        return -1;
    }
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, addr, &a.sin_addr) != 1 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        *error = net::LastError();
        net::Close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

uint32_t DottedAddress(const char* text) {
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) return 0;
    return a.s_addr;
}

int DefaultReceiveBufferSize() {
    int fd = static_cast<int>(::socket(AF_INET, SOCK_DGRAM | net::kCloexec, 0));
    int size = 0;
    socklen_t n = sizeof size;
    if (fd >= 0) {
        ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &n);
        net::Close(fd);
    }
    return size;
}

UdpRecorder::UdpRecorder(const char* addr, uint16_t port) {
    m_fd = BoundSocket(addr, port, &m_error);
    if (m_fd < 0) return;
    m_port = PortOf(m_fd);
    int size = 4 << 20;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    m_thread = std::thread([this] { Run(); });
}

UdpRecorder::~UdpRecorder() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) net::Close(m_fd);
}

void UdpRecorder::Run() {
    std::vector<char> buffer(70000);
    while (!m_stop) {
        pollfd p{};
        p.fd = m_fd;
        p.events = POLLIN;
        if (net::Poll(&p, 1, 20) <= 0) continue;
        sockaddr_in from;
        socklen_t fromLength = sizeof from;
        long n = ::recvfrom(m_fd, buffer.data(), static_cast<int>(buffer.size()), net::kDontWait,
                            reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) continue;
        RecordedDatagram d;
        d.bytes.assign(buffer.data(), static_cast<size_t>(n));
        d.at = std::chrono::steady_clock::now();
        d.from = from;
        {
            std::lock_guard<std::mutex> lock(m_mu);
            m_items.push_back(std::move(d));
        }
        m_cv.notify_all();
    }
}

size_t UdpRecorder::Count() const {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_items.size();
}

bool UdpRecorder::WaitForCount(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mu);
    return m_cv.wait_for(lock, timeout, [&] { return m_items.size() >= n; });
}

std::vector<RecordedDatagram> UdpRecorder::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_items;
}

UdpSender::UdpSender(const char* bindAddr) {
    int error = 0;
    m_fd = BoundSocket(bindAddr, 0, &error);
    if (m_fd >= 0) {
        m_port = PortOf(m_fd);
        int size = 4 << 20;
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
    }
}

UdpSender::~UdpSender() {
    if (m_fd >= 0) net::Close(m_fd);
}

long UdpSender::SendTo(const char* addr, uint16_t port, const void* data, size_t length) {
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, addr, &to.sin_addr) != 1) return -1;
    for (;;) {
        long n = ::sendto(m_fd, static_cast<const char*>(data), static_cast<int>(length), 0,
                          reinterpret_cast<sockaddr*>(&to), sizeof to);
        // Loopback may push back briefly when the sender outruns the kernel.
        const int err = n < 0 ? net::LastError() : 0;
        if (err == ENOBUFS || err == EAGAIN || err == EINTR) {
            std::this_thread::yield();
            continue;
        }
        return n;
    }
}

BlockingUdpSocket::BlockingUdpSocket(const char* addr) {
    int error = 0;
    m_fd = BoundSocket(addr, 0, &error);
    if (m_fd >= 0) m_port = PortOf(m_fd);
}

BlockingUdpSocket::~BlockingUdpSocket() {
    if (m_fd >= 0) net::Close(m_fd);
}

long BlockingUdpSocket::Receive(void* buffer, size_t length) {
    return ::recv(m_fd, static_cast<char*>(buffer), static_cast<int>(length), 0);
}

void BlockingUdpSocket::Unblock() {
    ::shutdown(m_fd, net::kShutBoth);
}

}  // namespace oamtest
