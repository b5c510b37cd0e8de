// Loading liboamsdk.so in a fresh process: start-up starts the socket
// layer exactly once and does nothing else (no thread, no descriptor, no
// log line); a socket layer that cannot start leaves OamStartupSucceeded
// false and the layer not started.
#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "TempDir.h"

namespace oamtest {
namespace {

std::string ModulePath() {
    if (const char* build = getenv("OAMSDK_TEST_BINARY_DIR")) return std::string(build) + "/lib/liboamsdk.so";
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/')) + "/../lib/liboamsdk.so";
}

int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        closedir(d);
    }
    return n;
}

// The child: this same program started again with OAMSDK_LOAD_CHILD set,
// so that the module is loaded into a process that never had it. It loads
// the module before main and prints "key=value" lines on stdout.
__attribute__((constructor)) void LoadChild() {
    const char* mode = getenv("OAMSDK_LOAD_CHILD");
    const char* logDir = getenv("OAMSDK_LOG_DIR");
    if (!mode || !logDir) return;
    // A variable the library once read to fail on purpose: it must change
    // nothing. A socket layer that cannot start is the stand-in library,
    // loaded globally first so that it takes the place of WSAStartup.
    setenv("OAMSDK_TEST_FAIL_WSASTARTUP", "1", 1);
    if (std::string(mode) == "fail" && !dlopen(OAMSDK_UNREADY_LAYER, RTLD_NOW | RTLD_GLOBAL)) _exit(3);
    const int threads = CountEntries("/proc/self/task");
    const int fds = CountEntries("/proc/self/fd");

    std::ostringstream r;
    void* module = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    r << "loaded=" << (module != nullptr) << "\n";
    if (module) {
        r << "threads=" << CountEntries("/proc/self/task") - threads << "\n";
        r << "fds=" << CountEntries("/proc/self/fd") - fds << "\n";
        r << "logfiles=" << CountEntries(logDir) << "\n";
        auto started = reinterpret_cast<int (*)()>(dlsym(module, "OamStartupSucceeded"));
        r << "started=" << (started ? started() : -1) << "\n";
        // Each successful WSAStartup allows one WSACleanup.
        auto cleanup = reinterpret_cast<int (*)()>(dlsym(module, "_ZN3win10WSACleanupEv"));
        int cleanups = 0;
        while (cleanup && cleanups < 5 && cleanup() == 0) ++cleanups;
        r << "cleanups=" << (cleanup ? cleanups : -1) << "\n";
    } else {
        r << "error=" << dlerror() << "\n";
    }
    const std::string s = r.str();
    (void)!write(1, s.data(), s.size());
    _exit(0);
}

std::string ReadAll(int fd) {
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

// Report of the child, plus "stderr" with what it wrote there.
std::map<std::string, std::string> LoadInChild(const char* mode) {
    const TempDir logDir("oamsdk-load");
    int out[2], err[2];
    EXPECT_EQ(0, pipe(out));
    EXPECT_EQ(0, pipe(err));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        close(out[1]);
        close(err[1]);
        setenv("OAMSDK_LOAD_CHILD", mode, 1);
        setenv("OAMSDK_LOG_DIR", logDir.path().c_str(), 1);
        execl("/proc/self/exe", "module_load_child", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    const std::string report = ReadAll(out[0]);  // small: no pipe fills up
    const std::string errors = ReadAll(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    std::map<std::string, std::string> r;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) r[line.substr(0, eq)] = line.substr(eq + 1);
    }
    r["stderr"] = errors;
    return r;
}

TEST(ModuleLoad, StartsTheSocketLayerOnceAndNothingElse) {
    auto r = LoadInChild("ok");
    ASSERT_EQ("1", r["loaded"]) << r["error"];
    EXPECT_EQ("1", r["started"]);
    EXPECT_EQ("1", r["cleanups"]);
    EXPECT_EQ("0", r["threads"]);
    EXPECT_EQ("0", r["fds"]);
    EXPECT_EQ("0", r["logfiles"]);
    EXPECT_EQ("", r["stderr"]);
}

TEST(ModuleLoad, FailedSocketStartIsRecordedAndLeavesNoStart) {
    auto r = LoadInChild("fail");
    ASSERT_EQ("1", r["loaded"]) << r["error"];
    EXPECT_EQ("0", r["started"]);
    EXPECT_EQ("0", r["cleanups"]);
    EXPECT_EQ("0", r["threads"]);
    EXPECT_EQ("0", r["logfiles"]);
    // Without a host hook the message box is one line on stderr.
    EXPECT_EQ("oamsdk: Windows Sockets initialization failed.\n", r["stderr"]);
}

}  // namespace
}  // namespace oamtest
