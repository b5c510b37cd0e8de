// oamctl watch: a reconnecting session kept open, the station list read
// every interval; one line per state change and per change of the list.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "Commands.h"
#include "Progress.h"
#include "oamsdk.h"

namespace oamctl {

using nlohmann::json;

namespace {

std::mutex g_out;  // the session's thread and the main thread both print

std::string Now() {
    char buf[32];
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

const char* EventName(int state) {
    switch (state) {
    case OAM_SESSION_CONNECTED:
        return "connected";
    case OAM_SESSION_LOST:
        return "lost";
    case OAM_SESSION_RECONNECTING:
        return "reconnecting";
    case OAM_SESSION_RESTORED:
        return "restored";
    case OAM_SESSION_GIVEN_UP:
        return "given-up";
    default:
        return "closed";
    }
}

const char* CauseName(int cause) {
    switch (cause) {
    case OAM_CAUSE_LINK_BREAK:
        return "link-break";
    case OAM_CAUSE_CONNECTION_GONE:
        return "connection-gone";
    case OAM_CAUSE_CONNECT_FAILED:
        return "connect-failed";
    case OAM_CAUSE_NO_LOGIN_REPLY:
        return "no-login-reply";
    case OAM_CAUSE_LOGIN_REFUSED:
        return "login-refused";
    case OAM_CAUSE_ATTEMPTS_USED:
        return "attempts-used";
    case OAM_CAUSE_DESYNCHRONISED:
        return "desynchronised";
    case OAM_CAUSE_HOST:
        return "host";
    default:
        return "";
    }
}

struct WatchState {
    const GlobalOptions* g;
    std::atomic<int> givenUpCause{0};
    std::atomic<int> givenUpCode{0};
};

void OnEvent(LONG_PTR, const OAM_SESSION_EVENT* e, LONG_PTR user) {
    auto* w = reinterpret_cast<WatchState*>(user);
    if (e->State == OAM_SESSION_CLOSED) return;  // oamctl's own exit
    if (e->State == OAM_SESSION_GIVEN_UP) {
        w->givenUpCode = e->Code;
        w->givenUpCause = e->Cause;
    }
    std::lock_guard<std::mutex> l(g_out);
    if (w->g->json) {
        json j{{"event", EventName(e->State)}, {"time", Now()}, {"server", w->g->host + ":" + std::to_string(w->g->port)}};
        if (e->Cause != OAM_CAUSE_NONE) j["cause"] = CauseName(e->Cause);
        if (e->Code != 0) j["code"] = e->Code;
        if (e->Attempt != 0) j["attempt"] = e->Attempt;
        if (e->State == OAM_SESSION_RECONNECTING) j["waited_ms"] = e->DelayMs;
        if (e->State == OAM_SESSION_LOST && e->DelayMs) j["next_attempt_ms"] = e->DelayMs;
        if (e->Text && *e->Text) j["text"] = e->Text;
        PrintJson(j);
        return;
    }
    std::string line = Now() + "  " + EventName(e->State);
    if (e->State == OAM_SESSION_CONNECTED) line += " to " + w->g->host + ":" + std::to_string(w->g->port);
    if (e->State == OAM_SESSION_RECONNECTING) line += " (attempt " + std::to_string(e->Attempt) + ")";
    if (e->State != OAM_SESSION_CONNECTED && e->State != OAM_SESSION_RECONNECTING && e->Text && *e->Text)
        line += ": " + std::string(e->Text);
    if (e->State == OAM_SESSION_LOST && e->DelayMs)
        line += " (next attempt in " + std::to_string(e->DelayMs) + " ms)";
    std::cout << line << std::endl;
}

}  // namespace

void CmdWatch(const GlobalOptions& g, double intervalSec) {
    InstallInterruptHandler();
    WatchState w;
    w.g = &g;
    COamSession s;
    s.SetServer(g.host.c_str(), g.port);
    if (!g.noLogin) s.SetLogin(("User=" + g.user + ";Password=" + g.password + ";").c_str());
    s.SetCallback(&OnEvent, reinterpret_cast<LONG_PTR>(&w));
    s.SetAutoReconnect(TRUE);
    ApplyTimeouts(g, s.Channel());
    const std::string endpoint = g.host + ":" + std::to_string(g.port);
    int rc = s.Open();
    if (rc == -1) throw Failure{kExitTransport, "cannot connect to " + endpoint + " or no reply to the log-in", std::nullopt};
    if (rc != 0)
        throw Failure{kExitRefused, "login as '" + g.user + "' refused (code " + std::to_string(rc) + ")", rc};

    std::vector<std::pair<std::string, std::string>> last;
    bool known = false;
    auto step = std::chrono::milliseconds(50);
    auto next = std::chrono::steady_clock::now();
    while (!g_interrupted) {
        if (w.givenUpCause != 0) {
            int cause = w.givenUpCause;
            throw Failure{cause == OAM_CAUSE_LOGIN_REFUSED ? kExitRefused : kExitTransport, "", std::nullopt};
        }
        if (std::chrono::steady_clock::now() < next) {
            std::this_thread::sleep_for(step);
            continue;
        }
        next += std::chrono::milliseconds(static_cast<long long>(intervalSec * 1000));
        std::vector<STATION_STRUCT> list(256);
        int n = s.GetAllStation(list.data(), static_cast<int>(list.size()));
        if (n < 0) continue;  // down: the session reports it
        std::vector<std::pair<std::string, std::string>> now;
        for (int i = 0; i < n && i < static_cast<int>(list.size()); ++i)
            now.emplace_back(list[i].StationID, list[i].StationName);
        if (known && now == last) continue;
        known = true;
        last = now;
        std::lock_guard<std::mutex> l(g_out);
        if (g.json) {
            json arr = json::array();
            for (auto& [id, name] : now) arr.push_back({{"id", id}, {"name", name}});
            PrintJson({{"event", "stations"}, {"time", Now()}, {"stations", arr}});
        } else {
            std::string line = Now() + "  stations (" + std::to_string(now.size()) + "):";
            for (size_t i = 0; i < now.size(); ++i)
                line += (i ? ", " : " ") + now[i].first + " " + now[i].second;
            std::cout << line << std::endl;
        }
    }
}

}  // namespace oamctl
