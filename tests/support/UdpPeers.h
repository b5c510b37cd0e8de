// Loopback UDP peers for the alarm receiver and datagram socket tests, the
// alarm fuzz target and the benchmarks: a recorder that keeps every
// datagram arriving on one address and port, and a plain sender standing
// in for a station.
#pragma once

#include <stdint.h>

#include "TestNet.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace oamtest {

struct RecordedDatagram {
    std::string bytes;
    std::chrono::steady_clock::time_point at;  // when it was read
    sockaddr_in from;
};

class UdpRecorder {
public:
    // Binds addr:port (port 0 = ephemeral) and records on its own thread
    // until destroyed. ok() tells whether the bind worked.
    UdpRecorder(const char* addr, uint16_t port);
    ~UdpRecorder();
    UdpRecorder(const UdpRecorder&) = delete;
    UdpRecorder& operator=(const UdpRecorder&) = delete;

    bool ok() const { return m_fd >= 0; }
    int bindError() const { return m_error; }
    uint16_t port() const { return m_port; }
    int fd() const { return m_fd; }

    size_t Count() const;
    bool WaitForCount(size_t n, std::chrono::milliseconds timeout) const;
    std::vector<RecordedDatagram> Snapshot() const;

private:
    void Run();

    int m_fd = -1;
    int m_error = 0;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mu;
    mutable std::condition_variable m_cv;
    std::vector<RecordedDatagram> m_items;
    std::thread m_thread;
};

class UdpSender {
public:
    explicit UdpSender(const char* bindAddr = "127.0.0.1");
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    bool ok() const { return m_fd >= 0; }
    // Bytes sent, or -1.
    long SendTo(const char* addr, uint16_t port, const void* data, size_t length);
    long SendTo(const char* addr, uint16_t port, const std::string& text) {
        return SendTo(addr, port, text.data(), text.size());
    }
    uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A plain blocking UDP socket, for reference measurements.
class BlockingUdpSocket {
public:
    explicit BlockingUdpSocket(const char* addr);
    ~BlockingUdpSocket();
    BlockingUdpSocket(const BlockingUdpSocket&) = delete;
    BlockingUdpSocket& operator=(const BlockingUdpSocket&) = delete;
    bool ok() const { return m_fd >= 0; }
    uint16_t port() const { return m_port; }
    long Receive(void* buffer, size_t length);  // blocks
    void Unblock();                             // wakes a blocked Receive

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// SO_RCVBUF of a fresh UDP socket as the system reports it.
int DefaultReceiveBufferSize();

// Dotted text to an address in network order (0 when malformed).
uint32_t DottedAddress(const char* text);

}  // namespace oamtest

