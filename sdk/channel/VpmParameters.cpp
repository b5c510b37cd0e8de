// CClientSocket: reading, setting and controlling named VPM parameters.
#include "ClientSocket.h"
#include "OamCommand.h"
#include "channel/ChannelInternal.h"
#include "codec/TextScan.h"

namespace {

const char* OrEmpty(const char* s) { return s ? s : ""; }

}  // namespace

int CClientSocket::GetVpmParameterValue(const char* station, const char* name) {
    CString params;
    params.Format("%s=;", OrEmpty(name));
    CString reply;
    // A refusal folded into -1 is still the server's.
    if (SendCommand(station, "Get", params, reply) != 0) return -1;

    // Whatever pair comes first carries the value; its name is not checked.
    COamCommand codec;
    CString pairName, value;
    if (codec.PopNameValue(reply, pairName, value, 1) < 0) {
        oam::channel::SetResultOrigin(OAM_ORIGIN_LIBRARY);  // accepted, but no value: no usable reply
        return -1;
    }
    return oam::codec::Atoi(oam::codec::Span(value.GetString(), static_cast<size_t>(value.GetLength())));
}

int CClientSocket::SetVpmParameterValue(const char* station, const char* name, int value) {
    CString params;
    params.Format("%s=%d;", OrEmpty(name), value);
    CString reply;
    return SendCommand(station, "Set", params, reply);
}

int CClientSocket::SetVpmCtrlValue(const char* station, const char* name, int value) {
    CString params;
    params.Format("%s=%d;", OrEmpty(name), value);
    CString reply;
    return SendCommand(station, "Control", params, reply);
}
