// The commands of oamctl, one function each. Each prints its result and
// throws Failure when it cannot give one.
#pragma once

#include <string>
#include <vector>

#include "Ctl.h"

namespace oamctl {

void CmdLogin(const GlobalOptions& g);
void CmdStations(const GlobalOptions& g);
void CmdDevices(const GlobalOptions& g, const std::string& station);
void CmdGet(const GlobalOptions& g, const std::string& station, const std::string& name);
void CmdSet(const GlobalOptions& g, const std::string& station, const std::string& name, int value, bool control);
// level 0: the library's default deflate level.
void CmdUpload(const GlobalOptions& g, const std::string& station, const std::string& file, const std::string& dir,
               int level);
void CmdDownload(const GlobalOptions& g, const std::string& station, const std::string& file, const std::string& dir);
// Keeps a reconnecting session and prints its state changes and the
// station list whenever it changes, until Ctrl-C.
void CmdWatch(const GlobalOptions& g, double intervalSec);
void CmdSend(const GlobalOptions& g, const std::string& station, const std::string& command, const std::string& params);

struct AlarmOptions {
    std::vector<std::string> peers;  // default: the server's host
    std::string oamId = "oamctl";
    unsigned port = 0;               // local UDP port (0: any free one)
    unsigned count = 0;              // 0: until interrupted
    double timeoutSec = 0;           // 0: no limit
    unsigned queue = 100000;         // alarms waiting for the printer
};
void CmdAlarms(const GlobalOptions& g, const AlarmOptions& o);

struct UdpOptions {
    std::string bind;     // local address; empty: all interfaces
    unsigned port = 0;    // local port
    std::string host;     // send: destination
    unsigned destPort = 0;
    std::string text;
    unsigned count = 0;   // recv: stop after this many (0: until interrupted), as alarms -n
    double timeoutSec = 0;
};
void CmdUdpSend(const GlobalOptions& g, const UdpOptions& o);
void CmdUdpRecv(const GlobalOptions& g, const UdpOptions& o);

}  // namespace oamctl
