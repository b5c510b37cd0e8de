// The system's ANSI code page on POSIX: from the locale's codeset. Also the
// Windows names for it, which scan with the library's code page.
#include <langinfo.h>
#include <strings.h>

#include "oam_string.h"
#include "PlatformShared.h"

namespace {

UINT CodePageFromLocale() {
    const char* cs = nl_langinfo(CODESET);
    if (!cs) return 1252;
    struct Entry {
        const char* name;
        UINT cp;
    };
    static const Entry table[] = {
        {"UTF-8", 65001},      {"UTF8", 65001},  {"SHIFT_JIS", 932}, {"SJIS", 932},
        {"CP932", 932},        {"WINDOWS-31J", 932}, {"GBK", 936},   {"GB2312", 936},
        {"GB18030", 936},      {"CP936", 936},   {"EUC-KR", 949},    {"CP949", 949},
        {"UHC", 949},          {"BIG5", 950},    {"BIG5-HKSCS", 950}, {"CP950", 950},
        // A program that never called setlocale runs in the "C" locale, whatever
        // its text really is: fold nothing beyond ASCII there, so that UTF-8
        // lead bytes (0xC3 ...) are not taken for Latin-1 capitals.
        {"ANSI_X3.4-1968", 20127}, {"ASCII", 20127}, {"US-ASCII", 20127}, {"646", 20127},
    };
    for (const Entry& e : table)
        if (strcasecmp(cs, e.name) == 0) return e.cp;
    return 1252;
}

}  // namespace

namespace oam {
namespace platform {

UINT SystemACP() {
    return CodePageFromLocale();
}

}  // namespace platform
}  // namespace oam

UINT GetACP() {
    return OamGetACP();
}

BOOL IsDBCSLeadByteEx(UINT codePage, BYTE b) {
    return OamIsDBCSLeadByteEx(codePage, b);
}

BOOL IsDBCSLeadByte(BYTE b) {
    return OamIsDBCSLeadByteEx(OamGetACP(), b);
}
