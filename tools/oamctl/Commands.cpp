#include "Commands.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "oamsdk.h"

namespace oamctl {

using nlohmann::json;

namespace {

[[noreturn]] void Fail(int exit, const std::string& message, std::optional<int> code = std::nullopt) {
    throw Failure{exit, message, code};
}

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

// For the operations that fold refusals and transport failures into one
// result, the trace since Mark() tells them apart.
[[noreturn]] void FailFromTrace(const std::string& what) {
    Trace& t = Trace::Get();
    if (t.Seen("Command return failed:")) {
        auto r = LastReply();
        int code = r ? r->code : -1;
        Fail(kExitRefused, what + ": refused by the server (code " + std::to_string(code) + "): " +
                               ReasonOf(r ? r->rest : std::string()), code);
    }
    if (t.Seen("Socket Error,received data len =0")) Fail(kExitTransport, what + ": the server closed the connection");
    if (t.Seen("Command timeout:")) Fail(kExitTransport, what + ": no reply from the server in time");
    if (auto e = t.Last("Socket Error:")) Fail(kExitTransport, what + ": send failed (" + *e + ")");
    Fail(kExitTransport, what + ": failed");
}

class Session {
public:
    explicit Session(const GlobalOptions& g) : m_g(g), m_sock(new CClientSocket) {}
    ~Session() {
        if (m_sock->GetSocket()) m_sock->Close();
    }

    CClientSocket& Sock() { return *m_sock; }

    // Connects and, unless --no-login, logs in.
    void Open(bool login) {
        m_sock->SetWnd(nullptr, nullptr, 0);
        m_sock->SetServerAddress(m_g.host.c_str(), m_g.port);
        if (!m_sock->Create(m_g.port, m_g.host.c_str())) Fail(kExitTransport, "cannot connect to " + Endpoint(m_g));
        if (m_g.timeoutMs > 0) {
            DWORD ms = static_cast<DWORD>(m_g.timeoutMs);
            win::setsockopt(m_sock->GetSocket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
            win::setsockopt(m_sock->GetSocket(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        }
        if (login) Login();
    }

    void Login() {
        CString reply;
        std::string params = "User=" + m_g.user + ";Password=" + m_g.password + ";";
        Trace::Get().Mark();
        int r = m_sock->SendCommand("", "Login", params.c_str(), reply);
        if (r == 0) return;
        if (r == -1 && reply.IsEmpty()) FailFromTrace("login to " + Endpoint(m_g));
        Fail(kExitRefused, "login as '" + m_g.user + "' refused (code " + std::to_string(r) + "): " + ReasonOf(reply.str()),
             r);
    }

private:
    const GlobalOptions& m_g;
    std::unique_ptr<CClientSocket> m_sock;
};

std::string Basename(const std::string& path) {
    size_t s = path.find_last_of('/');
    return s == std::string::npos ? path : path.substr(s + 1);
}

std::string Dirname(const std::string& path) {
    size_t s = path.find_last_of('/');
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
    std::string* entry = new std::string("OAMSDK_MODULE_DIR=" + Absolute(dir));
    putenv(&(*entry)[0]);
}

bool IsDirectory(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
    if (n < 0 || Trace::Get().Seen("Command return failed:")) FailFromTrace("listing stations");
    std::vector<STATION_STRUCT> list(static_cast<size_t>(std::max(n, 1)));
    int got = 0;
    if (n > 0) {
        Trace::Get().Mark();
        got = s.Sock().GetAllStation(list.data(), n);
        if (got < 0 || Trace::Get().Seen("Command return failed:")) FailFromTrace("listing stations");
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
    if (station.size() > 35) Fail(kExitUsage, "station identifier longer than 35 bytes");
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
    if (count < 0 || Trace::Get().Seen("Command return failed:")) FailFromTrace("devices of " + station);

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
    Session s(g);
    s.Open(!g.noLogin);
    Trace::Get().Mark();
    int v = s.Sock().GetVpmParameterValue(station.c_str(), name.c_str());
    if (v == -1) {
        // -1 is also every failure: look at what actually came back.
        auto r = LastReply();
        if (!r || r->code != 0) FailFromTrace("get " + name + " on " + station);
        if (PairsToJson(r->rest).empty())
            Fail(kExitTransport, "get " + name + " on " + station + ": the reply carries no value");
    }
    if (g.json)
        PrintJson({{"station", station}, {"name", name}, {"value", v}});
    else
        std::cout << station << "  " << name << " = " << v << std::endl;
}

void CmdSet(const GlobalOptions& g, const std::string& station, const std::string& name, int value, bool control) {
    Session s(g);
    s.Open(!g.noLogin);
    Trace::Get().Mark();
    int r = control ? s.Sock().SetVpmCtrlValue(station.c_str(), name.c_str(), value)
                    : s.Sock().SetVpmParameterValue(station.c_str(), name.c_str(), value);
    const char* verb = control ? "control" : "set";
    if (r != 0) {
        if (r == -1 && !LastReply()) FailFromTrace(std::string(verb) + " " + name + " on " + station);
        auto rep = LastReply();
        Fail(kExitRefused,
             std::string(verb) + " " + name + " on " + station + " refused (code " + std::to_string(r) +
                 "): " + ReasonOf(rep ? rep->rest : std::string()),
             r);
    }
    if (g.json)
        PrintJson({{"station", station}, {"name", name}, {"value", value}, {"command", control ? "Control" : "Set"}});
    else
        std::cout << station << "  " << name << (control ? " controlled to " : " set to ") << value << std::endl;
}

void CmdUpload(const GlobalOptions& g, const std::string& station, const std::string& file, const std::string& dirOpt) {
    std::string name = Basename(file);
    std::string dir = dirOpt.empty() ? Dirname(file) : dirOpt;
    std::string path = dir + "/" + name;
    if (name.empty()) Fail(kExitUsage, "upload needs a file name, not a directory");
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode) || ::access(path.c_str(), R_OK) != 0)
        Fail(kExitLocalFile, "cannot read " + path);
    uint64_t size = 0;
    std::string md5 = Md5OfFile(path, size);
    Session s(g);
    s.Open(!g.noLogin);
    UseDirectory(dir);
    Trace::Get().Mark();
    int r = s.Sock().SendFile(station.c_str(), name.c_str());
    std::string what = "upload of " + name + " to " + station;
    if (r != 0) {
        Trace& t = Trace::Get();
        if (t.Seen("File Open Error:") || t.Seen("Read File Error:")) Fail(kExitLocalFile, "cannot read " + path);
        if (t.Seen("Send File ROI Error:")) Fail(kExitTransport, what + ": sending the archive failed");
        if (t.Seen("Send File Command Timeout")) FailFromTrace(what);
        if (r == -1) Fail(kExitTransport, what + ": no final reply from the server");
        Fail(kExitLocalFile, what + ": the file could not be packed");
    }
    // The upload's result is 0 whatever the server's final verdict: read
    // that from the final reply itself.
    auto fin = LastReply();
    if (fin && fin->code != 0)
        Fail(kExitRefused, what + " rejected by the server (code " + std::to_string(fin->code) + "): " + ReasonOf(fin->rest),
             fin->code);
    if (g.json)
        PrintJson({{"station", station}, {"file", name}, {"bytes", size}, {"md5", md5}, {"uploaded", true}});
    else
        std::cout << "uploaded " << name << " (" << size << " bytes, md5 " << md5 << ") to " << station << std::endl;
}

void CmdDownload(const GlobalOptions& g, const std::string& station, const std::string& file, const std::string& dirOpt) {
    std::string name = Basename(file);
    std::string dir = dirOpt.empty() ? (file.find('/') != std::string::npos ? Dirname(file) : ".") : dirOpt;
    if (name.empty()) Fail(kExitUsage, "download needs a file name");
    if (!IsDirectory(dir) || ::access(dir.c_str(), W_OK) != 0) Fail(kExitLocalFile, "cannot write into " + dir);
    Session s(g);
    s.Open(!g.noLogin);
    UseDirectory(dir);
    Trace::Get().Mark();
    int r = s.Sock().ReceiveFile(station.c_str(), name.c_str());
    std::string what = "download of " + name + " from " + station;
    std::string path = dir + "/" + name;
    if (r != 0) {
        Trace& t = Trace::Get();
        if (t.Seen("Command return failed:")) FailFromTrace(what);
        if (t.Seen("Command timeout:") || t.Seen("Socket Error")) FailFromTrace(what);
        switch (r) {
            case OAM_RECVFILE_CREATE_FAILED:
            case OAM_RECVFILE_WRITE_FAILED:
            case OAM_RECVFILE_RENAME_FAILED:
                Fail(kExitLocalFile, what + ": cannot write " + path);
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
    Session s(g);
    s.Open(!g.noLogin);
    CString reply;
    Trace::Get().Mark();
    int r = s.Sock().SendCommand(station.c_str(), command.c_str(), params.c_str(), reply);
    if (r == -1 && reply.IsEmpty() && !LastReply()) FailFromTrace(command);
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

struct AlarmQueue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<ALARM_STRUCT> items;
};

int OnAlarm(ALARM_STRUCT* alarm, LONG_PTR user) {
    auto* q = reinterpret_cast<AlarmQueue*>(user);
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        if (q->items.size() < 100000) q->items.push_back(*alarm);  // the record is reused: copy it now
    }
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
    auto sock = std::make_unique<CAlarmSocket>();
    std::vector<std::string> peers = o.peers.empty() ? std::vector<std::string>{g.host} : o.peers;
    for (const std::string& p : peers) sock->PeerList.Add(p.c_str());
    sock->OamId = o.oamId.c_str();
    AlarmQueue queue;
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
    bool timedOut = false;
    while (!g_interrupted && (o.count == 0 || seen < o.count)) {
        std::deque<ALARM_STRUCT> batch;
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue.items.empty(); });
            batch.swap(queue.items);
        }
        for (const ALARM_STRUCT& a : batch) {
            if (o.count && seen >= o.count) break;
            if (g.json)
                PrintJson(AlarmJson(a));
            else
                PrintAlarm(a, seen == 0);
            ++seen;
        }
        if (Expired(start, o.timeoutSec)) {
            timedOut = o.count == 0 || seen < o.count;
            break;
        }
    }
    sock->Close();
    receiver.join();
    if (timedOut && o.count)
        Fail(kExitTimeout, "received " + std::to_string(seen) + " of " + std::to_string(o.count) + " alarms within " +
                               std::to_string(o.timeoutSec) + " s");
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
        Fail(kExitTimeout, "received " + std::to_string(seen) + " of " + std::to_string(o.count) + " datagrams in time");
}

}  // namespace oamctl
