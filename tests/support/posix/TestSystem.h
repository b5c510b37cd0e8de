// Skips for promises one system cannot keep, POSIX side: nothing is
// skipped here (the build picks tests/support/posix or win32).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace oamtest {
// Which system the tests were built for, where a case differs by design.
constexpr bool kWindows = false;
inline bool UnderWine() {
    return false;
}

// Open descriptors of the process, -1 when they cannot be counted.
inline int OpenHandleCount() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own
}

inline void SetEnv(const char* name, const char* value) {
    setenv(name, value, 1);
}
inline void UnsetEnv(const char* name) {
    unsetenv(name);
}
// A fresh directory under $TMPDIR (or /tmp) named prefix-XXXXXX; empty on
// failure.
inline std::string MakeTempDir(const char* prefix) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    return mkdtemp(&tmpl[0]) ? tmpl : std::string();
}

// Runs f in a child process whose descriptors 0, 1 and 2 are closed; true
// when f gave true there.
template <class F>
bool InChildWithoutStdio(F f) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::close(0);
        ::close(1);
        ::close(2);
        _exit(f() ? 0 : 1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether descriptors 0, 1 and 2 are all closed.
inline bool StdioClosed() {
    return fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1 && fcntl(2, F_GETFD) == -1;
}

// What f wrote to the process's standard error (descriptor 2), which goes
// to a temporary file meanwhile; empty when it cannot be redirected.
template <class F>
std::string CaptureStderr(F f) {
    char path[] = "/tmp/oamsdk-stderr-XXXXXX";
    const int tmp = mkstemp(path);
    if (tmp < 0) return std::string();
    const int saved = dup(2);
    dup2(tmp, 2);
    f();
    dup2(saved, 2);
    close(saved);
    std::string out(4096, '\0');
    const ssize_t n = pread(tmp, &out[0], out.size(), 0);
    close(tmp);
    unlink(path);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// Lowers the descriptor limit and uses up every descriptor below it, until
// destroyed (which gives them back and restores the limit).
class DescriptorsUsedUp {
public:
    explicit DescriptorsUsedUp(rlim_t limit) {
        if (getrlimit(RLIMIT_NOFILE, &m_saved) != 0) return;
        rlimit tight = m_saved;
        tight.rlim_cur = limit;
        if (setrlimit(RLIMIT_NOFILE, &tight) != 0) return;
        m_ok = true;
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) m_spent.push_back(fd);
    }
    ~DescriptorsUsedUp() {
        for (int fd : m_spent) close(fd);
        if (m_ok) setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;
    bool ok() const { return m_ok; }

private:
    rlimit m_saved{};
    bool m_ok = false;
    std::vector<int> m_spent;
};

// Caps the size of the files this process writes (a write past it fails,
// SIGXFSZ ignored) while it lives.
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes) {
        if (getrlimit(RLIMIT_FSIZE, &m_saved) != 0) return;
        signal(SIGXFSZ, SIG_IGN);
        rlimit small = m_saved;
        small.rlim_cur = bytes;
        m_ok = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeCap() {
        if (m_ok) setrlimit(RLIMIT_FSIZE, &m_saved);
    }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;
    bool ok() const { return m_ok; }

private:
    rlimit m_saved{};
    bool m_ok = false;
};

// Makes `path` (replacing a file there) a link to a file whose size claims
// more than its reads give: sysfs files claim 4096 bytes and give far
// fewer. False when there is none to link to.
inline bool LinkToShortReadingFile(const std::string& path) {
    const char* sys = "/sys/kernel/mm/transparent_hugepage/enabled";
    if (access(sys, R_OK) != 0) return false;
    unlink(path.c_str());
    return symlink(sys, path.c_str()) == 0;
}
}  // namespace oamtest

// Skips the rest of the test on Windows, with the reason.
#define OAM_SKIP_ON_WINDOWS(reason) \
    do {                            \
    } while (0)
// Skips the rest of the test when it runs under Wine, with the reason.
#define OAM_SKIP_UNDER_WINE(reason) \
    do {                            \
    } while (0)
