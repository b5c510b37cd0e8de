// Helpers shared by the codec tests.
#pragma once

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "OamCommand.h"
#include "oam_string.h"

namespace oamtest {

// Standard base64 with "=" padding, to build list entries from plain names.
inline std::string Base64Of(const std::string& bin) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bin.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bin[i]) << 16 | static_cast<unsigned char>(bin[i + 1]) << 8 |
                     static_cast<unsigned char>(bin[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += abc[(v >> s) & 63];
    }
    if (i + 1 == bin.size()) {
        unsigned v = static_cast<unsigned char>(bin[i]) << 16;
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bin.size()) {
        unsigned v = static_cast<unsigned char>(bin[i]) << 16 | static_cast<unsigned char>(bin[i + 1]) << 8;
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// Sets the ANSI code page for one test and puts the previous one back.
class CodePage {
public:
    explicit CodePage(UINT cp) : m_old(OamGetACP()) { OamSetACP(cp); }
    ~CodePage() { OamSetACP(m_old); }
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;

private:
    UINT m_old;
};

// Marks an output the call must leave alone.
constexpr const char* kUntouched = "<untouched>";

enum class Call { Session, ReturnCode, Command, Station, Pop1, Pop0, Int, Float, Get, Split, ValueName, StationEntry };

struct Outcome {
    std::string result, out1, out2, after;
};

// Runs one call on text; outputs start as kUntouched so that a call which
// must not write them shows it.
inline Outcome RunCall(Call call, const std::string& text, const char* arg) {
    COamCommand cmd;
    CString t(text), a(kUntouched), b(kUntouched);
    Outcome o;
    switch (call) {
    case Call::Session: o.result = std::to_string(cmd.PopSessionID(t)); break;
    case Call::ReturnCode: o.result = std::to_string(cmd.PopReturnCode(t)); break;
    case Call::Command: o.result = cmd.PopCommandID(t).str(); break;
    case Call::Station: o.result = cmd.PopStationID(t).str(); break;
    case Call::Pop1: o.result = std::to_string(cmd.PopNameValue(t, a, b, 1)); break;
    case Call::Pop0: o.result = std::to_string(cmd.PopNameValue(t, a, b, 0)); break;
    case Call::Int: o.result = std::to_string(cmd.PopIntValue(t, arg)); break;
    case Call::Float: {
        char buf[64];
        snprintf(buf, sizeof buf, "%g", cmd.PopFloatValue(t, arg));
        o.result = buf;
        break;
    }
    case Call::Get: o.result = std::to_string(cmd.GetNameValue(t, arg, a)); break;
    case Call::Split: o.result = std::to_string(cmd.SplitString(t, a, b)); break;
    case Call::ValueName: o.result = std::to_string(cmd.PopValueName(t, a, b)); break;
    case Call::StationEntry: {
        int number = -99;
        int r = cmd.GetStationName(t, a, b, number);
        o.result = std::to_string(r) + "/" + std::to_string(number);
        break;
    }
    }
    o.out1 = a.str();
    o.out2 = b.str();
    o.after = t.str();
    return o;
}

// Checks a call's outcome: its result, both outputs, and the text left
// (after: nullptr when the call must leave the text as it was).
inline void ExpectOutcome(const Outcome& o, const char* result, const char* out1, const char* out2, const char* after,
                          const std::string& text) {
    EXPECT_EQ(o.result, result);
    EXPECT_EQ(o.out1, out1);
    EXPECT_EQ(o.out2, out2);
    EXPECT_EQ(o.after, after ? std::string(after) : text);
}

}  // namespace oamtest
