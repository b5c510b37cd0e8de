// Reference implementations the tests compare against, Windows side: the
// system's CryptoAPI (the build picks tests/support/posix or win32).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace oamtest {

// The 16-byte MD5 digest of the bytes (empty if CryptoAPI fails).
inline std::string ReferenceMd5(const void* data, size_t n) {
    std::string out;
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return out;
    if (CryptCreateHash(prov, CALG_MD5, 0, 0, &hash)) {
        BYTE d[16];
        DWORD len = sizeof d;
        if (CryptHashData(hash, static_cast<const BYTE*>(data), static_cast<DWORD>(n), 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, d, &len, 0))
            out.assign(reinterpret_cast<const char*>(d), len);
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(prov, 0);
    return out;
}

// RFC 4648 base64 text of the bytes, padded, on one line.
inline std::string ReferenceBase64(const std::string& bin) {
    if (bin.empty()) return std::string();
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD len = 0;
    const BYTE* p = reinterpret_cast<const BYTE*>(bin.data());
    if (!CryptBinaryToStringA(p, static_cast<DWORD>(bin.size()), flags, nullptr, &len)) return std::string();
    std::string out(len, '\0');
    if (!CryptBinaryToStringA(p, static_cast<DWORD>(bin.size()), flags, &out[0], &len)) return std::string();
    out.resize(len);
    while (!out.empty() && (out.back() == '\0' || out.back() == '\r' || out.back() == '\n')) out.pop_back();
    return out;
}

}  // namespace oamtest
