// The few socket calls where the test peers' POSIX and Windows spellings
// differ, POSIX side (the build picks tests/support/posix or win32).
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace oamtest {
namespace net {

const int kNoSignal = MSG_NOSIGNAL;
const int kDontWait = MSG_DONTWAIT;
const int kShutBoth = SHUT_RDWR;
const int kCloexec = SOCK_CLOEXEC;

inline int Close(int fd) { return ::close(fd); }
inline int Poll(pollfd* p, unsigned n, int timeoutMs) { return ::poll(p, n, timeoutMs); }
inline int SetNonBlocking(int fd) { return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }
// The last socket error as an errno value.
inline int LastError() { return errno; }

}  // namespace net
}  // namespace oamtest
