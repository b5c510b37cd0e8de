// Runs a Linux tool the tests compare against (python3, zip), Windows side.
// Under Wine a Windows program cannot wait for a Linux process, so the
// tool runs in the tool peer scripts/test.sh starts on the Linux side
// (scripts/win-tool-peer.py), found through OAM_TOOL_PEER=127.0.0.1:port.
// Paths travel as Windows paths; the peer maps them to its own. Without
// the peer no tool runs (false).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace oamtest {

// True when the tool peer ran argv and it exited with 0. Request: the
// arguments, one a line, then an empty line; reply: the exit status.
inline bool RunTool(const std::vector<std::string>& args) {
    const char* peer = getenv("OAM_TOOL_PEER");
    const char* colon = peer ? strrchr(peer, ':') : nullptr;
    if (!colon) return false;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(atoi(colon + 1)));
    sa.sin_addr.s_addr = inet_addr(std::string(peer, colon).c_str());
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    bool ok = false;
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        DWORD limit = 120000;  // the peer gives a tool 60 s
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
        std::string request;
        for (const std::string& a : args) request += a + "\n";
        request += "\n";
        size_t sent = 0;
        while (sent < request.size()) {
            int n = send(s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        std::string reply;
        char buf[64];
        int n;
        while (sent == request.size() && (n = recv(s, buf, sizeof buf, 0)) > 0) reply.append(buf, n);
        ok = reply == "0\n";
    }
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
    return ok;
}

}  // namespace oamtest
