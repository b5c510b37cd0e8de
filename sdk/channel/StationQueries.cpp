// CClientSocket: station list and station topology.
#include <string.h>

#include "ClientSocket.h"
#include "Corbex.h"
#include "OamCommand.h"
#include "channel/ChannelInternal.h"
#include "codec/TextScan.h"

namespace {

const int kMaxDevices = 16;

}  // namespace

int CClientSocket::GetAllStation(STATION_STRUCT* stations, int maximum) {
    CString reply;
    int result = SendCommand("", "Get", "AllStation=;", reply);
    if (result != 0) return result;

    // The list is the first pair's value, read in place.
    oam::codec::Pair pair = oam::codec::ScanPair(oam::codec::Span(reply.GetString(), static_cast<size_t>(reply.GetLength())));
    oam::codec::Span list = pair.got == oam::codec::Got::Whole ? pair.value : oam::codec::Span();

    // The caller's array holds no more than maximum records.
    if (stations && maximum < 1) return 0;

    int count = 0;
    while (oam::codec::PopStationRecord(list, stations ? &stations[count] : nullptr) == oam::codec::Got::Whole) {
        ++count;
        if (stations && count >= maximum) break;
    }
    return count;
}

int CClientSocket::GetDeviceInfo(STATION_STRUCT* station) {
    if (!station) {
        oam::channel::SetResultOrigin(OAM_ORIGIN_LIBRARY);  // nothing sent
        return -1;
    }
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
