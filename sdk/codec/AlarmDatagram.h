// The grammar of an alarm datagram: NAME=VALUE; pairs read strictly by
// position, whatever their names say, into an ALARM_STRUCT.
#pragma once

#include <stddef.h>

#include "OamRecords.h"

namespace oam {
namespace codec {

// Decodes the text of data[0, n) (up to its first NUL) into alarm and gives
// the bytes it consumed; the text after them is what no step took. A step
// whose pair is not read whole takes nothing and leaves its field as it was
// (a number field then reads 65535, as does one whose pair has another
// name), so that a receiver reusing one record keeps the earlier values
// there. The object fields are read only for Type 1. Text values are cut to
// fit their fields.
size_t DecodeAlarm(const char* data, size_t n, ALARM_STRUCT* alarm);

}  // namespace codec
}  // namespace oam
