// Reader of the NAME=VALUE; protocol text and of the station, device and
// PTZ list entries. Stateless: make a temporary wherever one is needed.
#pragma once

#include <stddef.h>

#include "OamRecords.h"
#include "oam_api.h"
#include "oam_string.h"

class OAMSDK_API COamCommand {
public:
    COamCommand() {}
    ~COamCommand() {}
    COamCommand& operator=(const COamCommand&) { return *this; }

    int PopNameValue(CString& text, CString& name, CString& value, int pop);
    // Character-buffer form: the value is copied with its NUL, cut to fit
    // the buffer (never in the middle of a double-byte character).
    int PopNameValue(CString& text, CString& name, char* value, size_t valueSize, int pop);
    template <size_t N>
    int PopNameValue(CString& text, CString& name, char (&value)[N], int pop) {
        return PopNameValue(text, name, value, N, pop);
    }

    int PopIntValue(CString& text, CString name);
    double PopFloatValue(CString& text, CString name);
    int PopSessionID(CString& text);
    int PopReturnCode(CString& text);
    CString PopCommandID(CString& text);
    CString PopStationID(CString& text);
    int GetNameValue(CString text, CString name, CString& value);
    int SplitString(CString& text, CString& left, CString& right);
    int PopValueName(CString& text, CString& value, CString& name);

    int GetStationName(CString& text, CString& stationId, CString& name, int& number);
    int GetDeviceInfo(CString& text, WACDEVICE_STRUCT* device);
    int GetPtzInfo(CString& text, PTZDEVICE_STRUCT* ptz);

private:
    int PopSpecNameValue(CString& text, CString name, CString& value);
};
