// CClientSocket: station list and station topology.
#include <string.h>

#include "ClientSocket.h"
#include "Corbex.h"
#include "OamCommand.h"
#include "codec/TextScan.h"

using oam::codec::CopyFit;

namespace {

const int kMaxDevices = 16;
const int kNameBufferBytes = 256;

}  // namespace

int CClientSocket::GetAllStation(STATION_STRUCT* stations, int maximum) {
    CString reply;
    int result = SendCommand("", "Get", "AllStation=;", reply);
    if (result != 0) return result;

    COamCommand codec;
    CString name, list;
    codec.PopNameValue(reply, name, list, 1);

    // The caller's array holds no more than maximum records.
    if (stations && maximum < 1) return 0;

    int count = 0;
    CString id, encoded;
    int number = 0;
    while (codec.GetStationName(list, id, encoded, number)) {
        if (stations) {
            STATION_STRUCT& s = stations[count];
            CopyFit(s.StationID, sizeof s.StationID, id.GetString(), static_cast<size_t>(id.GetLength()));
            // One spare byte keeps the decoded name terminated even when the
            // decoder fills all of its capacity.
            unsigned char decoded[kNameBufferBytes + 1];
            memset(decoded, 0, sizeof decoded);
            Base64::base64ToBin(encoded.GetString(), decoded, kNameBufferBytes);
            const char* text = reinterpret_cast<const char*>(decoded);
            CopyFit(s.StationName, sizeof s.StationName, text, strlen(text));
            s.StationValue = number;
        }
        ++count;
        if (stations && count >= maximum) break;
    }
    return count;
}

int CClientSocket::GetDeviceInfo(STATION_STRUCT* station) {
    if (!station) return -1;
    // The host may have filled the whole field without a terminator.
    CString id(station->StationID, static_cast<int>(strnlen(station->StationID, sizeof station->StationID)));
    CString reply;
    int result = SendCommand(id, "Get", "StationTopo=;", reply);
    if (result != 0) return result;

    COamCommand codec;
    CString name, list;
    codec.PopNameValue(reply, name, list, 1);

    int count = 0;
    while (count < kMaxDevices && codec.GetDeviceInfo(list, &station->Device[count])) ++count;
    station->DeviceCount = count;
    return count;
}
