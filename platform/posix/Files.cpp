// Whole-file calls of the kernel API over POSIX descriptors.
//
// Sharing is best effort with advisory locks (flock), which every opener
// through these calls honours: share mode 0 takes an exclusive lock, any
// other share mode a shared one, and a conflict fails at once with
// ERROR_SHARING_VIOLATION. So a file opened "without sharing" cannot be
// opened again through this layer (in this or another process) until it
// is closed, and DeleteFileA/MoveFileExA refuse a file that is held open.
// Programs that do not take flock locks are not kept out.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "HandleRegistry.h"
#include "oam_string.h"
#include "PlatformInternal.h"

using namespace oam::platform;

namespace {

struct File {
    explicit File(int d) : fd(d) {}
    ~File() { ::close(fd); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int fd;
};

// HANDLE values are registry keys, never addresses: a closed handle can
// not reach a file opened later.
using Files = HandleRegistry<File>;

HANDLE Register(int fd) {
    return reinterpret_cast<HANDLE>(Files::Instance().Add(std::make_shared<File>(fd)));
}

std::shared_ptr<File> Find(HANDLE h) {
    return Files::Instance().Find(reinterpret_cast<uintptr_t>(h));
}

BOOL Fail(DWORD code) {
    SetThreadError(code);
    return FALSE;
}

// "\" separates directories as "/" does; a "\" that is the trail byte of a
// double-byte character is left alone.
std::string NativePath(const char* path) {
    std::string p(path);
    UINT cp = GetACP();
    for (size_t i = 0; i < p.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(p[i]);
        if (IsDBCSLeadByteEx(cp, b) && i + 1 < p.size()) {
            ++i;
            continue;
        }
        if (p[i] == '\\') p[i] = '/';
    }
    return p;
}

// ENOENT names the file when its directory exists, else the path.
DWORD MissingError(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

DWORD PathError(int err, const std::string& path) {
    return err == ENOENT ? MissingError(path) : ErrnoToWin32(err);
}

// True when another opener holds the file (any flock lock).
bool HeldOpen(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN);
    ::close(fd);
    return held;
}

int OpenRetry(const char* p, int flags) {
    int fd;
    do {
        fd = ::open(p, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens p with the access bits in mode as disposition asks (one of the
// five). -1 with errno set on failure; existed tells whether CREATE_ALWAYS
// or OPEN_ALWAYS found the file there.
int OpenAs(const std::string& p, int mode, DWORD disposition, bool* existed) {
    *existed = false;
    switch (disposition) {
    case CREATE_NEW:
        return OpenRetry(p.c_str(), mode | O_CREAT | O_EXCL);
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: {
        int fd = -1;
        for (int attempt = 0; attempt < 8; ++attempt) {
            fd = OpenRetry(p.c_str(), mode | O_CREAT | O_EXCL);
            if (fd >= 0 || errno != EEXIST) break;
            fd = OpenRetry(p.c_str(), mode);
            if (fd >= 0) {
                *existed = true;
                break;
            }
            if (errno != ENOENT) break;  // else it vanished in between: try again
        }
        return fd;
    }
    default:  // OPEN_EXISTING, TRUNCATE_EXISTING
        return OpenRetry(p.c_str(), mode);
    }
}

}  // namespace

HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* /*security*/, DWORD disposition,
                   DWORD /*flags*/, HANDLE /*templ*/) {
    if (!path || !*path) {
        SetThreadError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string p = NativePath(path);
    bool rd = (access & GENERIC_READ) != 0, wr = (access & GENERIC_WRITE) != 0;
    bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    // Truncating needs a descriptor open for writing.
    bool needWrite = wr || truncate;
    int mode = needWrite ? (rd ? O_RDWR : O_WRONLY) : O_RDONLY;
    bool known = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS ||
                 disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING;
    if (!known || (disposition == TRUNCATE_EXISTING && !wr)) {
        SetThreadError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    bool existed;
    int fd = OpenAs(p, mode, disposition, &existed);
    if (fd < 0) {
        int err = errno;
        SetThreadError(err == ENOENT && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING
                           ? ERROR_PATH_NOT_FOUND
                           : PathError(err, p));
        return INVALID_HANDLE_VALUE;
    }
    fd = KeepAwayFromStdio(fd);
    if (fd < 0) {
        SetThreadError(ErrnoToWin32(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        SetThreadError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // The lock comes before truncation, so that opening a file that another
    // opener holds exclusively never destroys its contents.
    if (flock(fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        SetThreadError(err == EWOULDBLOCK || err == EAGAIN ? ERROR_SHARING_VIOLATION : ErrnoToWin32(err));
        return INVALID_HANDLE_VALUE;
    }
    if ((disposition == CREATE_ALWAYS && existed) || disposition == TRUNCATE_EXISTING) {
        if (ftruncate(fd, 0) != 0) {
            int err = errno;
            ::close(fd);
            SetThreadError(ErrnoToWin32(err));
            return INVALID_HANDLE_VALUE;
        }
    }
    HANDLE h = Register(fd);
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
        SetThreadError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE h, void* buf, DWORD toRead, DWORD* read, void* overlapped) {
    if (read) *read = 0;
    if (overlapped) return Fail(ERROR_NOT_SUPPORTED);
    std::shared_ptr<File> f = Find(h);
    if (!f) return Fail(ERROR_INVALID_HANDLE);
    if (!buf && toRead) return Fail(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    char* out = static_cast<char*>(buf);
    while (done < toRead) {
        ssize_t n = ::read(f->fd, out + done, toRead - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (read) *read = done;
            return Fail(ErrnoToWin32(errno));
        }
        if (n == 0) break;  // end of file: success with what was read
        done += static_cast<DWORD>(n);
    }
    if (read) *read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE h, const void* buf, DWORD toWrite, DWORD* written, void* overlapped) {
    if (written) *written = 0;
    if (overlapped) return Fail(ERROR_NOT_SUPPORTED);
    std::shared_ptr<File> f = Find(h);
    if (!f) return Fail(ERROR_INVALID_HANDLE);
    if (!buf && toWrite) return Fail(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    const char* in = static_cast<const char*>(buf);
    while (done < toWrite) {
        ssize_t n = ::write(f->fd, in + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written) *written = done;
            return Fail(ErrnoToWin32(errno));
        }
        done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return TRUE;
}

DWORD GetFileSize(HANDLE h, DWORD* high) {
    std::shared_ptr<File> f = Find(h);
    if (!f) {
        SetThreadError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    struct stat st;
    if (fstat(f->fd, &st) != 0) {
        SetThreadError(ErrnoToWin32(errno));
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (high) *high = static_cast<DWORD>(size >> 32);
    // A size whose low word is INVALID_FILE_SIZE is told apart by the
    // error slot, as on Windows.
    SetThreadError(ERROR_SUCCESS);
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

BOOL CloseHandle(HANDLE h) {
    if (!Files::Instance().Take(reinterpret_cast<uintptr_t>(h))) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;  // the descriptor closes when the last call using it ends
}

BOOL DeleteFileA(const char* path) {
    if (!path || !*path) return Fail(ERROR_PATH_NOT_FOUND);
    std::string p = NativePath(path);
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) return Fail(PathError(errno, p));
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (HeldOpen(p)) return Fail(ERROR_SHARING_VIOLATION);
    if (unlink(p.c_str()) != 0) return Fail(PathError(errno, p));
    return TRUE;
}

BOOL MoveFileExA(const char* from, const char* to, DWORD flags) {
    if (!from || !*from || !to || !*to) return Fail(ERROR_PATH_NOT_FOUND);
    std::string a = NativePath(from), b = NativePath(to);
    struct stat st;
    if (lstat(a.c_str(), &st) != 0) return Fail(PathError(errno, a));
    if (HeldOpen(a)) return Fail(ERROR_SHARING_VIOLATION);
    if (flags & MOVEFILE_REPLACE_EXISTING) {
        if (HeldOpen(b)) return Fail(ERROR_SHARING_VIOLATION);
        if (rename(a.c_str(), b.c_str()) != 0) return Fail(PathError(errno, b));
        return TRUE;
    }
    if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return TRUE;
    int err = errno;
    if (err == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
    if (err != EINVAL && err != ENOSYS) return Fail(PathError(err, b));
    // The file system cannot rename without replacing: check, then rename.
    if (lstat(b.c_str(), &st) == 0) return Fail(ERROR_ALREADY_EXISTS);
    if (rename(a.c_str(), b.c_str()) != 0) return Fail(PathError(errno, b));
    return TRUE;
}
