// oamctl's options on top of the library's host conveniences: the chosen
// time-outs, and the progress of uploads and downloads (a bar on stderr
// when it is a terminal, JSON lines with --json --progress).
#pragma once

#include <chrono>
#include <string>

#include "Ctl.h"
#include "oamsdk.h"

namespace oamctl {

// --timeout-ms and --connect-timeout-ms through the channel's setters.
void ApplyTimeouts(const GlobalOptions& g, CClientSocket& channel);

class ProgressBar {
public:
    ProgressBar(const GlobalOptions& g, std::string what);
    ~ProgressBar() { Finish(); }
    // Installs the hook on the channel when there is something to show.
    void Attach(CClientSocket& channel);
    // Ends the bar's line and removes the hook.
    void Finish();

    // For tests and the bar itself: "1.5 MiB", "2:05".
    static std::string Bytes(double n);
    static std::string Duration(double seconds);

private:
    static int Hook(LONG_PTR channel, long long done, long long total, int phase, LONG_PTR user);
    void Show(long long done, long long total, int phase);

    enum Mode { kNone, kBar, kJson };
    Mode m_mode = kNone;
    std::string m_what;
    CClientSocket* m_channel = nullptr;
    int m_phase = -1;
    std::chrono::steady_clock::time_point m_phaseStart{};
    bool m_lineOpen = false;
};

}  // namespace oamctl
