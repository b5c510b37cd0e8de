// oamctl: every operation of oamsdk from the shell.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <iostream>

#include "Commands.h"
#include "Ctl.h"
#include "oamsdk.h"

using namespace oamctl;

namespace {

const char* kExitCodes =
    "Exit codes:\n"
    "  0  success\n"
    "  1  internal error\n"
    "  2  bad usage (unknown command, missing or malformed argument)\n"
    "  3  transport failure: no connection, send failed, no reply in time, broken transfer\n"
    "  4  the server refused (non-zero RETURNCODE; its reason is shown)\n"
    "  5  local file error (cannot read the upload, cannot write the download)\n"
    "  6  alarms / udp recv: fewer than --count received before --wait ran out\n"
    "  7  alarms: some were dropped because the output could not keep up (see --queue)\n";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"oamctl: talk to an OAM management server and alarm peers through oamsdk"};
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.fallthrough();

    GlobalOptions g;
    app.add_option("-H,--host", g.host, "management server address (also the default alarm peer)")
        ->envname("OAMCTL_HOST")
        ->capture_default_str();
    app.add_option("-p,--port", g.port, "management server TCP port")
        ->envname("OAMCTL_PORT")
        ->capture_default_str()
        ->check(CLI::Range(1u, 65535u));
    app.add_option("-u,--user", g.user, "log-in user")->envname("OAMCTL_USER")->capture_default_str();
    app.add_option("-P,--password", g.password, "log-in password (default: admin)")->envname("OAMCTL_PASSWORD");
    // A later --host/--port/... wins, so scripts can override a default.
    for (const char* o : {"--host", "--port", "--user", "--password"})
        app.get_option(o)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--no-login", g.noLogin, "do not log in before the command");
    bool lenientSession = false;
    app.add_flag("--no-strict-session", lenientSession,
                 "accept a reply whose SESSIONID is not the request's (for servers that do not echo it)");
    app.add_option("--timeout-ms", g.timeoutMs, "reply time-out in ms (default: the library's 15000)")
        ->check(CLI::Range(1, 3600000));
    app.get_option("--timeout-ms")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("-v,--verbose", g.verbose, "show the library's trace (its log lines) on stderr");
    app.add_flag("--json", g.json, "machine-readable output: one JSON document per result");

    std::function<void()> run;
    std::string station, name, file, dir, command, params;
    int value = 0;

    app.add_subcommand("login", "log in and report the outcome")->callback([&] { run = [&] { CmdLogin(g); }; });
    app.add_subcommand("stations", "list all stations")->callback([&] { run = [&] { CmdStations(g); }; });

    auto* devices = app.add_subcommand("devices", "show a station's devices and PTZ units as a tree");
    devices->add_option("STATION", station, "station identifier")->required();
    devices->callback([&] { run = [&] { CmdDevices(g, station); }; });

    auto* get = app.add_subcommand("get", "read a named parameter of a station");
    get->add_option("STATION", station, "station identifier")->required();
    get->add_option("NAME", name, "parameter name")->required();
    get->callback([&] { run = [&] { CmdGet(g, station, name); }; });

    for (bool control : {false, true}) {
        auto* sc = app.add_subcommand(control ? "control" : "set",
                                      control ? "send a control value to a station" : "set a named parameter of a station");
        sc->add_option("STATION", station, "station identifier")->required();
        sc->add_option("NAME", name, control ? "control name" : "parameter name")->required();
        sc->add_option("VALUE", value, "integer value")->required();
        sc->callback([&, control] { run = [&, control] { CmdSet(g, station, name, value, control); }; });
    }

    auto* upload = app.add_subcommand("upload", "upload a file to a station (packed as a one-entry ZIP)");
    upload->add_option("STATION", station, "station identifier")->required();
    upload->add_option("FILE", file, "file to upload; its name is what the server stores")->required();
    upload->add_option("-d,--dir", dir, "directory that holds FILE (default: FILE's own directory)");
    upload->callback([&] { run = [&] { CmdUpload(g, station, file, dir); }; });

    auto* download = app.add_subcommand("download", "download a file from a station");
    download->add_option("STATION", station, "station identifier")->required();
    download->add_option("FILE", file, "file name on the server")->required();
    download->add_option("-d,--dir", dir, "directory to write into (default: the current one)");
    download->callback([&] { run = [&] { CmdDownload(g, station, file, dir); }; });

    auto* send = app.add_subcommand("send", "send any command and show the raw reply");
    send->add_option("STATION", station, "station identifier (ignored for Login)")->required();
    send->add_option("CMD", command, "command name, e.g. Get")->required();
    send->add_option("PARAMS", params, "parameter pairs, e.g. 'Contrast=;'");
    send->callback([&] { run = [&] { CmdSend(g, station, command, params); }; });

    AlarmOptions ao;
    auto* alarms = app.add_subcommand("alarms", "register with alarm peers and print alarms as they come");
    alarms->add_option("--peer", ao.peers, "alarm peer address (repeatable; default: --host)");
    alarms->add_option("--oam-id", ao.oamId, "identifier sent in the registration")->capture_default_str();
    alarms->add_option("--listen-port", ao.port, "local UDP port (default: any free one)")->check(CLI::Range(0u, 65535u));
    alarms->add_option("-n,--count", ao.count, "stop after this many alarms (default: until Ctrl-C)");
    alarms->add_option("-t,--wait", ao.timeoutSec, "give up after this many seconds")->check(CLI::Range(0.0, 86400.0));
    alarms->add_option("--queue", ao.queue, "alarms held while the output is busy; more are dropped and counted")
        ->capture_default_str()
        ->check(CLI::Range(1u, 10000000u));
    alarms->callback([&] { run = [&] { CmdAlarms(g, ao); }; });

    UdpOptions uo;
    auto* udp = app.add_subcommand("udp", "send or receive raw datagrams with the library's UDP socket");
    udp->require_subcommand(1);
    auto* usend = udp->add_subcommand("send", "send one datagram");
    usend->add_option("HOST", uo.host, "destination address")->required();
    usend->add_option("PORT", uo.destPort, "destination port")->required()->check(CLI::Range(1u, 65535u));
    usend->add_option("TEXT", uo.text, "datagram text")->required();
    usend->add_option("--bind", uo.bind, "local address (default: all interfaces)");
    usend->add_option("--listen-port", uo.port, "local port (default: any)")->check(CLI::Range(0u, 65535u));
    usend->callback([&] { run = [&] { CmdUdpSend(g, uo); }; });
    auto* urecv = udp->add_subcommand("recv", "print datagrams as they come");
    urecv->add_option("--bind", uo.bind, "local address (default: all interfaces)");
    urecv->add_option("--listen-port", uo.port, "local port (default: any; the port is shown on stderr)")
        ->check(CLI::Range(0u, 65535u));
    urecv->add_option("-n,--count", uo.count, "stop after this many (0: until Ctrl-C)")->capture_default_str();
    urecv->add_option("-t,--wait", uo.timeoutSec, "give up after this many seconds")->check(CLI::Range(0.0, 86400.0));
    urecv->callback([&] { run = [&] { CmdUdpRecv(g, uo); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::fprintf(stderr, "oamctl: %s (see --help)\n", e.what());
        return kExitUsage;
    }

    g.strictSession = !lenientSession;
    Trace::Get().Install(g.verbose);
    try {
        run();
    } catch (const Failure& f) {
        if (!f.message.empty()) {
            std::fprintf(stderr, "oamctl: %s\n", f.message.c_str());
            if (g.json) {
                nlohmann::json j{{"error", f.message}, {"exit", f.exit}};
                if (f.returnCode) j["returncode"] = *f.returnCode;
                if (f.details.is_object()) j.update(f.details);
                PrintJson(j);
            }
        }
        return f.exit;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "oamctl: internal error: %s\n", e.what());
        return kExitInternal;
    }
    return kExitOk;
}
