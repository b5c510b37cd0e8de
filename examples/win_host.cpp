// A Windows host: a window of its own and a message loop, told of alarms
// (WM_OAM_ALARM) and of a broken link (WM_OAM_LINKBREAK) through it.
//
//   win_host [host] [port] [alarm-peer] [alarms]
//
// Connects and logs in (admin/admin), registers for alarms with the peer,
// and once the given number of alarms (default 3) came, asks the server
// for its station count every 200 ms until the link breaks (stop the
// server then). Exit code 0 when both notices came, 2 after 60 seconds
// without them, 3 when it cannot connect or log in.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <oamsdk.h>

namespace {

const UINT_PTR kAskTimer = 1;
const UINT_PTR kGiveUpTimer = 2;

struct Host {
    CClientSocket* channel = nullptr;
    CAlarmSocket* alarms = nullptr;
    int wanted = 3;
    int alarmCount = 0;
    bool linkBroken = false;
};

Host* HostOf(HWND wnd) {
    return reinterpret_cast<Host*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
}

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    Host* host = HostOf(wnd);
    switch (msg) {
    case WM_OAM_ALARM: {
        // Sent from the receiver's thread, which waits until this returns.
        const ALARM_STRUCT* a = reinterpret_cast<const ALARM_STRUCT*>(lp);
        std::printf("alarm %d: type %d, device %d, %s\n", static_cast<int>(a->AlarmID), static_cast<int>(a->Type),
                    static_cast<int>(a->DeviceID), a->Text1);
        if (host && ++host->alarmCount == host->wanted) {
            std::printf("%d alarms received; waiting for the link to break\n", host->wanted);
            SetTimer(wnd, kAskTimer, 200, nullptr);
        }
        std::fflush(stdout);
        return 0;
    }
    case WM_TIMER:
        if (wp == kAskTimer && host && !host->linkBroken) {
            host->channel->GetAllStation(nullptr, 0);  // fails once the server is gone
        } else if (wp == kGiveUpTimer) {
            std::printf("timed out: %d alarms, link %s\n", host ? host->alarmCount : 0,
                        host && host->linkBroken ? "broken" : "up");
            PostQuitMessage(2);
        }
        return 0;
    case WM_OAM_LINKBREAK:
        if (host && !host->linkBroken) {
            host->linkBroken = true;
            std::printf("link break (code %d)\n", static_cast<int>(wp));
            std::fflush(stdout);
            KillTimer(wnd, kAskTimer);
            DestroyWindow(wnd);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(host && host->linkBroken && host->alarmCount >= host->wanted ? 0 : 2);
        return 0;
    default:
        return DefWindowProcA(wnd, msg, wp, lp);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* server = argc > 1 ? argv[1] : "127.0.0.1";
    const unsigned port = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 9000;
    const char* peer = argc > 3 ? argv[3] : "127.0.0.1";
    Host host;
    if (argc > 4) host.wanted = std::atoi(argv[4]);

    WNDCLASSA wc{};
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "OamWinHost";
    RegisterClassA(&wc);
    HWND wnd = CreateWindowExA(0, wc.lpszClassName, "oamsdk host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                               480, 320, nullptr, nullptr, wc.hInstance, nullptr);
    if (!wnd) {
        std::fprintf(stderr, "cannot create the window (%lu)\n", static_cast<unsigned long>(GetLastError()));
        return 3;
    }
    SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&host));
    ShowWindow(wnd, SW_SHOWNORMAL);

    // The channel holds a 60000-byte receive buffer: keep it off the stack.
    auto channel = std::make_unique<CClientSocket>();
    host.channel = channel.get();
    channel->SetWnd(wnd, nullptr, 0);
    CString reply;
    if (!channel->Create(port, server) || channel->SendCommand("", "Login", "User=admin;Password=admin;", reply) != 0) {
        std::fprintf(stderr, "cannot connect and log in to %s:%u\n", server, port);
        return 3;
    }

    auto alarms = std::make_unique<CAlarmSocket>();
    host.alarms = alarms.get();
    alarms->Wnd = wnd;
    alarms->OamId = "winhost";
    alarms->PeerList.Add(peer);
    if (!alarms->Create(0, nullptr)) {
        std::fprintf(stderr, "cannot open the alarm receiver\n");
        return 3;
    }
    std::atomic<bool> received{false};
    std::thread receiver([&] {
        alarms->Receive();
        received = true;
    });
    std::printf("connected to %s:%u, alarms from %s\n", server, port, peer);
    std::fflush(stdout);

    SetTimer(wnd, kGiveUpTimer, 60000, nullptr);
    MSG m;
    int code = 2;
    for (;;) {
        const BOOL r = GetMessageA(&m, nullptr, 0, 0);
        if (r <= 0) {
            code = r == 0 ? static_cast<int>(m.wParam) : 2;
            break;
        }
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    // The receiver sends to the window and waits for the answer: keep
    // answering until it has ended.
    alarms->Close();
    while (!received) {
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        Sleep(10);
    }
    receiver.join();
    if (IsWindow(wnd)) DestroyWindow(wnd);
    channel->Close();
    std::printf("done: %d alarms, link %s\n", host.alarmCount, host.linkBroken ? "broken" : "up");
    return code;
}
