// Bytes from the server: each input is the reply to one command of a real
// CClientSocket, written by a loopback peer that then ends the stream. The
// first byte picks the command (low three bits) and an argument (the rest):
//   0 a host command          SendCommand
//   1 the station count       GetAllStation without an array
//   2 the station list        GetAllStation into 1..32 records
//   3 a station's topology    GetDeviceInfo
//   4 a parameter value       GetVpmParameterValue
//   5 a host command, then one further reply read (ReceiveReturnMsg)
//   6 a host command in strict session mode
// Every log line is formatted (a sink hook listens), as with a host that
// keeps logs.
//
// Besides sanitizer findings, the target checks what must hold whatever
// the server says: the reply handed back is a piece of what was received,
// no record is written past the count or the maximum, every name field
// keeps a terminating NUL, counts stay in their ranges, and strict mode
// never hands back a reply of another session.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ClientSocket.h"
#include "Corbex.h"
#include "oam_win.h"
#include "ChannelLink.h"
#include "FuzzCheck.h"
#include "LogCapture.h"
#include "ReplyPeer.h"

namespace {


const unsigned char kUntouched = 0xA5;

oamtest::ReplyPeer& Peer() {
    static oamtest::ReplyPeer* peer = [] {
        new oamtest::LogCapture(oamtest::LogCapture::CountOnly);
        return new oamtest::ReplyPeer;
    }();
    return *peer;
}

bool Terminated(const char* field, size_t size) {
    return memchr(field, 0, size) != nullptr;
}

// The text handed back is a piece of the reply (the reply is trimmed and
// cut at its first NUL, so never more than what came).
void CheckPiece(const CString& text, const std::string& reply) {
    CHECK(static_cast<size_t>(text.GetLength()) <= reply.size());
    if (text.GetLength() > 0)
        CHECK(memmem(reply.data(), reply.size(), text.GetString(), static_cast<size_t>(text.GetLength())) != nullptr);
}

bool Untouched(const STATION_STRUCT& s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&s);
    for (size_t k = 0; k < sizeof s; ++k)
        if (p[k] != kUntouched) return false;
    return true;
}

void CheckStation(const STATION_STRUCT& s) {
    CHECK(Terminated(s.StationID, sizeof s.StationID));
    CHECK(Terminated(s.StationName, sizeof s.StationName));
}

// A refusal or a failed exchange leaves the record as the host set it (the
// count at -1 here); an accepted reply gives the count as the result.
void CheckDevices(const STATION_STRUCT& s, int result) {
    if (s.DeviceCount != -1) {
        CHECK(result == s.DeviceCount);
        CHECK(s.DeviceCount >= 0 && s.DeviceCount <= 16);
        for (int i = 0; i < s.DeviceCount; ++i) {
            const WACDEVICE_STRUCT& d = s.Device[i];
            CHECK(Terminated(d.DeviceName, sizeof d.DeviceName));
            CHECK(d.PtzCount >= 0 && d.PtzCount <= 5);
            for (int k = 0; k < d.PtzCount; ++k) CHECK(Terminated(d.PtzDevice[k].PtzName, sizeof d.PtzDevice[k].PtzName));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned op = data[0] & 7;
    const unsigned arg = data[0] >> 3;
    std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);

    oamtest::ReplyPeer& peer = Peer();
    if (op == 5) {
        // The reply splits at its first line feed into the command's reply
        // and the further one.
        size_t cut = reply.find('\n');
        std::string first = reply.substr(0, cut), second = cut == std::string::npos ? "" : reply.substr(cut + 1);
        peer.Arm([first, second](const std::string&) { return std::vector<std::string>{first, second}; });
        // The two may arrive in one read.
        reply = first + second;
    } else {
        peer.Arm([reply](const std::string&) { return std::vector<std::string>{reply}; });
    }

    CClientSocket channel;
    // Generous, only a guard: the peer always ends the stream.
    if (!oamtest::ConnectChannel(channel, peer.port(), 5000)) {
        fprintf(stderr, "cannot connect to the loopback peer\n");
        abort();
    }

    switch (op) {
    case 6: {
        CString out;
        channel.SetStrictSession(TRUE);
        int r = channel.SendCommand("12", "Get", "Contrast=;", out);
        CheckPiece(out, reply);
        if (!channel.LastReplySessionMatched()) CHECK(r == -1 && out.GetLength() == 0);
        break;
    }
    case 0:
    case 7: {
        CString out;
        channel.SendCommand("12", "Get", "Contrast=;", out);
        CheckPiece(out, reply);
        break;
    }
    case 1: {
        // A count, or the server's code: any value, as long as it returns.
        channel.GetAllStation(nullptr, 0);
        break;
    }
    case 2: {
        const int maximum = 1 + static_cast<int>(arg);
        std::vector<STATION_STRUCT> stations(static_cast<size_t>(maximum) + 2);
        memset(stations.data(), kUntouched, stations.size() * sizeof(STATION_STRUCT));
        int n = channel.GetAllStation(stations.data(), maximum);
        // A count or the server's refusal code, which may look like a count:
        // the records filled are a prefix of at most the maximum, each with
        // its names terminated; nothing else is touched.
        size_t filled = 0;
        while (filled < stations.size() && !Untouched(stations[filled])) CheckStation(stations[filled++]);
        CHECK(filled <= static_cast<size_t>(maximum));
        if (filled > 0) CHECK(static_cast<size_t>(n) == filled);
        for (size_t i = filled; i < stations.size(); ++i) CHECK(Untouched(stations[i]));
        break;
    }
    case 3: {
        STATION_STRUCT station;
        memset(&station, 0, sizeof station);
        snprintf(station.StationID, sizeof station.StationID, "S%u", arg);
        station.DeviceCount = -1;
        int n = channel.GetDeviceInfo(&station);
        CheckDevices(station, n);
        CheckStation(station);
        break;
    }
    case 4: {
        channel.GetVpmParameterValue("3", "Brightness");
        break;
    }
    case 5: {
        CString out, more;
        channel.SendCommand("12", "Set", "Contrast=5;", out);
        CheckPiece(out, reply);
        int r = channel.ReceiveReturnMsg(more);
        CHECK(r == 0 || r == -1);
        if (r == -1) CHECK(more.GetLength() == 0);
        CheckPiece(more, reply);
        break;
    }
    }
    channel.Close();
    if (!peer.WaitServed()) {
        fprintf(stderr, "the loopback peer did not finish\n");
        abort();
    }
    return 0;
}
