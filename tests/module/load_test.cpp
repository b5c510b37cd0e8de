// Loading liboamsdk.so in a fresh child process: start-up starts the socket
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

// Runs in the child: loads the module and reports "key=value" lines.
void LoadAndReport(int out, bool failSockets, const std::string& logDir) {
    std::ostringstream r;
    if (failSockets) {
        setenv("OAMSDK_TEST_FAIL_WSASTARTUP", "1", 1);
    } else {
        unsetenv("OAMSDK_TEST_FAIL_WSASTARTUP");
    }
    setenv("OAMSDK_LOG_DIR", logDir.c_str(), 1);
    const int threads = CountEntries("/proc/self/task");
    const int fds = CountEntries("/proc/self/fd");  // counts opendir's own descriptor

    void* module = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    r << "loaded=" << (module != nullptr) << "\n";
    if (module) {
        r << "threads=" << CountEntries("/proc/self/task") - threads << "\n";
        r << "fds=" << CountEntries("/proc/self/fd") - fds << "\n";
        r << "logfiles=" << CountEntries(logDir.c_str()) << "\n";
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
    (void)!write(out, s.data(), s.size());
}

std::map<std::string, std::string> LoadInChild(bool failSockets) {
    char tmpl[] = "/tmp/oamsdk-load-XXXXXX";
    const std::string logDir = mkdtemp(tmpl);
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        LoadAndReport(fds[1], failSockets, logDir);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    rmdir(logDir.c_str());

    std::map<std::string, std::string> report;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return report;
}

TEST(ModuleLoad, StartsTheSocketLayerOnceAndNothingElse) {
    auto r = LoadInChild(false);
    ASSERT_EQ("1", r["loaded"]) << r["error"];
    EXPECT_EQ("1", r["started"]);
    EXPECT_EQ("1", r["cleanups"]);
    EXPECT_EQ("0", r["threads"]);
    EXPECT_EQ("0", r["fds"]);
    EXPECT_EQ("0", r["logfiles"]);
}

TEST(ModuleLoad, FailedSocketStartIsRecordedAndLeavesNoStart) {
    auto r = LoadInChild(true);
    ASSERT_EQ("1", r["loaded"]) << r["error"];
    EXPECT_EQ("0", r["started"]);
    EXPECT_EQ("0", r["cleanups"]);
    EXPECT_EQ("0", r["threads"]);
    EXPECT_EQ("0", r["logfiles"]);
}

}  // namespace
