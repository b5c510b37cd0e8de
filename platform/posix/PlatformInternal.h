// Internals shared by the POSIX implementation of the platform layer.
#pragma once

#include <stdint.h>

#include <atomic>

#include "oam_win.h"

namespace oam {
namespace platform {

// The one place where errno becomes a Windows Sockets code. EAGAIN means
// "would block" on a non-blocking socket but "timed out" on a blocking one
// (the call ran into SO_RCVTIMEO/SO_SNDTIMEO).
int ErrnoToWsa(int err, bool blockingSocket);
// errno to the kernel error codes of the file calls.
DWORD ErrnoToWin32(int err);

// The calling thread's error slot (shared with Corbex).
void SetThreadError(uint32_t code);

// Moves fd to a descriptor >= 3 with close-on-exec, so that a host that
// closed its standard streams never has a socket or file land on them.
// Gives the new descriptor (the old one is closed) or -1 with errno set.
int KeepAwayFromStdio(int fd);

// ---- socket table -----------------------------------------------------------
// A SOCKET is (generation << kHandleDescriptorBits) | descriptor, a value
// that fits a positive int as Windows handle values do, so that a host
// keeping it in an int can give it back. Every call holds a reference on
// the descriptor's entry for its duration; closesocket marks the entry
// closed, wakes blocked calls with shutdown, and the descriptor is closed
// by whoever drops the last reference. Each descriptor number counts its
// own generations (1..kHandleGenerations), so a stale handle reaches a
// socket that later got its descriptor number only after that number was
// reused kHandleGenerations times while the stale handle was kept.
constexpr int kHandleDescriptorBits = 20;  // Linux's ceiling on open files (nr_open) is 2^20
constexpr uint32_t kHandleDescriptorMask = (1u << kHandleDescriptorBits) - 1;
constexpr uint32_t kHandleGenerations = (1u << (31 - kHandleDescriptorBits)) - 1;

inline int HandleDescriptor(SOCKET s) {
    return static_cast<int>(s & kHandleDescriptorMask);
}

enum SocketKind : uint8_t { kStream = 1, kDatagram = 2, kOtherKind = 3 };

struct SocketEntry {
    // generation (bits 63..32) | closed (bit 31) | calls in flight (30..0);
    // a closed entry keeps its generation for the next socket on the number
    std::atomic<uint64_t> state{0};
    std::atomic<uint8_t> kind{0};
    std::atomic<bool> nonblocking{false};
    std::atomic<uint64_t> eventId{0};  // event selected with WSAEventSelect, 0 = none
};

class SocketRef {
public:
    explicit SocketRef(SOCKET s);
    ~SocketRef();
    SocketRef(const SocketRef&) = delete;
    SocketRef& operator=(const SocketRef&) = delete;

    explicit operator bool() const { return m_entry != nullptr; }
    int fd() const { return m_fd; }
    SocketEntry& entry() const { return *m_entry; }
    bool blocking() const { return !m_entry->nonblocking.load(std::memory_order_relaxed); }
    SocketKind kind() const { return static_cast<SocketKind>(m_entry->kind.load(std::memory_order_relaxed)); }
    // True once closesocket ran on the handle (possibly during this call).
    bool closed() const;

private:
    SocketEntry* m_entry = nullptr;
    int m_fd = -1;
};

}  // namespace platform
}  // namespace oam
