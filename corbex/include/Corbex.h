// Corbex: the companion utility library (logging sinks, last-error text,
// module directory, base64 decoding, MD5 digests). liboamsdk declares the
// same three classes and defines their inline members itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "oam_api.h"
#include "oam_string.h"

class CORBEX_API CFunction {
public:
    CFunction() {}
    ~CFunction() {}
    CFunction& operator=(const CFunction&) { return *this; }

    // Two printf-style sinks: one time-stamped line per message. RLog
    // carries failures worth a reader's attention, DLog the traffic trace.
    // Thread-safe; a message is formatted only when a hook or a log file
    // listens. When OAMSDK_LOG_DIR names a directory, each line is appended
    // to oamsdk-r.log or oamsdk-d.log there ("YYYY-MM-DD HH:MM:SS.mmm
    // [thread] message", line breaks inside the message written as
    // spaces); silent otherwise.
    static void RLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void DLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Text for the calling thread's last error code (GetLastError): the
    // Windows Sockets and kernel codes the library meets have their own
    // text, any other code reads "Unknown error <code>".
    static CString GetLastErrorString();
    // Directory of the loaded module (libcorbex.so and liboamsdk.so share
    // one lib/ directory), without a trailing separator. The environment
    // variable OAMSDK_MODULE_DIR overrides it.
    static CString GetCurrentModuleDir();

    // Host hook for a sink: receives every message of that sink exactly as
    // formatted (no time stamp, no line end), one call per message, in the
    // order they were logged, calls never overlapping. The hook runs with
    // no lock of the sink held, so it may wait for another thread that
    // logs; that thread's message then reaches the hook after this call,
    // from this thread, and its own log call returns at once. Null removes
    // the hook; once SetSinkHook returns, the previous hook is no longer
    // running nor called. Messages that a hook itself logs are dropped
    // (they would re-enter the sink).
    enum Sink { SinkR = 0, SinkD = 1 };
    typedef void (*SinkHook)(int sink, const char* line, void* user);
    static void SetSinkHook(int sink, SinkHook hook, void* user);
};

class CORBEX_API Base64 {
public:
    Base64() {}
    ~Base64() {}
    Base64& operator=(const Base64&) { return *this; }

    // Decodes NUL-terminated base64 text (RFC 4648 alphabet) into out and
    // gives the number of bytes written, never more than capacity (0 for a
    // null text or buffer or a capacity below 1). Decoding stops at the
    // first "=" or NUL, and at any other byte outside the alphabet except
    // white space, which is skipped; bits of an unfinished byte are
    // dropped. Nothing is written after the decoded bytes (no NUL).
    static int base64ToBin(const char* text, unsigned char* out, int capacity);
    // The same over the first length bytes of text, which needs no NUL (a
    // NUL among them still ends the data).
    static int base64ToBin(const char* text, size_t length, unsigned char* out, int capacity);

    // Room for the base64 text of n bytes with its NUL: 4 * ceil(n / 3) + 1.
    static int calculateBase64Len(unsigned int n) {
        return static_cast<int>(4u * (n / 3u + (n % 3u ? 1u : 0u)) + 1u);
    }
    // floor(n / 4) * 3, with nothing deducted for padding.
    static int calculateBinLen(unsigned int n) { return static_cast<int>(n / 4u * 3u); }

private:
    friend struct Base64Access;
    // 6-bit value of c in the RFC 4648 alphabet, (char)-1 for any other
    // byte: 255, not -1, where char is unsigned, so test it as unsigned.
    static char decode64(unsigned char c) {
        if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A');
        if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 26);
        if (c >= '0' && c <= '9') return static_cast<char>(c - '0' + 52);
        if (c == '+') return 62;
        if (c == '/') return 63;
        return static_cast<char>(-1);
    }
};

class CORBEX_API CMD5 {
public:
    CMD5();
    virtual ~CMD5();
    CMD5(const CMD5& o) {
        for (int i = 0; i < 7; ++i) m_state[i] = o.m_state[i];
        for (int i = 0; i < 64; ++i) m_block[i] = o.m_block[i];
    }
    CMD5& operator=(const CMD5& o) {
        for (int i = 0; i < 7; ++i) m_state[i] = o.m_state[i];
        for (int i = 0; i < 64; ++i) m_block[i] = o.m_block[i];
        return *this;
    }

    // Text form of the RFC 1321 digest of exactly these bytes: 32 lowercase
    // hex digits; gives 0. Each call starts a fresh digest. Null data with
    // a non-zero length empties digest and gives -1.
    int DigestBinary(const unsigned char* data, unsigned int length, CString& digest);

private:
    friend struct CMD5Access;
    typedef uint32_t (*Aux)(uint32_t, uint32_t, uint32_t);
    static uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
    // (x AND z) OR (y AND NOT z): the terms share no bit, so "+" is "OR",
    // and lets y AND NOT z join the sum before x, the last input, is known.
    static uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) + (y & ~z); }
    static uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
    static uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }
    static void MD5STEP(Aux f, uint32_t& w, uint32_t x, uint32_t y, uint32_t z, uint32_t data, uint32_t s) {
        s &= 31u;
        w += f(x, y, z) + data;
        w = ((w << s) | (w >> ((32u - s) & 31u))) + x;
    }
    void Init();
    // Runs the compression function over count consecutive 64-byte blocks.
    void Transform(const unsigned char* blocks, size_t count);

    // a, b, c, d; message length in bits (low, high word); bytes of the
    // last, padded block taken from the message.
    uint32_t m_state[7];
    unsigned char m_block[64];
};

// The calling thread's system error slot. It lives here, at the bottom of
// the stack, so that GetLastError of liboamsdk and GetLastErrorString of
// Corbex read the same value.
extern "C" CORBEX_API uint32_t CorbexGetThreadError();
extern "C" CORBEX_API void CorbexSetThreadError(uint32_t code);
