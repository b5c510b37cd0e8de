// oamctl's shared pieces: exit codes, failures, the trace of the library's
// log sinks, and output helpers.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace oamctl {

// Exit codes, documented in the README and in --help.
enum Exit : int {
    kExitOk = 0,
    kExitInternal = 1,
    kExitUsage = 2,
    kExitTransport = 3,  // no connection, send failed, no reply in time, broken transfer
    kExitRefused = 4,    // the server answered with a non-zero RETURNCODE
    kExitLocalFile = 5,  // a local file could not be read or written
    kExitTimeout = 6,    // alarms/udp recv: fewer than --count before --timeout
    kExitDropped = 7,    // alarms: some were dropped, the output could not keep up
    kExitInterrupted = 130,  // an upload or download stopped by Ctrl-C (nothing left half-written)
};

struct Failure {
    int exit;
    std::string message;
    std::optional<int> returnCode;  // the server's code for a refusal
    nlohmann::json details = nullptr;  // more fields for the --json error document
};

struct GlobalOptions {
    std::string host = "127.0.0.1";
    unsigned port = 9000;
    std::string user = "admin";
    std::string password = "admin";
    bool noLogin = false;
    bool strictSession = true;  // a reply of another session is not this command's
    int timeoutMs = 0;  // 0: the library's own 15 s
    int connectTimeoutMs = 0;  // 0: the system's own
    bool quiet = false;        // no progress bar
    bool progress = false;     // progress even when stderr is no terminal (JSON lines with --json)
    bool verbose = false;
    bool json = false;
};

// Every line the library writes to its two sinks while oamctl runs; shown
// on stderr with --verbose, and read back to tell a refusal from a
// transport failure where an operation folds both into one result.
class Trace {
public:
    static Trace& Get();
    void Install(bool echo);
    // Lines since the last Mark().
    void Mark();
    std::vector<std::string> Since() const;
    // The text after `key` in the last line since Mark() that holds it.
    std::optional<std::string> Last(const std::string& key) const;
    bool Seen(const std::string& key) const { return Last(key).has_value(); }
    // The thread's last error (code and system text) when the library
    // logged the last line since Mark() that holds `key`: the cause behind
    // a "Command timeout:" or "Socket Error:" line.
    struct Error {
        unsigned long code;
        std::string text;
    };
    std::optional<Error> LastError(const std::string& key) const;

private:
    struct Line {
        std::string text;
        Error error;
    };
    const Line* Find(const std::string& key, size_t& at) const;
    static void Hook(int sink, const char* line, void* user);
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
    size_t m_mark = 0;
    bool m_echo = false;
};

// Stops loops of alarms and udp recv on SIGINT/SIGTERM.
extern std::atomic<bool> g_interrupted;
void InstallInterruptHandler();

// Output: human text or one JSON document per result on stdout.
void PrintJson(const nlohmann::json& j);
std::string PadRight(const std::string& s, size_t width);
// Prints rows as columns separated by two spaces; the first row is the
// heading, underlined.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

// Reply helpers: the value of a pair anywhere in a reply text (names
// without case), and all pairs as a JSON object.
std::optional<std::string> PairValue(const std::string& reply, const std::string& name);
nlohmann::json PairsToJson(const std::string& reply);
// The server's explanation in a refusal: its Reason pair, else the text.
std::string ReasonOf(const std::string& reply);

std::string Md5OfFile(const std::string& path, uint64_t& size);

}  // namespace oamctl
