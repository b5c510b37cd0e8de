#include "Failures.h"

#include <cstdio>
#include <cstring>

#include "oamsdk.h"

namespace oamctl {

namespace {

std::string Endpoint(const GlobalOptions& g) {
    return g.host + ":" + std::to_string(g.port);
}

bool IsDotted(const std::string& host) {
    return host.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

void Fail(int exit, const std::string& message, std::optional<int> code) {
    throw Failure{exit, message, code};
}

void FailConnect(const GlobalOptions& g) {
    // First: the name check below overwrites the thread's error.
    std::string reason = CFunction::GetLastErrorString().str();
    std::string where = "cannot connect to " + Endpoint(g);
    if (!IsDotted(g.host) && !win::gethostbyname(g.host.c_str()))
        Fail(kExitTransport, where + ": the host name does not resolve (" + CFunction::GetLastErrorString().str() + ")");
    Fail(kExitTransport, where + ": " + reason);
}

void FailRefused(const std::string& what, int code, const std::string& reply) {
    Fail(kExitRefused, what + ": refused by the server (code " + std::to_string(code) + "): " + ReasonOf(reply), code);
}

void FailExchange(const GlobalOptions& g, const std::string& what) {
    Trace& t = Trace::Get();
    if (auto raw = t.Last("Return:")) {
        COamCommand codec;
        CString rest(raw->c_str());
        codec.PopSessionID(rest);
        int code = codec.PopReturnCode(rest);
        // -1 is the library's own "no usable reply": the peer answered, but
        // not in the protocol (an HTTP server, a wrong port).
        if (code == -1)
            Fail(kExitTransport, what + ": the server does not speak the OAM protocol; it answered \"" + Excerpt(*raw) + "\"");
        if (code != 0) FailRefused(what, code, rest.str());
    }
    if (auto e = t.LastError("Socket Error:"))
        Fail(kExitTransport, what + ": sending failed: " + e->text);
    if (t.Seen("Socket Error,received data len =0"))
        Fail(kExitTransport, what + ": the server closed the connection without replying");
    if (auto e = t.LastError("Command timeout:")) {
        if (e->code == WSAETIMEDOUT || e->code == WSAEWOULDBLOCK)
            Fail(kExitTransport,
                 what + ": no reply within " + Seconds((g.timeoutMs > 0 ? g.timeoutMs : 15000) / 1000.0) + " s");
        if (e->code == WSAECONNRESET) Fail(kExitTransport, what + ": the server reset the connection without replying");
        Fail(kExitTransport, what + ": receiving failed: " + e->text);
    }
    Fail(kExitTransport, what + ": failed");
}

void FailLocal(const std::string& action, const std::string& path, int err) {
    Fail(kExitLocalFile, "cannot " + action + " " + path + ": " + std::strerror(err));
}

void CheckBareName(const std::string& what, const std::string& value) {
    for (char c : value) {
        const char* bad = nullptr;
        char shown[8];
        if (c == ';' || c == '=') {
            std::snprintf(shown, sizeof shown, "'%c'", c);
            bad = "which the protocol cannot carry in a name";
        } else if (c == '/' || c == '\\') {
            std::snprintf(shown, sizeof shown, "'%c'", c);
            bad = "but the server takes a bare name";
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            std::snprintf(shown, sizeof shown, "\\x%02x", static_cast<unsigned char>(c));
            bad = "which the protocol cannot carry in a name";
        }
        if (bad) FailUsage(what + " '" + Excerpt(value) + "' contains " + shown + ", " + bad);
    }
}

std::string Excerpt(const std::string& raw, size_t max) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == '\r' || c == '\n') break;
        if (out.size() >= max) {
            out += "...";
            break;
        }
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

int Report(const Failure& f, bool json) {
    if (!f.message.empty()) {
        std::fprintf(stderr, "oamctl: %s\n", f.message.c_str());
        if (json) {
            nlohmann::json j{{"error", f.message}, {"exit", f.exit}};
            if (f.returnCode) j["returncode"] = *f.returnCode;
            if (f.details.is_object()) j.update(f.details);
            PrintJson(j);
        }
    }
    return f.exit;
}

}  // namespace oamctl
