#include "codec/AlarmDatagram.h"

#include <string.h>

#include "codec/TextScan.h"

namespace oam {
namespace codec {

namespace {

// One positional step: the next pair when it is read whole.
bool Next(Span& text, Pair* pair) {
    *pair = ScanPair(text);
    if (pair->got != Got::Whole) return false;
    text.DropFront(pair->length);
    return true;
}

int Int(Span& text, const char* key) {
    Pair pair;
    if (!Next(text, &pair) || !EqualNoCase(pair.name, Span(key, strlen(key)))) return 65535;
    return Atoi(pair.value);
}

float Float(Span& text, const char* key) {
    Pair pair;
    if (!Next(text, &pair) || !EqualNoCase(pair.name, Span(key, strlen(key)))) return 0.0f;
    return static_cast<float>(Atof(pair.value));
}

template <size_t N>
void Text(Span& text, char (&field)[N]) {
    Pair pair;
    if (Next(text, &pair)) CopyFit(field, N, pair.value.p, pair.value.n);
}

}  // namespace

size_t DecodeAlarm(const char* data, size_t n, ALARM_STRUCT* alarm) {
    Span t(data, strnlen(data, n));
    alarm->ID = Int(t, "ID");
    Text(t, alarm->Text1);
    alarm->DeviceID = Int(t, "DeviceID");
    alarm->Type = Int(t, "Type");
    alarm->AlarmID = Int(t, "AlarmID");
    Text(t, alarm->Text2);
    Text(t, alarm->Text3);
    if (alarm->Type == 1) {
        Text(t, alarm->ObjText);
        alarm->ObjWidth = Int(t, "ObjWidth");
        alarm->ObjHeight = Int(t, "ObjHeight");
        alarm->ObjColor = Int(t, "ObjColor");
        alarm->ObjPosX = Int(t, "ObjPosX");
        alarm->ObjPosY = Int(t, "ObjPosY");
        alarm->ObjSpeed = Int(t, "ObjSpeed");
        alarm->ObjDir = Float(t, "ObjDir");
        alarm->ObjRoi = Int(t, "ObjRoi");
    }
    return static_cast<size_t>(t.p - data);
}

}  // namespace codec
}  // namespace oam
