// Reference implementations the tests compare against, POSIX side:
// OpenSSL (the build picks tests/support/posix or win32).
#pragma once

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/md5.h>

#include <string>
#include <vector>

namespace oamtest {

// The 16-byte MD5 digest of the bytes.
inline std::string ReferenceMd5(const void* data, size_t n) {
    unsigned char d[MD5_DIGEST_LENGTH];
    MD5(static_cast<const unsigned char*>(data), n, d);
    return std::string(reinterpret_cast<const char*>(d), sizeof d);
}

// RFC 4648 base64 text of the bytes, padded, on one line.
inline std::string ReferenceBase64(const std::string& bin) {
    std::vector<unsigned char> out(bin.size() / 3 * 4 + 8);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bin.data()), static_cast<int>(bin.size()));
    return std::string(out.begin(), out.begin() + n);
}

}  // namespace oamtest
