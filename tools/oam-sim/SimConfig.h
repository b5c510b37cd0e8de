// The simulated site: users, stations with devices and PTZ units, and each
// station's parameters and controls, read from a JSON file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace oamsim {

struct Ptz {
    int32_t id = 0;
    std::string name;
};

struct Device {
    int32_t id = 0;
    std::string name;
    std::vector<Ptz> ptz;
};

// A named integer with an optional allowed range.
struct Setting {
    int32_t value = 0;
    int32_t min = INT32_MIN;
    int32_t max = INT32_MAX;
};

struct Station {
    std::string id;
    std::string name;
    int32_t value = 1;  // closes the station's list entry (e.g. online 1 / offline 0)
    std::vector<Device> devices;
    std::map<std::string, Setting> parameters;  // keys as configured; looked up without case
    std::map<std::string, Setting> controls;
};

struct User {
    std::string name;
    std::string password;
};

struct SimConfig {
    std::vector<User> users;
    std::vector<Station> stations;
};

// Throws std::runtime_error with a one-line reason on a missing file, bad
// JSON or a value the protocol cannot carry (an identifier with a
// delimiter, a name that does not fit the client's records, ...).
SimConfig LoadConfig(const std::string& path);
SimConfig ParseConfig(const std::string& jsonText);

}  // namespace oamsim
