#include "Commands.h"

#include <limits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <list>
#include <memory>
#include <thread>

#include "Failures.h"
#include "Progress.h"
#include "oamsdk.h"

namespace oamctl {

using nlohmann::json;

namespace {

std::string Endpoint(const GlobalOptions& g) {
    return g.host + ":" + std::to_string(g.port);
}

// The last reply the library traced, split into its return code and rest.
struct TracedReply {
    int code = -1;
    std::string rest;
};
std::optional<TracedReply> LastReply() {
    auto text = Trace::Get().Last("Return:");
    if (!text) return std::nullopt;
    COamCommand codec;
    CString t(text->c_str());
    codec.PopSessionID(t);
    TracedReply r;
    r.code = codec.PopReturnCode(t);
    r.rest = t.str();
    return r;
}

// Strict session mode threw away replies of another session and the
// command's own never came: the link is out of step.
[[noreturn]] void FailOutOfStep(const std::string& what) {
    std::string numbers = Trace::Get().Last("Ret Session error,Need:").value_or("? ret:?");
    size_t ret = numbers.find(" ret:");
    std::string need = numbers.substr(0, ret), got = ret == std::string::npos ? "?" : numbers.substr(ret + 5);
    Fail(kExitTransport, what + ": no reply for session " + need + " in time; the server answered session " + got +
                             " instead (--no-strict-session accepts that)");
}

class Session {
public:
    explicit Session(const GlobalOptions& g) : m_g(g), m_sock(new CClientSocket) {}
    ~Session() {
        if (m_sock->GetSocket()) m_sock->Close();
    }

    CClientSocket& Sock() { return *m_sock; }

    // Strict session mode threw away the replies that came and the command
    // got none of its own: whatever the trace holds belongs to another
    // command.
    bool NoOwnReply() const { return m_g.strictSession && !m_sock->LastReplySessionMatched(); }

    // Connects and, unless --no-login, logs in.
    void Open(bool login) {
        m_sock->SetWnd(nullptr, nullptr, 0);
        m_sock->SetServerAddress(m_g.host.c_str(), m_g.port);
        ApplyTimeouts(m_g, *m_sock);
        if (!m_sock->Create(m_g.port, m_g.host.c_str())) FailConnect(m_g);
        m_sock->SetStrictSession(m_g.strictSession ? TRUE : FALSE);
        if (login) Login();
    }

    void Login() {
        CString reply;
        std::string params = "User=" + m_g.user + ";Password=" + m_g.password + ";";
        Trace::Get().Mark();
        int r = m_sock->SendCommand("", "Login", params.c_str(), reply);
        if (r == 0) return;
        FailExchange("login as '" + m_g.user + "' to " + Endpoint(m_g));
    }

    // A failed exchange: out of step when strict mode discarded what came,
    // otherwise whatever the trace says.
    [[noreturn]] void FailExchange(const std::string& what) const {
        if (NoOwnReply()) {
            // What strict mode threw away: replies of other sessions, or text
            // that carries no session number at all (not the protocol).
            if (auto stale = Trace::Get().Last("Stale reply discarded:")) {
                COamCommand codec;
                CString text(stale->c_str());
                if (codec.PopSessionID(text) == -1 && codec.PopReturnCode(text) == -1)
                    Fail(kExitTransport,
                         what + ": the server does not speak the OAM protocol; it answered \"" + Excerpt(*stale) + "\"");
                FailOutOfStep(what);
            }
        }
        oamctl::FailExchange(m_g, what);
    }

private:
    const GlobalOptions& m_g;
    std::unique_ptr<CClientSocket> m_sock;
};

// Where the last directory ends: at "/", and on Windows at "\\" too.
size_t LastSeparator(const std::string& path) {
    const char separators[] = {'/', static_cast<char>(std::filesystem::path::preferred_separator), 0};
    return path.find_last_of(separators);
}

std::string Basename(const std::string& path) {
    size_t s = LastSeparator(path);
    return s == std::string::npos ? path : path.substr(s + 1);
}

std::string Join(const std::string& dir, const std::string& name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string Dirname(const std::string& path) {
    size_t s = LastSeparator(path);
    if (s == std::string::npos) return ".";
    return s == 0 ? "/" : path.substr(0, s);
}

std::string Absolute(const std::string& dir) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::canonical(dir, ec);
    return ec ? dir : p.string();
}

// Uploads and downloads work in the library's module directory; oamctl
// points it at the directory the user means.
void UseDirectory(const std::string& dir) {
    // putenv keeps the string itself: it lives as long as the process.
    static std::list<std::string> entries;
    entries.push_back("OAMSDK_MODULE_DIR=" + Absolute(dir));
    putenv(&entries.back()[0]);
}

// Creates and removes a file in `dir`: the only sure test that a download
// can be written there (permissions alone do not tell it for root or for a
// read-only mount). Fails with the system's reason.
void CheckWritableDirectory(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) FailLocal("write into", dir, errno);
    if (!S_ISDIR(st.st_mode)) FailLocal("write into", dir, ENOTDIR);
    std::string probe = dir + "/.oamctl-probe-XXXXXX";
    std::vector<char> buf(probe.begin(), probe.end());
    buf.push_back(0);
    int fd = ::mkstemp(buf.data());
    if (fd < 0) FailLocal("write into", dir, errno);
    ::close(fd);
    ::unlink(buf.data());
}

}  // namespace

void CmdLogin(const GlobalOptions& g) {
    Session s(g);
    s.Open(false);
    s.Login();
    if (g.json)
        PrintJson({{"ok", true}, {"server", Endpoint(g)}, {"user", g.user}});
    else
        std::cout << "logged in to " << Endpoint(g) << " as " << g.user << std::endl;
}

void CmdStations(const GlobalOptions& g) {
    Session s(g);
    s.Open(!g.noLogin);
    Trace::Get().Mark();
    // A positive result may be a count or a server's return code: only the
    // trace tells them apart.
    int n = s.Sock().GetAllStation(nullptr, 0);
    if (n < 0 || Trace::Get().Seen("Command return failed:")) s.FailExchange("listing stations");
    std::vector<STATION_STRUCT> list(static_cast<size_t>(std::max(n, 1)));
    int got = 0;
    if (n > 0) {
        Trace::Get().Mark();
        got = s.Sock().GetAllStation(list.data(), n);
        if (got < 0 || Trace::Get().Seen("Command return failed:")) s.FailExchange("listing stations");
    }
    if (g.json) {
        json arr = json::array();
        for (int i = 0; i < got; ++i)
            arr.push_back({{"id", list[i].StationID}, {"name", list[i].StationName}, {"value", list[i].StationValue}});
        PrintJson({{"stations", arr}});
        return;
    }
    std::vector<std::vector<std::string>> rows{{"STATION", "NAME", "VALUE"}};
    for (int i = 0; i < got; ++i)
        rows.push_back({list[i].StationID, list[i].StationName, std::to_string(list[i].StationValue)});
    PrintTable(rows);
    std::cout << got << " station" << (got == 1 ? "" : "s") << std::endl;
}

void CmdDevices(const GlobalOptions& g, const std::string& station) {
    CheckBareName("station", station);
    if (station.size() > 35) FailUsage("station identifier longer than 35 bytes");
    Session s(g);
    s.Open(!g.noLogin);
    auto st = std::make_unique<STATION_STRUCT>();
    std::memset(st.get(), 0, sizeof *st);
    std::strncpy(st->StationID, station.c_str(), sizeof st->StationID - 1);

    // The station's name, for the heading; a failure here is not fatal.
    std::string stationName;
    Trace::Get().Mark();
    int n = s.Sock().GetAllStation(nullptr, 0);
    if (n > 0 && !Trace::Get().Seen("Command return failed:")) {
        std::vector<STATION_STRUCT> all(static_cast<size_t>(n));
        int got = s.Sock().GetAllStation(all.data(), n);
        for (int i = 0; i < got && i < n; ++i)
            if (station == all[i].StationID) stationName = all[i].StationName;
    }

    Trace::Get().Mark();
    int count = s.Sock().GetDeviceInfo(st.get());
    if (count < 0 || Trace::Get().Seen("Command return failed:")) s.FailExchange("devices of " + station);

    if (g.json) {
        json devs = json::array();
        for (int i = 0; i < count; ++i) {
            const WACDEVICE_STRUCT& d = st->Device[i];
            json ptz = json::array();
            for (int k = 0; k < d.PtzCount && k < 5; ++k)
                ptz.push_back({{"id", d.PtzDevice[k].PtzID}, {"name", d.PtzDevice[k].PtzName}});
            devs.push_back({{"id", d.DeviceID}, {"name", d.DeviceName}, {"ptz", ptz}});
        }
        PrintJson({{"station", station}, {"name", stationName}, {"devices", devs}});
        return;
    }
    std::cout << station << (stationName.empty() ? "" : "  " + stationName) << "\n";
    size_t idWidth = 1;
    for (int i = 0; i < count; ++i) idWidth = std::max(idWidth, std::to_string(st->Device[i].DeviceID).size());
    for (int i = 0; i < count; ++i) {
        const WACDEVICE_STRUCT& d = st->Device[i];
        bool lastDev = i + 1 == count;
        std::cout << (lastDev ? "`-- " : "|-- ") << "device " << PadRight(std::to_string(d.DeviceID), idWidth) << "  "
                  << d.DeviceName << "\n";
        for (int k = 0; k < d.PtzCount && k < 5; ++k) {
            bool lastPtz = k + 1 == d.PtzCount;
            std::cout << (lastDev ? "    " : "|   ") << (lastPtz ? "`-- " : "|-- ") << "ptz " << d.PtzDevice[k].PtzID
                      << "  " << d.PtzDevice[k].PtzName << "\n";
        }
    }
    std::cout << count << " device" << (count == 1 ? "" : "s") << std::endl;
}

void CmdGet(const GlobalOptions& g, const std::string& station, const std::string& name) {
    CheckBareName("station", station);
    CheckBareName("parameter", name);
    Session s(g);
    s.Open(!g.noLogin);
    Trace::Get().Mark();
    int v = s.Sock().GetVpmParameterValue(station.c_str(), name.c_str());
    if (v == -1) {
        if (s.NoOwnReply()) s.FailExchange("get " + name + " on " + station);
        // -1 is also every failure: look at what actually came back.
        auto r = LastReply();
        if (!r || r->code != 0) s.FailExchange("get " + name + " on " + station);
        if (PairsToJson(r->rest).empty())
            Fail(kExitTransport, "get " + name + " on " + station + ": the reply carries no value");
    }
    if (g.json)
        PrintJson({{"station", station}, {"name", name}, {"value", v}});
    else
        std::cout << station << "  " << name << " = " << v << std::endl;
}

void CmdSet(const GlobalOptions& g, const std::string& station, const std::string& name, int value, bool control) {
    CheckBareName("station", station);
    CheckBareName(control ? "control" : "parameter", name);
    Session s(g);
    s.Open(!g.noLogin);
    Trace::Get().Mark();
    int r = control ? s.Sock().SetVpmCtrlValue(station.c_str(), name.c_str(), value)
                    : s.Sock().SetVpmParameterValue(station.c_str(), name.c_str(), value);
    const char* verb = control ? "control" : "set";
    if (r != 0) {
        std::string what = std::string(verb) + " " + name + " on " + station;
        if (r == -1 || s.NoOwnReply()) s.FailExchange(what);
        auto rep = LastReply();
        FailRefused(what, r, rep ? rep->rest : std::string());
    }
    if (g.json)
        PrintJson({{"station", station}, {"name", name}, {"value", value}, {"command", control ? "Control" : "Set"}});
    else
        std::cout << station << "  " << name << (control ? " controlled to " : " set to ") << value << std::endl;
}

void CmdUpload(const GlobalOptions& g, const std::string& station, const std::string& file, const std::string& dirOpt,
               int level) {
    std::string name = Basename(file);
    std::string dir = dirOpt.empty() ? Dirname(file) : dirOpt;
    std::string path = Join(dir, name);
    if (name.empty()) FailUsage("upload needs a file name, not a directory");
    CheckBareName("station", station);
    CheckBareName("file name", name);
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0) FailLocal("read", path, errno);
    if (!S_ISREG(sb.st_mode)) FailLocal("read", path, S_ISDIR(sb.st_mode) ? EISDIR : EINVAL);
    FILE* probe = fopen(path.c_str(), "rb");  // readable, not only present
    if (!probe) FailLocal("read", path, errno);
    fclose(probe);
    uint64_t size = 0;
    std::string md5 = Md5OfFile(path, size);
    Session s(g);
    // The option parser has checked the range; the library checks again.
    if (level != 0 && s.Sock().SetUploadLevel(level) == OAM_OPTION_BAD_VALUE) FailUsage("--level must be 1..12");
    s.Open(!g.noLogin);
    UseDirectory(dir);
    ProgressBar bar(g, "upload " + name);
    bar.Attach(s.Sock());
    Trace::Get().Mark();
    int r = s.Sock().SendFile(station.c_str(), name.c_str());
    bar.Finish();
    std::string what = "upload of " + name + " to " + station;
    if (r == OAM_TRANSFER_CANCELLED) Fail(kExitInterrupted, what + ": interrupted");
    if (r != 0) {
        Trace& t = Trace::Get();
        if (auto e = t.LastError("File Open Error:")) Fail(kExitLocalFile, "cannot read " + path + ": " + e->text);
        if (auto e = t.LastError("Read File Error:")) Fail(kExitLocalFile, "cannot read " + path + ": " + e->text);
        if (auto e = t.LastError("Send File ROI Error:"))
            Fail(kExitTransport, what + ": sending the archive failed: " + e->text);
        if (t.Seen("Send File Command Timeout")) s.FailExchange(what);
        if (r == -1) Fail(kExitTransport, what + ": no final reply from the server");
        Fail(kExitLocalFile, what + ": the file could not be packed");
    }
    // The upload's result is 0 whatever the server's final verdict: read
    // that from the final reply itself.
    auto fin = LastReply();
    if (fin && fin->code != 0) s.FailExchange(what);
    if (g.json)
        PrintJson({{"station", station}, {"file", name}, {"bytes", size}, {"md5", md5}, {"uploaded", true}});
    else
        std::cout << "uploaded " << name << " (" << size << " bytes, md5 " << md5 << ") to " << station << std::endl;
}

void CmdDownload(const GlobalOptions& g, const std::string& station, const std::string& file, const std::string& dirOpt) {
    std::string name = Basename(file);
    std::string dir = dirOpt.empty() ? (LastSeparator(file) != std::string::npos ? Dirname(file) : ".") : dirOpt;
    if (name.empty()) FailUsage("download needs a file name");
    CheckBareName("station", station);
    CheckBareName("file name", name);
    CheckWritableDirectory(dir);
    Session s(g);
    s.Open(!g.noLogin);
    UseDirectory(dir);
    ProgressBar bar(g, "download " + name);
    bar.Attach(s.Sock());
    Trace::Get().Mark();
    int r = s.Sock().ReceiveFile(station.c_str(), name.c_str());
    bar.Finish();
    std::string what = "download of " + name + " from " + station;
    std::string path = Join(dir, name);
    if (r == OAM_TRANSFER_CANCELLED) Fail(kExitInterrupted, what + ": interrupted");
    if (r != 0) {
        Trace& t = Trace::Get();
        if (t.Seen("Command return failed:")) s.FailExchange(what);
        if (t.Seen("Command timeout:") || t.Seen("Socket Error")) s.FailExchange(what);
        const char* action = r == OAM_RECVFILE_CREATE_FAILED  ? "create"
                             : r == OAM_RECVFILE_WRITE_FAILED ? "write"
                             : r == OAM_RECVFILE_RENAME_FAILED ? "rename into"
                                                                : nullptr;
        if (action) {
            // The library logs the failing file call at once: its error is in the trace.
            auto e = t.LastError("Receive File ");
            Fail(kExitLocalFile, what + ": cannot " + action + " " + path + (e ? ": " + e->text : std::string()));
        }
        switch (r) {
            case OAM_RECVFILE_BAD_LENGTH:
                Fail(kExitTransport, what + ": the server sent more or fewer bytes than it announced");
            case OAM_RECVFILE_BAD_DIGEST:
                Fail(kExitTransport, what + ": the archive's MD5 does not match the announced one");
            case OAM_RECVFILE_BAD_ARCHIVE:
            case OAM_RECVFILE_BAD_ENTRY:
                Fail(kExitTransport, what + ": the archive is damaged");
            case OAM_RECVFILE_NO_BUFFER:
            case OAM_RECVFILE_ENTRY_TOO_LARGE:
                Fail(kExitTransport, what + ": the file is too large to take");
            default:
                Fail(kExitTransport, what + " failed (result " + std::to_string(r) + ")");
        }
    }
    uint64_t size = 0;
    std::string md5 = Md5OfFile(path, size);
    if (g.json)
        PrintJson({{"station", station}, {"file", name}, {"path", path}, {"bytes", size}, {"md5", md5}, {"downloaded", true}});
    else
        std::cout << "downloaded " << name << " (" << size << " bytes, md5 " << md5 << ") from " << station << " into "
                  << dir << std::endl;
}

void CmdSend(const GlobalOptions& g, const std::string& station, const std::string& command, const std::string& params) {
    CheckBareName("station", station);
    CheckBareName("command", command);
    Session s(g);
    s.Open(!g.noLogin);
    CString reply;
    Trace::Get().Mark();
    int r = s.Sock().SendCommand(station.c_str(), command.c_str(), params.c_str(), reply);
    if (r == -1) s.FailExchange(command);
    if (g.json) {
        PrintJson({{"returncode", r}, {"reply", reply.str()}, {"pairs", PairsToJson(reply.str())}});
    } else {
        std::cout << "RETURNCODE=" << r << "\n" << reply.str() << std::endl;
    }
    if (r != 0) {
        if (!g.json) std::cout.flush();
        std::fprintf(stderr, "oamctl: %s refused by the server (code %d): %s\n", command.c_str(), r,
                     ReasonOf(reply.str()).c_str());
        throw Failure{kExitRefused, "", r};  // the reply is shown already
    }
}

// ---- alarms -----------------------------------------------------------------

namespace {

// Between the receiver's callback and the printer. The callback never
// waits for the printer: when the queue is full, the alarm is dropped and
// counted, and the count goes to stderr at once (then at most once a
// second), so that a printer that cannot keep up is never silent.
struct AlarmQueue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<ALARM_STRUCT> items;
    size_t limit = 100000;
    uint64_t dropped = 0;
    std::chrono::steady_clock::time_point lastReport;
};

int OnAlarm(ALARM_STRUCT* alarm, LONG_PTR user) {
    auto* q = reinterpret_cast<AlarmQueue*>(user);
    uint64_t report = 0;
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        if (q->items.size() < q->limit) {
            q->items.push_back(*alarm);  // the record is reused: copy it now
        } else {
            auto now = std::chrono::steady_clock::now();
            if (q->dropped++ == 0 || now - q->lastReport >= std::chrono::seconds(1)) {
                q->lastReport = now;
                report = q->dropped;
            }
        }
    }
    if (report)
        std::fprintf(stderr, "oamctl: output too slow, alarm queue full (%zu): %llu alarm%s dropped so far\n", q->limit,
                     static_cast<unsigned long long>(report), report == 1 ? "" : "s");
    q->cv.notify_one();
    return 0;
}

std::string Field(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

json AlarmJson(const ALARM_STRUCT& a) {
    json j{{"id", a.ID},
           {"text1", Field(a.Text1, sizeof a.Text1)},
           {"deviceId", a.DeviceID},
           {"type", a.Type},
           {"alarmId", a.AlarmID},
           {"text2", Field(a.Text2, sizeof a.Text2)},
           {"text3", Field(a.Text3, sizeof a.Text3)}};
    if (a.Type == 1) {
        j["object"] = {{"text", Field(a.ObjText, sizeof a.ObjText)},
                       {"width", a.ObjWidth},
                       {"height", a.ObjHeight},
                       {"color", a.ObjColor},
                       {"x", a.ObjPosX},
                       {"y", a.ObjPosY},
                       {"speed", a.ObjSpeed},
                       {"direction", a.ObjDir},
                       {"roi", a.ObjRoi}};
    }
    return j;
}

void PrintAlarm(const ALARM_STRUCT& a, bool header) {
    if (header)
        std::cout << PadRight("ID", 8) << PadRight("TYPE", 6) << PadRight("TEXT1", 12) << PadRight("DEVICE", 8)
                  << PadRight("ALARM", 7) << PadRight("TEXT2", 21) << "TEXT3\n";
    std::cout << PadRight(std::to_string(a.ID), 8) << PadRight(std::to_string(a.Type), 6)
              << PadRight(Field(a.Text1, sizeof a.Text1), 12) << PadRight(std::to_string(a.DeviceID), 8)
              << PadRight(std::to_string(a.AlarmID), 7) << PadRight(Field(a.Text2, sizeof a.Text2), 21)
              << Field(a.Text3, sizeof a.Text3) << "\n";
    if (a.Type == 1) {
        char dir[32];
        std::snprintf(dir, sizeof dir, "%.1f", static_cast<double>(a.ObjDir));
        std::cout << "        object " << Field(a.ObjText, sizeof a.ObjText) << " " << a.ObjWidth << "x" << a.ObjHeight
                  << " at (" << a.ObjPosX << "," << a.ObjPosY << ") speed " << a.ObjSpeed << " direction " << dir
                  << " color 0x" << std::hex << a.ObjColor << std::dec << " roi " << a.ObjRoi << "\n";
    }
    std::cout.flush();
}

using Clock = std::chrono::steady_clock;

bool Expired(const Clock::time_point& start, double timeoutSec) {
    return timeoutSec > 0 && Clock::now() - start >= std::chrono::duration<double>(timeoutSec);
}

}  // namespace

void CmdAlarms(const GlobalOptions& g, const AlarmOptions& o) {
    CheckBareName("OamId", o.oamId);
    auto sock = std::make_unique<CAlarmSocket>();
    std::vector<std::string> peers = o.peers.empty() ? std::vector<std::string>{g.host} : o.peers;
    for (const std::string& p : peers) sock->PeerList.Add(p.c_str());
    sock->OamId = o.oamId.c_str();
    AlarmQueue queue;
    queue.limit = o.queue;
    sock->Callback = &OnAlarm;
    sock->UserData = reinterpret_cast<LONG_PTR>(&queue);
    if (!sock->Create(o.port, nullptr)) Fail(kExitTransport, "cannot bind UDP port " + std::to_string(o.port));
    InstallInterruptHandler();
    std::thread receiver([&] { sock->Receive(); });
    if (!g.json) {
        std::string list;
        for (const std::string& p : peers) list += (list.empty() ? "" : ", ") + p + ":20000";
        std::fprintf(stderr, "oamctl: registered as OamId=%s with %s; waiting for alarms%s\n", o.oamId.c_str(),
                     list.c_str(), o.count ? "" : " (Ctrl-C to stop)");
    }
    auto start = Clock::now();
    unsigned seen = 0;
    uint64_t dropped = 0;
    bool timedOut = false;
    // A dropped alarm counts as received for --count: it did arrive.
    auto done = [&] { return o.count != 0 && seen + dropped >= o.count; };
    while (!g_interrupted && !done()) {
        std::deque<ALARM_STRUCT> batch;
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue.items.empty(); });
            batch.swap(queue.items);
            dropped = queue.dropped;
        }
        for (const ALARM_STRUCT& a : batch) {
            if (done()) break;
            if (g.json)
                PrintJson(AlarmJson(a));
            else
                PrintAlarm(a, seen == 0);
            ++seen;
        }
        if (Expired(start, o.timeoutSec)) {
            timedOut = !done();
            break;
        }
    }
    sock->Close();
    receiver.join();
    dropped = queue.dropped;  // the receiver has stopped: final
    if (dropped > 0) {
        uint64_t received = seen + dropped;
        Failure f{kExitDropped,
                  std::to_string(dropped) + " of " + std::to_string(received) +
                      " alarms dropped: the output could not keep up (queue of " + std::to_string(o.queue) +
                      "; see --queue); " + std::to_string(seen) + " printed",
                  std::nullopt};
        f.details = {{"received", received}, {"printed", seen}, {"dropped", dropped}};
        throw f;
    }
    if (timedOut && o.count)
        Fail(kExitTimeout, "received " + std::to_string(seen) + " of " + std::to_string(o.count) + " alarms within " +
                               Seconds(o.timeoutSec) + " s");
    if (!g.json) std::fprintf(stderr, "oamctl: %u alarm%s received\n", seen, seen == 1 ? "" : "s");
}

// ---- udp --------------------------------------------------------------------

void CmdUdpSend(const GlobalOptions& g, const UdpOptions& o) {
    CUDPSocket u;
    if (!u.Create(o.port, o.bind.empty() ? nullptr : o.bind.c_str()))
        Fail(kExitTransport, "cannot bind UDP " + (o.bind.empty() ? std::string("*") : o.bind) + ":" + std::to_string(o.port));
    std::string host = o.host;
    int n = u.SendTo(o.text.data(), static_cast<int>(o.text.size()), &host[0], static_cast<unsigned short>(o.destPort));
    if (n < 0)
        Fail(kExitTransport, "sending to " + o.host + ":" + std::to_string(o.destPort) + " failed (error " +
                                 std::to_string(win::WSAGetLastError()) + ")");
    if (g.json)
        PrintJson({{"sent", n}, {"host", o.host}, {"port", o.destPort}});
    else
        std::cout << "sent " << n << " bytes to " << o.host << ":" << o.destPort << std::endl;
}

void CmdUdpRecv(const GlobalOptions& g, const UdpOptions& o) {
    CUDPSocket u;
    if (!u.Create(o.port, o.bind.empty() ? nullptr : o.bind.c_str()))
        Fail(kExitTransport, "cannot bind UDP " + (o.bind.empty() ? std::string("*") : o.bind) + ":" + std::to_string(o.port));
    sockaddr_in local{};
    int len = sizeof local;
    win::getsockname(u.Socket, reinterpret_cast<sockaddr*>(&local), &len);
    std::fprintf(stderr, "oamctl: listening on %s:%u/udp\n", o.bind.empty() ? "0.0.0.0" : o.bind.c_str(),
                 static_cast<unsigned>(ntohs(local.sin_port)));
    InstallInterruptHandler();
    std::vector<char> buf(65536);
    auto start = Clock::now();
    unsigned seen = 0;
    WSAEVENT ev = u.GetEvent();
    while (!g_interrupted && (o.count == 0 || seen < o.count)) {
        if (Expired(start, o.timeoutSec)) break;
        win::WSAWaitForMultipleEvents(1, &ev, FALSE, 100, FALSE);
        for (;;) {
            sockaddr_in from{};
            int n = u.RecvFrom(buf.data(), static_cast<int>(buf.size()), reinterpret_cast<sockaddr*>(&from));
            if (n < 0) {
                win::WSAResetEvent(ev);
                break;
            }
            std::string who = std::string(win::inet_ntoa(from.sin_addr)) + ":" + std::to_string(ntohs(from.sin_port));
            std::string text(buf.data(), static_cast<size_t>(n));
            if (g.json)
                PrintJson({{"from", who}, {"bytes", n}, {"text", text}});
            else
                std::cout << who << "  " << n << " bytes  " << text << std::endl;
            if (o.count && ++seen >= o.count) break;
        }
    }
    if (o.count && seen < o.count && !g_interrupted)
        Fail(kExitTimeout, "received " + std::to_string(seen) + " of " + std::to_string(o.count) + " datagrams within " +
                               Seconds(o.timeoutSec) + " s");
}

}  // namespace oamctl
