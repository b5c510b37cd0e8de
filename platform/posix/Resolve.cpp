// Address conversion, name look-up and the start-up of the socket layer.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "PlatformInternal.h"

using namespace oam::platform;

namespace {

// One part of a dotted address: decimal, octal with a leading 0, or
// hexadecimal with 0x, as the Windows parser reads them.
bool ParsePart(const char*& p, uint64_t& value) {
    int base = 10;
    if (*p == '0') {
        if (p[1] == 'x' || p[1] == 'X') {
            base = 16;
            p += 2;
        } else {
            base = 8;
        }
    }
    const char* start = p;
    uint64_t v = 0;
    for (;; ++p) {
        int d;
        char c = *p;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        if (d >= base) return false;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFu) return false;
    }
    // "0x" alone has no digits; a lone "0" is the octal zero.
    if (p == start && base == 16) return false;
    if (p == start && base == 10) return false;
    value = v;
    return true;
}

struct HostResult {
    hostent host{};
    std::string name;
    std::vector<in_addr> addrs;
    std::vector<char*> addrPtrs;
    char* aliases[1] = {nullptr};
};

thread_local char t_ntoa[16];
thread_local HostResult t_host;

int EaiToWsa(int rc) {
    switch (rc) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
    }
}

std::mutex g_startMutex;
int g_startCount = 0;

}  // namespace

namespace win {

unsigned long inet_addr(const char* cp) {
    const unsigned long kNone = 0xFFFFFFFFul;
    if (!cp) return kNone;
    uint64_t parts[4];
    int n = 0;
    const char* p = cp;
    for (;;) {
        if (n == 4) return kNone;
        if (!ParsePart(p, parts[n])) return kNone;
        ++n;
        if (*p == '.') {
            ++p;
            continue;
        }
        break;
    }
    // The text ends here; a space ends it too, as on Windows.
    if (*p != '\0' && *p != ' ') return kNone;
    uint32_t addr;
    switch (n) {
    case 1:  // a: 32 bits
        addr = static_cast<uint32_t>(parts[0]);
        break;
    case 2:  // a.b: 8.24
        if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return kNone;
        addr = static_cast<uint32_t>(parts[0] << 24 | parts[1]);
        break;
    case 3:  // a.b.c: 8.8.16
        if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return kNone;
        addr = static_cast<uint32_t>(parts[0] << 24 | parts[1] << 16 | parts[2]);
        break;
    default:
        for (int i = 0; i < 4; ++i)
            if (parts[i] > 0xFF) return kNone;
        addr = static_cast<uint32_t>(parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3]);
        break;
    }
    return htonl(addr);
}

char* inet_ntoa(in_addr in) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    snprintf(t_ntoa, sizeof t_ntoa, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return t_ntoa;
}

hostent* gethostbyname(const char* name) {
    std::string query;
    if (name && *name) {
        query = name;
    } else {
        // The empty name is the local host.
        char hn[256] = {0};
        if (gethostname(hn, sizeof hn - 1) == 0 && hn[0]) query = hn;
    }
    HostResult& r = t_host;
    r.addrs.clear();
    int rc = EAI_NONAME;
    if (!query.empty()) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* res = nullptr;
        rc = getaddrinfo(query.c_str(), nullptr, &hints, &res);
        if (rc == 0) {
            r.name = (res && res->ai_canonname) ? res->ai_canonname : query;
            for (addrinfo* a = res; a; a = a->ai_next) {
                if (a->ai_family != AF_INET || !a->ai_addr) continue;
                in_addr ad = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
                bool seen = false;
                for (const in_addr& x : r.addrs) seen = seen || x.s_addr == ad.s_addr;
                if (!seen) r.addrs.push_back(ad);
            }
            freeaddrinfo(res);
        }
    }
    if (r.addrs.empty() && !(name && *name)) {
        // A host whose own name does not resolve still has its loopback.
        in_addr lo;
        lo.s_addr = htonl(INADDR_LOOPBACK);
        r.addrs.push_back(lo);
        r.name = query.empty() ? "localhost" : query;
        rc = 0;
    }
    if (r.addrs.empty()) {
        SetThreadError(static_cast<uint32_t>(rc == 0 ? WSANO_DATA : EaiToWsa(rc)));
        return nullptr;
    }
    r.addrPtrs.clear();
    for (in_addr& a : r.addrs) r.addrPtrs.push_back(reinterpret_cast<char*>(&a));
    r.addrPtrs.push_back(nullptr);
    r.aliases[0] = nullptr;
    r.host.h_name = &r.name[0];
    r.host.h_aliases = r.aliases;
    r.host.h_addrtype = AF_INET;
    r.host.h_length = sizeof(in_addr);
    r.host.h_addr_list = r.addrPtrs.data();
    return &r.host;
}

int WSAStartup(WORD version, WSADATA* data) {
    if (!data) return WSAEFAULT;
    BYTE major = static_cast<BYTE>(version & 0xFF), minor = static_cast<BYTE>(version >> 8);
    memset(data, 0, sizeof *data);
    data->wHighVersion = MAKEWORD(2, 2);
    snprintf(data->szDescription, sizeof data->szDescription, "oamsdk sockets over POSIX");
    snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    if (major < 1 || (major == 1 && minor < 1)) {
        data->wVersion = MAKEWORD(2, 2);
        return WSAVERNOTSUPPORTED;
    }
    // The granted version is the one asked for, up to 2.2.
    if (major > 2 || (major == 2 && minor > 2))
        data->wVersion = MAKEWORD(2, 2);
    else
        data->wVersion = version;
    std::lock_guard<std::mutex> lock(g_startMutex);
    ++g_startCount;
    return 0;
}

int WSACleanup() {
    std::lock_guard<std::mutex> lock(g_startMutex);
    if (g_startCount == 0) {
        SetThreadError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    --g_startCount;
    return 0;
}

}  // namespace win
