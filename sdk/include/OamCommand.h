// Reader of the NAME=VALUE; protocol text and of the station, device and
// PTZ list entries. Stateless: make a temporary wherever one is needed.
//
// Pops take the first pair (or entry) off the front of the text; pairs are
// positional and only their name is checked. Names and values are trimmed
// of white space, names compare without case, and every search scans the
// text as multibyte characters of the ANSI code page (GetACP). A failed
// read leaves behind what it had already stored or consumed; the results
// below say what. Numbers convert as atoi does, except that numbers outside
// the int range saturate at INT_MIN / INT_MAX.
#pragma once

#include <stddef.h>

#include "OamRecords.h"
#include "oam_api.h"
#include "oam_string.h"

class OAMSDK_API COamCommand {
public:
    // Out of line so that the module exports them.
    COamCommand();
    ~COamCommand();
    COamCommand& operator=(const COamCommand&);

    // pop != 0: removes the first pair, 0 read. pop == 0: the text stays,
    // result the length of the first pair with its ";". -1 when no pair: the
    // name is stored all the same when an "=" (not leading) was found.
    int PopNameValue(CString& text, CString& name, CString& value, int pop);
    // Character-buffer form: always pops. The value is copied with its NUL,
    // cut to fit the buffer (never in the middle of a character); a null
    // buffer takes nothing. The last argument is not looked at.
    int PopNameValue(CString& text, CString& name, char* value, size_t valueSize, int pop);
    template <size_t N>
    int PopNameValue(CString& text, CString& name, char (&value)[N], int pop) {
        return PopNameValue(text, name, value, N, pop);
    }

    // Pop the first pair whatever its name; the value counts only when the
    // name matches: else 65535 / 0.0.
    int PopIntValue(CString& text, CString name);
    double PopFloatValue(CString& text, CString name);
    // Pop the first pair only when it carries that name; else -1 / an empty
    // string and the text stays whole.
    int PopSessionID(CString& text);
    int PopReturnCode(CString& text);
    CString PopCommandID(CString& text);
    CString PopStationID(CString& text);
    // Finds name anywhere in text (also inside a longer name or a value) and
    // gives the lower-cased value that follows it. 1 found, 0 not.
    int GetNameValue(CString text, CString name, CString& value);
    // Splits at the first ":"; 0 and outputs untouched when there is none.
    int SplitString(CString& text, CString& left, CString& right);
    // value[name] off the front. 1 read, 0 not: with a value but no name,
    // the value is stored and the text shortened past the "[".
    int PopValueName(CString& text, CString& value, CString& name);

    // One entry of the station list: id[base64 name]number, ... The name
    // stays base64. With the "]" missing, 0 with the untrimmed id stored.
    int GetStationName(CString& text, CString& stationId, CString& name, int& number);
    // One entry of a device list: id[base64 name]<ptz list>: ... Names are
    // decoded and cut to fit their fields. With the "<" or ">" missing, 0
    // after DeviceID and DeviceName are written. A null record reads nothing.
    int GetDeviceInfo(CString& text, WACDEVICE_STRUCT* device);
    // One entry of a PTZ list: id[base64 name], ...
    int GetPtzInfo(CString& text, PTZDEVICE_STRUCT* ptz);

private:
    int PopSpecNameValue(CString& text, CString name, CString& value);
};
