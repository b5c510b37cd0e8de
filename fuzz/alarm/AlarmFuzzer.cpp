// Alarm datagrams from anyone: each input is one datagram sent over
// loopback to a CAlarmSocket whose receive loop runs on a thread of its own,
// as a host runs it; the target waits until the host's callback has seen it.
//
// Besides sanitizer findings, the callback checks what must hold for any
// datagram: it is handed the receiver's own record and the host's value,
// every text field keeps a terminating NUL, and each datagram is delivered
// exactly once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "AlarmSocket.h"
#include "FuzzCheck.h"
#include "UdpPeers.h"

namespace {


const LONG_PTR kUserValue = static_cast<LONG_PTR>(0x5a5a5a5a5a5aLL);

bool Terminated(const char* field, size_t size) {
    return memchr(field, 0, size) != nullptr;
}

class Station {
public:
    Station() {
        m_receiver.Callback = &Station::OnAlarm;
        m_receiver.UserData = kUserValue;
        if (m_receiver.Create(0, nullptr) != 1) Fail("cannot bind the receiver");
        sockaddr_in a{};
        int n = sizeof a;
        if (win::getsockname(m_receiver.Socket.load(), reinterpret_cast<sockaddr*>(&a), &n) != 0)
            Fail("no receiver port");
        m_port = ntohs(a.sin_port);
        if (!m_sender.ok()) Fail("no sender socket");
        m_loop = std::thread([this] { m_receiver.Receive(); });
    }
    ~Station() {
        m_receiver.Close();
        m_loop.join();
    }

    void Deliver(const uint8_t* data, size_t size) {
        uint64_t before;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            before = m_seen;
        }
        if (m_sender.SendTo("127.0.0.1", m_port, data, size) != static_cast<long>(size)) Fail("sendto");
        std::unique_lock<std::mutex> g(m_mutex);
        if (!m_cv.wait_for(g, std::chrono::seconds(10), [&] { return m_seen > before; }))
            Fail("the datagram was not delivered");
        CHECK(m_seen == before + 1);
    }

private:
    static void Fail(const char* what) {
        fprintf(stderr, "alarm_fuzzer: %s\n", what);
        abort();
    }
    static int OnAlarm(ALARM_STRUCT* alarm, LONG_PTR user) {
        Station& self = Instance();
        CHECK(alarm == &self.m_receiver.Alarm);
        CHECK(user == kUserValue);
        CHECK(Terminated(alarm->Text1, sizeof alarm->Text1));
        CHECK(Terminated(alarm->Text2, sizeof alarm->Text2));
        CHECK(Terminated(alarm->Text3, sizeof alarm->Text3));
        CHECK(Terminated(alarm->ObjText, sizeof alarm->ObjText));
        std::lock_guard<std::mutex> g(self.m_mutex);
        ++self.m_seen;
        self.m_cv.notify_all();
        return 0;
    }

public:
    static Station& Instance() {
        // Never destroyed: libFuzzer leaves by exit(), and the loop must not
        // be torn down under a callback.
        static Station* s = new Station;
        return *s;
    }

private:
    CAlarmSocket m_receiver;
    oamtest::UdpSender m_sender;
    uint16_t m_port = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    uint64_t m_seen = 0;
    std::thread m_loop;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An empty datagram or one of 60000 bytes or more is dropped unseen;
    // every other one reaches the host.
    if (size == 0 || size >= static_cast<size_t>(CAlarmSocket::BUFFER_SIZE)) return 0;
    Station::Instance().Deliver(data, size);
    return 0;
}
