// A host that receives alarms: registers with an alarm peer, prints every
// alarm, and stops after a number of them or a time limit.
//
//   alarm_host [peer] [count] [seconds] [oam-id]
//
// Exits 0 when count alarms came, 6 when the time ran out first.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include <oamsdk.h>

namespace {

std::atomic<int> g_received{0};

// Runs on the thread that runs Receive. The record is reused for the next
// alarm: copy what is needed before returning.
int OnAlarm(ALARM_STRUCT* a, LONG_PTR) {
    std::printf("alarm %d: type %d, device %d, %s\n", a->AlarmID, a->Type, a->DeviceID, a->Text1);
    std::fflush(stdout);
    ++g_received;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* peer = argc > 1 ? argv[1] : "127.0.0.1";
    int want = argc > 2 ? std::atoi(argv[2]) : 3;
    int seconds = argc > 3 ? std::atoi(argv[3]) : 30;

    // The receiver holds a 60000-byte buffer: keep it off the stack.
    auto rx = std::make_unique<CAlarmSocket>();
    rx->PeerList.Add(peer);
    rx->OamId = argc > 4 ? argv[4] : "alarm-host";
    rx->Callback = &OnAlarm;
    if (!rx->Create(0, nullptr)) {  // any free local port; the peer learns it from the registration
        std::fprintf(stderr, "cannot create the alarm socket\n");
        return 3;
    }
    std::thread receiver([&] { rx->Receive(); });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (g_received < want && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    rx->Close();  // ends Receive
    receiver.join();
    std::printf("%d alarms\n", g_received.load());
    return g_received >= want ? 0 : 6;
}
