// oam-sim: a management server and alarm peer to develop and test hosts
// against, on one machine.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AlarmPeer.h"
#include "CommandServer.h"
#include "Log.h"
#include "SimConfig.h"


using namespace oamsim;
using Clock = std::chrono::steady_clock;

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t r = ::write(g_signalPipe[1], &b, 1);
    (void)r;
    errno = saved;
}

bool InstallSignals(std::string& err) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        err = std::string("pipe: ") + strerror(errno);
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// The default configuration: beside the binary when installed or built,
// else the source tree's copy.
std::string FindDefaultConfig(const char* argv0) {
    std::vector<std::string> candidates;
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        std::filesystem::path dir = std::filesystem::path(self).parent_path();
        candidates.push_back((dir / "oam-sim-default-config.json").string());
        candidates.push_back((dir / "../share/oamsdk/oam-sim-default-config.json").string());
    }
    (void)argv0;
    for (const std::string& c : candidates)
        if (::access(c.c_str(), R_OK) == 0) return c;
    return std::string();
}

struct AlarmPlan {
    double rate = 0;     // per second; 0 = only on demand
    uint64_t count = 0;  // 0 = no limit
    std::string type = "mixed";
    uint64_t sent = 0;
    uint64_t demanded = 0;  // alarms asked for by a control line or SIGUSR1
    Clock::time_point next;

    int NextType(uint64_t n) const {
        if (type == "0") return 0;
        if (type == "1") return 1;
        return static_cast<int>(n % 2);
    }
};

void HandleControlLine(const std::string& line, AlarmPeer* peer, AlarmPlan& plan, bool& quit) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd.empty()) return;
    if (cmd == "quit" || cmd == "exit") {
        quit = true;
    } else if (cmd == "alarm") {
        std::string type = plan.type;
        uint64_t n = 1;
        std::string a;
        while (in >> a) {
            if (a == "0" || a == "1" || a == "mixed")
                type = a;
            else if (a.rfind("x", 0) == 0 && a.size() > 1 && a.size() < 6)
                n = std::strtoull(a.c_str() + 1, nullptr, 10);
            else {
                LogError("control: alarm [0|1|mixed] [xN]");
                return;
            }
        }
        if (!peer) {
            LogError("control: the alarm peer is off (--no-alarms)");
            return;
        }
        for (uint64_t i = 0; i < n && i < 1000; ++i) {
            int t = type == "0" ? 0 : type == "1" ? 1 : static_cast<int>(i % 2);
            if (peer->SendAlarm(t) == 0) {
                LogEvent("no receivers registered: alarm not sent");
                break;
            }
        }
    } else if (cmd == "receivers") {
        LogEvent(peer ? peer->Describe() : std::string("alarm peer is off"));
    } else if (cmd == "help") {
        LogEvent("control lines: alarm [0|1|mixed] [xN] | receivers | quit");
    } else {
        LogError("control: unknown line '" + Excerpt(line, 60) + "' (try help)");
    }
}

// The command line, with its defaults.
struct Options {
    std::string configPath, bind = "127.0.0.1", alarmBind = "127.0.0.1", storage, portFile;
    unsigned port = 9000, alarmPort = 20000;
    bool noAlarms = false, noAuth = false, quiet = false, verbose = false, stdinControl = false;
    AlarmPlan plan;
    int maxClients = 64, ttl = 150, fileTimeoutMs = 15000, fileGetPauseMs = 20;
    uint64_t maxFileMb = 64;
};

// Gives -1 to go on, or the exit code (--help, --version, a bad option).
int ParseOptions(int argc, char** argv, Options& o) {
    CLI::App app{"oam-sim: a simulated management server (TCP commands) and alarm peer (UDP) for oamsdk hosts"};
    app.add_option("-c,--config", o.configPath, "JSON site description (default: the shipped default-config.json)");
    app.add_option("-b,--bind", o.bind, "address of the command listener")->capture_default_str();
    app.add_option("-p,--port", o.port, "TCP port of the command listener (0 = any free port)")
        ->capture_default_str()
        ->check(CLI::Range(0u, 65535u));
    app.add_option("--port-file", o.portFile, "write the command port chosen to this file once listening");
    app.add_option("-s,--storage", o.storage, "directory for uploaded files (default: a temporary one, removed at exit)");
    app.add_flag("--no-auth", o.noAuth, "accept commands without a Login first");
    app.add_option("--max-clients", o.maxClients, "connections served at once")->capture_default_str()->check(CLI::Range(1, 4096));
    app.add_option("--max-file-mb", o.maxFileMb, "largest file accepted or served, in MiB")->capture_default_str()->check(CLI::Range(1, 4096));
    app.add_option("--file-timeout-ms", o.fileTimeoutMs, "time allowed for an upload's archive bytes")
        ->capture_default_str()
        ->check(CLI::Range(100, 600000));
    app.add_option("--fileget-pause-ms", o.fileGetPauseMs, "pause between a download's reply and its archive bytes")
        ->capture_default_str()
        ->check(CLI::Range(0, 10000));
    app.add_flag("--no-alarms", o.noAlarms, "do not act as alarm peer");
    app.add_option("--alarm-bind", o.alarmBind, "address of the alarm peer's UDP socket")->capture_default_str();
    app.add_option("--alarm-port", o.alarmPort, "UDP port of the alarm peer (receivers always use 20000)")
        ->capture_default_str()
        ->check(CLI::Range(0u, 65535u));
    app.add_option("--alarm-rate", o.plan.rate, "alarms per second to registered receivers (0 = on demand only)")
        ->check(CLI::Range(0.0, 1000.0));
    app.add_option("--alarm-count", o.plan.count, "stop the periodic alarms after this many (0 = no limit)");
    app.add_option("--alarm-type", o.plan.type, "type of periodic alarms: 0, 1 or mixed")
        ->capture_default_str()
        ->check(CLI::IsMember({"0", "1", "mixed"}));
    app.add_option("--receiver-ttl", o.ttl, "forget a receiver silent for this many seconds")->capture_default_str()->check(CLI::Range(1, 86400));
    app.add_flag("--stdin", o.stdinControl, "read control lines on stdin: alarm [0|1|mixed] [xN], receivers, quit");
    app.add_flag("-q,--quiet", o.quiet, "log only errors");
    app.add_flag("-v,--verbose", o.verbose, "log every request, reply and datagram");
    bool version = false;
    app.add_flag("-V,--version", version, "show the version and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::fprintf(stderr, "oam-sim: %s (see --help)\n", e.what());
        return 2;
    }
    if (version) {
        std::printf("oam-sim %s\n", OAMSIM_VERSION);
        return 0;
    }
    return -1;
}

// The storage directory asked for, or a temporary one (tempStorage) when
// none was; false (logged) when it cannot be had.
bool PrepareStorage(std::string& storage, bool& tempStorage) {
    tempStorage = storage.empty();
    if (tempStorage) {
        const char* tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/oam-sim-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data())) {
            LogError(std::string("cannot create a storage directory: ") + strerror(errno));
            return false;
        }
        storage = buf.data();
    } else {
        std::error_code ec;
        std::filesystem::create_directories(storage, ec);
        if (!std::filesystem::is_directory(storage)) {
            LogError("storage directory " + storage + " cannot be created");
            return false;
        }
    }
    return true;
}

// Written whole under a temporary name, so a reader never sees half.
bool WritePortFile(const std::string& portFile, unsigned port) {
    std::string tmp = portFile + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << port << "\n";
    }
    if (std::rename(tmp.c_str(), portFile.c_str()) != 0) {
        LogError("cannot write " + portFile);
        return false;
    }
    return true;
}

// Takes what stdin has and handles each whole control line; a line that
// grows past 4 KiB unended is dropped. End of input stops the reading.
void ReadControlLines(std::string& pending, bool& open, AlarmPeer* peer, AlarmPlan& plan, bool& quit) {
    char b[1024];
    ssize_t n = ::read(STDIN_FILENO, b, sizeof b);
    if (n <= 0) {
        open = false;
        return;
    }
    pending.append(b, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        HandleControlLine(pending.substr(0, nl), peer, plan, quit);
        pending.erase(0, nl + 1);
    }
    if (pending.size() > 4096) pending.clear();
}

// The alarms asked for since the last pass, then the periodic one if due.
void SendDueAlarms(AlarmPeer& peer, AlarmPlan& plan, bool periodic, Clock::duration interval, Clock::time_point now) {
    while (plan.demanded > 0) {
        plan.demanded--;
        if (peer.SendAlarm(plan.NextType(plan.sent)) == 0) LogEvent("no receivers registered: alarm not sent");
    }
    if (periodic && now >= plan.next) {
        // Only alarms that reached someone count towards --alarm-count.
        if (peer.SendAlarm(plan.NextType(plan.sent)) > 0) ++plan.sent;
        plan.next += interval;
        if (plan.next < now) plan.next = now + interval;  // no bursts after a stall
        if (plan.count && plan.sent == plan.count)
            LogEvent("periodic alarms done (" + std::to_string(plan.sent) + " sent)");
    }
}

// Serves until a signal or a control line says stop: connections, the
// alarm peer's datagrams, control lines on stdin, the alarms due and the
// housekeeping once a second. Gives the exit code.
int Run(CommandServer& server, AlarmPeer* peer, AlarmPlan& plan, bool stdinControl) {
    auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(plan.rate > 0 ? 1.0 / plan.rate : 0.0));
    plan.next = Clock::now() + interval;
    auto nextHousekeeping = Clock::now() + std::chrono::seconds(1);
    bool quit = false, stdinOpen = stdinControl;
    std::string stdinBuf;
    int exitCode = 0;

    while (!quit) {
        std::vector<pollfd> fds;
        fds.push_back({g_signalPipe[0], POLLIN, 0});
        fds.push_back({server.ListenFd(), POLLIN, 0});
        if (peer) fds.push_back({peer->Fd(), POLLIN, 0});
        size_t stdinIndex = fds.size();
        if (stdinOpen) fds.push_back({STDIN_FILENO, POLLIN, 0});

        auto now = Clock::now();
        auto wake = nextHousekeeping;
        bool periodic = peer && plan.rate > 0 && (plan.count == 0 || plan.sent < plan.count);
        if (periodic && plan.next < wake) wake = plan.next;
        int timeout = static_cast<int>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1));
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) {
            LogError(std::string("poll: ") + strerror(errno));
            exitCode = 1;
            break;
        }
        if (r > 0) {
            if (fds[0].revents & POLLIN) {
                unsigned char sig[16];
                ssize_t n = ::read(g_signalPipe[0], sig, sizeof sig);
                for (ssize_t i = 0; i < n; ++i) {
                    if (sig[i] == SIGUSR1) {
                        if (peer) plan.demanded++;
                    } else {
                        LogEvent(std::string("caught ") + (sig[i] == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
                        quit = true;
                    }
                }
            }
            if (fds[1].revents & POLLIN) server.OnAcceptable();
            if (peer && (fds[2].revents & POLLIN)) peer->OnReadable();
            if (stdinOpen && (fds[stdinIndex].revents & (POLLIN | POLLHUP | POLLERR)))
                ReadControlLines(stdinBuf, stdinOpen, peer, plan, quit);
        }
        now = Clock::now();
        if (peer) SendDueAlarms(*peer, plan, periodic, interval, now);
        if (now >= nextHousekeeping) {
            server.Reap();
            if (peer) peer->Expire();
            nextHousekeeping = now + std::chrono::seconds(1);
        }
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int parsed = ParseOptions(argc, argv, o);
    if (parsed >= 0) return parsed;

    SetLogLevel(o.quiet ? LogLevel::Quiet : o.verbose ? LogLevel::Verbose : LogLevel::Normal);

    if (o.configPath.empty()) o.configPath = FindDefaultConfig(argv[0]);
    if (o.configPath.empty()) {
        LogError("no --config given and the default configuration was not found");
        return 1;
    }
    SimConfig config;
    try {
        config = LoadConfig(o.configPath);
    } catch (const std::exception& e) {
        LogError(e.what());
        return 1;
    }

    bool tempStorage = false;
    if (!PrepareStorage(o.storage, tempStorage)) return 1;
    struct StorageCleanup {
        std::string dir;
        bool active;
        ~StorageCleanup() {
            std::error_code ec;
            if (active) std::filesystem::remove_all(dir, ec);
        }
    } cleanup{o.storage, tempStorage};

    std::string err;
    if (!InstallSignals(err)) {
        LogError(err);
        return 1;
    }

    ServerOptions so;
    so.bindAddress = o.bind;
    so.port = static_cast<uint16_t>(o.port);
    so.storageDir = o.storage;
    so.requireLogin = !o.noAuth;
    so.maxClients = o.maxClients;
    so.maxFileBytes = o.maxFileMb << 20;
    so.fileTimeoutMs = o.fileTimeoutMs;
    so.fileGetPauseMs = o.fileGetPauseMs;
    CommandServer server(config, so);
    if (!server.Start(err)) {
        LogError(err);
        return 1;
    }

    std::unique_ptr<AlarmPeer> peer;
    if (!o.noAlarms) {
        PeerOptions po;
        po.bindAddress = o.alarmBind;
        po.port = static_cast<uint16_t>(o.alarmPort);
        po.receiverTtlSec = o.ttl;
        peer = std::make_unique<AlarmPeer>(server.Config(), po);
        if (!peer->Start(err)) {
            LogError(err + " (another alarm peer running? try --alarm-bind 127.0.0.2 or --no-alarms)");
            return 1;
        }
    }

    size_t devices = 0;
    for (const Station& s : config.stations) devices += s.devices.size();
    LogEvent("site " + o.configPath + ": " + std::to_string(config.stations.size()) + " stations, " +
             std::to_string(devices) + " devices, " + std::to_string(config.users.size()) + " users");
    LogEvent("storage " + o.storage + (tempStorage ? " (temporary)" : ""));
    LogEvent("listening on " + o.bind + ":" + std::to_string(server.Port()) + " (commands)" +
             (peer ? ", " + o.alarmBind + ":" + std::to_string(peer->Port()) + "/udp (alarm peer)" : std::string()));
    if (!o.portFile.empty() && !WritePortFile(o.portFile, server.Port())) return 1;

    int exitCode = Run(server, peer.get(), o.plan, o.stdinControl);
    server.Stop();
    LogEvent("stopped");
    return exitCode;
}
