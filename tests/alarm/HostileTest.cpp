// An alarm receiver under hostile traffic: a flood of random datagrams and
// datagrams of every size from 0 to 65507 bytes. Every datagram of 1 to
// 59999 bytes reaches the host, in order and once; empty ones and those of
// 60000 bytes or more are dropped; every record keeps its text fields
// terminated; the receiver goes on working and stops on Close.
#include <string.h>

#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "AlarmSocket.h"
#include "ChannelFixture.h"
#include "ReceiverHarness.h"
#include "UdpPeers.h"

namespace oamtest {
namespace {

const int32_t kMarkerId = 987654;
const std::string kMarker = "ID=987654;Cam=marker;";

// The alarm harness, noting besides what each callback saw: the receiver's
// Length while it ran, and whether every text field was terminated.
class Receiver : public ReceiverHarness {
public:
    struct Seen {
        int32_t length;  // the receiver's Length while the callback ran
        int32_t id;
    };

    Receiver() {
        hook = [this](const ALARM_STRUCT& a) {
            const bool good = Terminated(a.Text1, sizeof a.Text1) && Terminated(a.Text2, sizeof a.Text2) &&
                              Terminated(a.Text3, sizeof a.Text3) && Terminated(a.ObjText, sizeof a.ObjText);
            std::lock_guard<std::mutex> g(m_mutex);
            m_seen.push_back(Seen{sock.Length, a.ID});
            if (!good) ++m_unterminated;
        };
        ok = Start();
    }
    ~Receiver() { Stop(); }

    // Receive must end promptly after Close; a hang fails the test.
    void Stop() {
        if (!ok || m_stopped) return;
        m_stopped = true;
        Within(10000, [this] { ReceiverHarness::Stop(std::chrono::seconds(30)); }, "Receive after Close");
    }
    bool WaitCount(size_t n, int ms = 10000) { return WaitForAlarms(n, std::chrono::milliseconds(ms)); }
    std::vector<Seen> Snapshot() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_seen;
    }
    int Unterminated() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_unterminated;
    }

    bool ok = false;

private:
    static bool Terminated(const char* f, size_t n) { return memchr(f, 0, n) != nullptr; }

    bool m_stopped = false;
    std::mutex m_mutex;
    std::vector<Seen> m_seen;
    int m_unterminated = 0;
};

// A station sending to the receiver's port.
class Station {
public:
    explicit Station(uint16_t port) : m_port(port) {}
    bool ok() const { return m_sender.ok(); }
    bool Send(const std::string& d) { return m_sender.SendTo("127.0.0.1", m_port, d) == static_cast<long>(d.size()); }

private:
    UdpSender m_sender;
    uint16_t m_port;
};

// A datagram of exactly size bytes; once there is room, it starts with its
// own size as the ID pair.
std::string OfSize(size_t size) {
    std::string head = "ID=" + std::to_string(size) + ";T1=a;DeviceID=1;Type=1;AlarmID=2;T2=b;T3=";
    if (size < head.size()) return std::string(size, 'x');
    std::string d = head;
    d.resize(size, 'c');
    return d;
}

// ---- every size -----------------------------------------------------------------

struct SizeRange {
    size_t from, to;  // [from, to)
};

class EverySize : public NoLeaks, public ::testing::WithParamInterface<SizeRange> {};

TEST_P(EverySize, DeliveredExactlyWhenItFitsTheBuffer) {
    const SizeRange r = GetParam();
    Receiver rx;
    ASSERT_TRUE(rx.ok);
    Station station(rx.Port());
    ASSERT_TRUE(station.ok());

    const size_t limit = static_cast<size_t>(CAlarmSocket::BUFFER_SIZE);  // 60000: no room for the NUL
    size_t expected = 0;
    for (size_t size = r.from; size < r.to; ++size) {
        const std::string datagram = OfSize(size);
        ASSERT_TRUE(station.Send(datagram)) << size;
        const bool delivered = size >= 1 && size < limit;
        if (!delivered) {
            // Nothing to wait for: a marker behind it shows that it was
            // taken and dropped.
            ASSERT_TRUE(station.Send(kMarker));
        }
        ++expected;
        ASSERT_TRUE(rx.WaitCount(expected)) << "nothing delivered after a datagram of " << size << " bytes";
        Receiver::Seen s = rx.Snapshot().back();
        if (delivered) {
            ASSERT_EQ(s.length, static_cast<int32_t>(size));
            if (datagram.compare(0, 3, "ID=") == 0) {
                ASSERT_EQ(s.id, static_cast<int32_t>(size));
            }
        } else {
            ASSERT_EQ(s.length, static_cast<int32_t>(kMarker.size())) << "a datagram of " << size << " bytes";
            ASSERT_EQ(s.id, kMarkerId);
        }
    }
    EXPECT_EQ(rx.AlarmCount(), expected);
    EXPECT_EQ(rx.Unterminated(), 0);
    rx.Stop();
}

// Eight slices, so that ctest can run them side by side.
INSTANTIATE_TEST_SUITE_P(Slices, EverySize,
                         ::testing::Values(SizeRange{0, 8192}, SizeRange{8192, 16384}, SizeRange{16384, 24576},
                                           SizeRange{24576, 32768}, SizeRange{32768, 40960},
                                           SizeRange{40960, 49152}, SizeRange{49152, 57344},
                                           SizeRange{57344, 65508}),
                         [](const ::testing::TestParamInfo<SizeRange>& i) {
                             return std::to_string(i.param.from) + "_to_" + std::to_string(i.param.to - 1);
                         });

// ---- flood ------------------------------------------------------------------------

// 20,000 datagrams of random bytes, back to back, mostly small, some up to
// the largest UDP payload. Whatever the socket's buffer holds is delivered
// (random bytes decode to something); the receiver survives and an alarm
// sent afterwards arrives decoded.
TEST_F(NoLeaks, RandomFloodLeavesTheReceiverWorking) {
    Receiver rx;
    ASSERT_TRUE(rx.ok);
    Station station(rx.Port());
    ASSERT_TRUE(station.ok());

    std::mt19937 rng(20000);
    size_t deliverable = 0;
    for (int i = 0; i < 20000; ++i) {
        size_t size = rng() % 100 == 0 ? rng() % 65508 : 1 + rng() % 1400;
        std::string d(size, '\0');
        for (char& ch : d) ch = static_cast<char>(rng());
        // A marker's ID never comes from the flood.
        if (size >= 3) d[0] = '#';
        station.Send(d);
        if (size >= 1 && size < 60000) ++deliverable;
    }
    // Repeated until seen: while the flood fills the buffer, one may be lost.
    bool seen = false;
    for (int attempt = 0; attempt < 100 && !seen; ++attempt) {
        station.Send(kMarker);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (const Receiver::Seen& s : rx.Snapshot()) seen = seen || s.id == kMarkerId;
    }
    EXPECT_TRUE(seen) << "no alarm after the flood";
    std::vector<Receiver::Seen> all = rx.Snapshot();
    size_t floodSeen = 0;
    for (const Receiver::Seen& s : all) {
        EXPECT_GE(s.length, 1);
        EXPECT_LT(s.length, 60000);
        if (s.id != kMarkerId) ++floodSeen;
    }
    EXPECT_LE(floodSeen, deliverable);
    EXPECT_EQ(rx.Unterminated(), 0);
    rx.Stop();
}

}  // namespace
}  // namespace oamtest
