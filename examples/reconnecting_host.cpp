// A host that keeps its link to the management server: a COamSession
// reconnects and logs in again in the background after the link is lost,
// and the host reads the station list once a second meanwhile.
//
//   reconnecting_host [host] [port] [user] [password] [seconds]
//
// Prints one line per state change and per station-list read; exits 0 if
// the link is up at the end, 3 if not.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <oamsdk.h>

namespace {

const char* StateName(int state) {
    switch (state) {
    case OAM_SESSION_CONNECTED: return "connected";
    case OAM_SESSION_LOST: return "lost";
    case OAM_SESSION_RECONNECTING: return "reconnecting";
    case OAM_SESSION_RESTORED: return "restored";
    case OAM_SESSION_GIVEN_UP: return "given up";
    default: return "closed";
    }
}

// Runs on the session's own thread for reconnects (automatic mode), on the
// calling thread for Open and Close. Keep it short; never destroy the
// session from here.
void OnState(LONG_PTR, const OAM_SESSION_EVENT* e, LONG_PTR) {
    std::printf("state: %s (%s)\n", StateName(e->State), e->Text);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    unsigned port = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 9000;
    std::string login = std::string("User=") + (argc > 3 ? argv[3] : "admin") +
                        ";Password=" + (argc > 4 ? argv[4] : "admin") + ";";
    int seconds = argc > 5 ? std::atoi(argv[5]) : 10;

    COamSession session;
    session.SetServer(host, port);
    session.SetLogin(login.c_str());
    session.SetBackoff(250, 2000, 20, 0);      // 0.25 s doubling to 2 s, for ever
    session.SetCallback(&OnState, 0);
    session.SetAutoReconnect(TRUE);            // the session's own thread reconnects
    session.Channel().SetCommandTimeout(3000);
    session.Channel().SetConnectTimeout(2000);
    session.Channel().SetKeepAlive(5, 1, 3);   // a silent dead link is found within about 8 s

    int rc = session.Open();
    if (rc != 0) {
        std::fprintf(stderr, "cannot open the session (%d)\n", rc);
        return rc == -1 ? 3 : 4;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        int n = session.GetAllStation(nullptr, 0);
        if (n == OAM_SESSION_LINK_DOWN)
            std::printf("stations: link down\n");
        else
            std::printf("stations: %d\n", n);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    return session.IsConnected() ? 0 : 3;
}
