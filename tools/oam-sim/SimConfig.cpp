#include "SimConfig.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "Wire.h"

namespace oamsim {

namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw std::runtime_error(where + ": " + what);
}

std::string Text(const json& j, const char* key, const std::string& where, bool required = true) {
    auto it = j.find(key);
    if (it == j.end()) {
        if (required) Fail(where, std::string("missing \"") + key + "\"");
        return std::string();
    }
    if (!it->is_string()) Fail(where, std::string("\"") + key + "\" must be a string");
    return it->get<std::string>();
}

// A misspelt key would otherwise be ignored without a word.
void CheckKeys(const json& j, std::initializer_list<const char*> known, const std::string& where) {
    for (auto& [key, v] : j.items()) {
        bool ok = false;
        for (const char* k : known) ok = ok || key == k;
        if (!ok) Fail(where, "unknown key \"" + key + "\"");
    }
}

int32_t Int(const json& v, const std::string& where) {
    if (!v.is_number_integer()) Fail(where, "must be an integer");
    int64_t x = v.get<int64_t>();
    if (x < INT32_MIN || x > INT32_MAX) Fail(where, "out of 32-bit range");
    return static_cast<int32_t>(x);
}

// Identifiers and names end up inside list texts: nothing in them may end
// an entry early, and the client's fixed records bound their length.
void CheckToken(const std::string& s, const std::string& where, size_t maxLen) {
    if (s.empty()) Fail(where, "must not be empty");
    if (s.size() > maxLen) Fail(where, "longer than " + std::to_string(maxLen) + " bytes");
    for (char c : s) {
        if (std::string("=;:[],<>").find(c) != std::string::npos || static_cast<unsigned char>(c) < 0x20)
            Fail(where, "contains a protocol delimiter or control character");
    }
}

void CheckName(const std::string& s, const std::string& where) {
    if (s.empty()) Fail(where, "must not be empty");
    if (s.size() > 127) Fail(where, "longer than 127 bytes");
    if (s.find('\0') != std::string::npos) Fail(where, "contains a NUL byte");
}

std::map<std::string, Setting> Settings(const json& j, const char* key, const std::string& where) {
    std::map<std::string, Setting> out;
    auto it = j.find(key);
    if (it == j.end()) return out;
    if (!it->is_object()) Fail(where, std::string("\"") + key + "\" must be an object");
    std::set<std::string> seen;
    for (auto& [name, v] : it->items()) {
        std::string w = where + "." + key + "." + name;
        CheckToken(name, w, 63);
        std::string lower;
        for (char c : name) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (!seen.insert(lower).second) Fail(w, "defined twice (names compare without case)");
        Setting s;
        if (v.is_object()) {
            CheckKeys(v, {"value", "min", "max"}, w);
            if (!v.contains("value")) Fail(w, "missing \"value\"");
            s.value = Int(v["value"], w + ".value");
            if (v.contains("min")) s.min = Int(v["min"], w + ".min");
            if (v.contains("max")) s.max = Int(v["max"], w + ".max");
            if (s.min > s.max) Fail(w, "min is greater than max");
            if (s.value < s.min || s.value > s.max) Fail(w, "value lies outside min..max");
        } else {
            s.value = Int(v, w);
        }
        out[name] = s;
    }
    return out;
}

}  // namespace

SimConfig ParseConfig(const std::string& jsonText) {
    json root;
    try {
        root = json::parse(jsonText);
    } catch (const json::parse_error& e) {
        throw std::runtime_error(std::string("invalid JSON: ") + e.what());
    }
    if (!root.is_object()) Fail("config", "top level must be an object");
    CheckKeys(root, {"users", "stations"}, "config");
    SimConfig cfg;

    if (root.contains("users")) {
        if (!root["users"].is_array()) Fail("users", "must be an array");
        for (size_t i = 0; i < root["users"].size(); ++i) {
            const json& u = root["users"][i];
            std::string w = "users[" + std::to_string(i) + "]";
            if (!u.is_object()) Fail(w, "must be an object");
            CheckKeys(u, {"user", "password"}, w);
            User user{Text(u, "user", w), Text(u, "password", w)};
            CheckToken(user.name, w + ".user", 63);
            if (user.password.find(';') != std::string::npos) Fail(w + ".password", "must not contain ';'");
            cfg.users.push_back(user);
        }
    }

    if (!root.contains("stations") || !root["stations"].is_array()) Fail("stations", "missing or not an array");
    std::set<std::string> ids;
    for (size_t i = 0; i < root["stations"].size(); ++i) {
        const json& s = root["stations"][i];
        std::string w = "stations[" + std::to_string(i) + "]";
        if (!s.is_object()) Fail(w, "must be an object");
        CheckKeys(s, {"id", "name", "value", "devices", "parameters", "controls"}, w);
        Station st;
        st.id = Text(s, "id", w);
        CheckToken(st.id, w + ".id", 35);
        // The identifier names the station's storage directory.
        for (char c : st.id)
            if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
                Fail(w + ".id", "may hold only letters, digits, '-', '_' and '.'");
        if (st.id == "." || st.id == "..") Fail(w + ".id", "must not be . or ..");
        if (!ids.insert(st.id).second) Fail(w + ".id", "\"" + st.id + "\" defined twice");
        st.name = Text(s, "name", w);
        CheckName(st.name, w + ".name");
        if (s.contains("value")) st.value = Int(s["value"], w + ".value");
        if (s.contains("devices")) {
            if (!s["devices"].is_array()) Fail(w + ".devices", "must be an array");
            for (size_t k = 0; k < s["devices"].size(); ++k) {
                const json& d = s["devices"][k];
                std::string dw = w + ".devices[" + std::to_string(k) + "]";
                if (!d.is_object()) Fail(dw, "must be an object");
                CheckKeys(d, {"id", "name", "ptz"}, dw);
                Device dev;
                if (!d.contains("id")) Fail(dw, "missing \"id\"");
                dev.id = Int(d["id"], dw + ".id");
                dev.name = Text(d, "name", dw);
                CheckName(dev.name, dw + ".name");
                if (d.contains("ptz")) {
                    if (!d["ptz"].is_array()) Fail(dw + ".ptz", "must be an array");
                    for (size_t p = 0; p < d["ptz"].size(); ++p) {
                        const json& z = d["ptz"][p];
                        std::string pw = dw + ".ptz[" + std::to_string(p) + "]";
                        if (!z.is_object() || !z.contains("id")) Fail(pw, "must be an object with \"id\"");
                        CheckKeys(z, {"id", "name"}, pw);
                        Ptz ptz{Int(z["id"], pw + ".id"), Text(z, "name", pw)};
                        CheckName(ptz.name, pw + ".name");
                        dev.ptz.push_back(ptz);
                    }
                }
                st.devices.push_back(dev);
            }
        }
        st.parameters = Settings(s, "parameters", w);
        st.controls = Settings(s, "controls", w);
        cfg.stations.push_back(std::move(st));
    }
    if (cfg.users.empty()) Fail("users", "no users: nobody could log in");
    return cfg;
}

SimConfig LoadConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    std::ostringstream ss;
    ss << in.rdbuf();
    try {
        return ParseConfig(ss.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

}  // namespace oamsim
