// A small host program: connects to a management server, logs in, and
// prints every station with its devices and PTZ units.
//
//   station_list [host] [port] [user] [password]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <oamsdk.h>

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    unsigned port = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 9000;
    std::string login = std::string("User=") + (argc > 3 ? argv[3] : "admin") +
                        ";Password=" + (argc > 4 ? argv[4] : "admin") + ";";

    // The channel holds a 60000-byte receive buffer: keep it off the stack.
    auto channel = std::make_unique<CClientSocket>();
    if (!channel->Create(port, host)) {
        std::fprintf(stderr, "cannot connect to %s:%u\n", host, port);
        return 3;
    }
    CString reply;
    int rc = channel->SendCommand("", "Login", login.c_str(), reply);
    if (rc != 0) {
        std::fprintf(stderr, "login refused (%d): %s\n", rc, reply.GetString());
        return 4;
    }

    // Count first, then fetch into records of that many.
    int count = channel->GetAllStation(nullptr, 0);
    if (count < 0) {
        std::fprintf(stderr, "station list failed (%d)\n", count);
        return 3;
    }
    std::vector<STATION_STRUCT> stations(static_cast<size_t>(count) + 1);
    if (count > 0) count = channel->GetAllStation(stations.data(), count);
    std::printf("%d stations\n", count);
    for (int i = 0; i < count; ++i) {
        STATION_STRUCT& st = stations[static_cast<size_t>(i)];
        int devices = channel->GetDeviceInfo(&st);
        std::printf("%s  %s  (%d devices)\n", st.StationID, st.StationName, devices < 0 ? 0 : devices);
        for (int d = 0; d < st.DeviceCount; ++d) {
            const WACDEVICE_STRUCT& dev = st.Device[d];
            std::printf("  device %d  %s\n", dev.DeviceID, dev.DeviceName);
            for (int p = 0; p < dev.PtzCount; ++p)
                std::printf("    ptz %d  %s\n", dev.PtzDevice[p].PtzID, dev.PtzDevice[p].PtzName);
        }
    }
    channel->Close();
    return 0;
}
