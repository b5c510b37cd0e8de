// oamctl: every operation of oamsdk from the shell.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>

#include "Commands.h"
#include "Ctl.h"
#include "Failures.h"
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
    "  7  alarms: some were dropped because the output could not keep up (see --queue)\n"
    "  130  upload or download interrupted by Ctrl-C (nothing left half-written)\n";

// Usage errors come before the options are known: --json is looked for
// among the arguments themselves.
bool JsonRequested(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--json") == 0) return true;
    return false;
}

std::string CommandList(const CLI::App& app) {
    std::string list;
    for (const CLI::App* sc : app.get_subcommands([](const CLI::App*) { return true; }))
        list += (list.empty() ? "" : ", ") + sc->get_name();
    return list;
}

// Every subcommand's --help ends with the global options and the exit
// codes, which apply to all of them.
void ShowGlobalsInSubcommandHelp(CLI::App& app) {
    CLI::Formatter fmt;
    const CLI::Option* help = app.get_help_ptr();
    std::vector<CLI::Option*> found = app.get_options(
        [&](const CLI::Option* o) { return o != help && o->nonpositional() && o->get_name() != "--version"; });
    std::vector<const CLI::Option*> globals(found.begin(), found.end());
    std::string text = fmt.make_group("Global options (before or after the command)", false, globals);
    if (!text.empty() && text[0] == '\n') text.erase(0, 1);
    std::vector<CLI::App*> todo = app.get_subcommands([](CLI::App*) { return true; });
    while (!todo.empty()) {
        CLI::App* sc = todo.back();
        todo.pop_back();
        sc->footer(text + "\n" + kExitCodes);
        for (CLI::App* sub : sc->get_subcommands([](CLI::App*) { return true; })) todo.push_back(sub);
    }
}

void PrintVersion(bool json) {
    if (json)
        PrintJson({{"oamctl", OAMSDK_VERSION_STRING}, {"library", OamLibraryVersion()}, {"soname", OamLibrarySoname()}});
    else
        std::printf("oamctl %s (library %s, %s)\n", OAMSDK_VERSION_STRING, OamLibraryVersion(), OamLibrarySoname());
}

// What the command line gives: the global options, the command to run and
// its arguments.
struct CommandLine {
    GlobalOptions g;
    bool lenientSession = false;
    bool version = false;
    std::function<void()> run;
    std::string station, name, file, dir, command, params;
    int value = 0;
    int level = 0;  // 0: the library's default
    double interval = 5;
    AlarmOptions ao;
    UdpOptions uo;
};

void AddGlobalOptions(CLI::App& app, CommandLine& c) {
    app.add_option("-H,--host", c.g.host, "management server address (also the default alarm peer)")
        ->envname("OAMCTL_HOST")
        ->capture_default_str();
    app.add_option("-p,--port", c.g.port, "management server TCP port")
        ->envname("OAMCTL_PORT")
        ->capture_default_str()
        ->check(CLI::Range(1u, 65535u));
    app.add_option("-u,--user", c.g.user, "log-in user")->envname("OAMCTL_USER")->capture_default_str();
    app.add_option("-P,--password", c.g.password, "log-in password (default: admin)")->envname("OAMCTL_PASSWORD");
    // A later --host/--port/... wins, so scripts can override a default.
    for (const char* o : {"--host", "--port", "--user", "--password"})
        app.get_option(o)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--no-login", c.g.noLogin, "do not log in before the command");
    app.add_flag("--no-strict-session", c.lenientSession,
                 "accept a reply whose SESSIONID is not the request's (for servers that do not echo it)");
    app.add_option("--timeout-ms", c.g.timeoutMs, "reply time-out in ms (default: the library's 15000)")
        ->check(CLI::Range(1, 3600000));
    app.get_option("--timeout-ms")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--connect-timeout-ms", c.g.connectTimeoutMs, "connect time-out in ms (default: the system's own)")
        ->check(CLI::Range(1, 3600000))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("-q,--quiet", c.g.quiet, "no progress bar for uploads and downloads");
    app.add_flag("--progress", c.g.progress,
                 "show transfer progress even when stderr is no terminal (with --json: JSON lines on stdout)");
    app.add_flag("-v,--verbose", c.g.verbose, "show the library's trace (its log lines) on stderr");
    app.add_flag("--json", c.g.json, "machine-readable output: one JSON document per result");
    app.add_flag("-V,--version", c.version, "show the versions of oamctl and of the library it runs with");
}

// Each command sets c.run when it is the one given. Gives the udp command,
// whose own commands main checks for.
CLI::App* AddCommands(CLI::App& app, CommandLine& c) {
    app.add_subcommand("login", "log in and report the outcome")->callback([&c] { c.run = [&c] { CmdLogin(c.g); }; });
    app.add_subcommand("stations", "list all stations")->callback([&c] { c.run = [&c] { CmdStations(c.g); }; });

    auto* devices = app.add_subcommand("devices", "show a station's devices and PTZ units as a tree");
    devices->add_option("STATION", c.station, "station identifier")->required();
    devices->callback([&c] { c.run = [&c] { CmdDevices(c.g, c.station); }; });

    auto* get = app.add_subcommand("get", "read a named parameter of a station");
    get->add_option("STATION", c.station, "station identifier")->required();
    get->add_option("NAME", c.name, "parameter name")->required();
    get->callback([&c] { c.run = [&c] { CmdGet(c.g, c.station, c.name); }; });

    for (bool control : {false, true}) {
        auto* sc = app.add_subcommand(control ? "control" : "set",
                                      control ? "send a control value to a station" : "set a named parameter of a station");
        sc->add_option("STATION", c.station, "station identifier")->required();
        sc->add_option("NAME", c.name, control ? "control name" : "parameter name")->required();
        sc->add_option("VALUE", c.value, "integer value")->required();
        sc->callback([&c, control] { c.run = [&c, control] { CmdSet(c.g, c.station, c.name, c.value, control); }; });
    }

    auto* upload = app.add_subcommand("upload", "upload a file to a station (packed as a one-entry ZIP)");
    upload->add_option("STATION", c.station, "station identifier")->required();
    upload->add_option("FILE", c.file, "file to upload; its name is what the server stores")->required();
    upload->add_option("-d,--dir", c.dir, "directory that holds FILE (default: FILE's own directory)");
    upload->add_option("--level", c.level, "deflate level, 1 (fastest) to 12 (smallest) (default: the library's 6)")
        ->check(CLI::Range(1, 12));
    upload->callback([&c] { c.run = [&c] { CmdUpload(c.g, c.station, c.file, c.dir, c.level); }; });

    auto* download = app.add_subcommand("download", "download a file from a station");
    download->add_option("STATION", c.station, "station identifier")->required();
    download->add_option("FILE", c.file, "file name on the server")->required();
    download->add_option("-d,--dir", c.dir, "directory to write into (default: the current one)");
    download->callback([&c] { c.run = [&c] { CmdDownload(c.g, c.station, c.file, c.dir); }; });

    auto* send = app.add_subcommand("send", "send any command and show the raw reply");
    send->add_option("STATION", c.station, "station identifier (ignored for Login)")->required();
    send->add_option("CMD", c.command, "command name, e.g. Get")->required();
    send->add_option("PARAMS", c.params, "parameter pairs, e.g. 'Contrast=;'");
    send->callback([&c] { c.run = [&c] { CmdSend(c.g, c.station, c.command, c.params); }; });

    auto* watch = app.add_subcommand("watch", "keep a reconnecting session; print state changes and station-list changes");
    watch->add_option("-i,--interval", c.interval, "seconds between station-list reads")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 86400.0));
    watch->callback([&c] { c.run = [&c] { CmdWatch(c.g, c.interval); }; });

    auto* alarms = app.add_subcommand("alarms", "register with alarm peers and print alarms as they come");
    alarms->add_option("--peer", c.ao.peers, "alarm peer address (repeatable; default: --host)");
    alarms->add_option("--oam-id", c.ao.oamId, "identifier sent in the registration")->capture_default_str();
    alarms->add_option("--listen-port", c.ao.port, "local UDP port (default: any free one)")->check(CLI::Range(0u, 65535u));
    alarms->add_option("-n,--count", c.ao.count, "stop after this many alarms (0: until Ctrl-C)")->capture_default_str();
    alarms->add_option("-t,--wait", c.ao.timeoutSec, "give up after this many seconds")->check(CLI::Range(0.0, 86400.0));
    alarms->add_option("--queue", c.ao.queue, "alarms held while the output is busy; more are dropped and counted")
        ->capture_default_str()
        ->check(CLI::Range(1u, 10000000u));
    alarms->callback([&c] { c.run = [&c] { CmdAlarms(c.g, c.ao); }; });

    auto* udp = app.add_subcommand("udp", "send or receive raw datagrams with the library's UDP socket");
    auto* usend = udp->add_subcommand("send", "send one datagram");
    usend->add_option("HOST", c.uo.host, "destination address")->required();
    usend->add_option("PORT", c.uo.destPort, "destination port")->required()->check(CLI::Range(1u, 65535u));
    usend->add_option("TEXT", c.uo.text, "datagram text")->required();
    usend->add_option("--bind", c.uo.bind, "local address (default: all interfaces)");
    usend->add_option("--listen-port", c.uo.port, "local port (default: any)")->check(CLI::Range(0u, 65535u));
    usend->callback([&c] { c.run = [&c] { CmdUdpSend(c.g, c.uo); }; });
    auto* urecv = udp->add_subcommand("recv", "print datagrams as they come");
    urecv->add_option("--bind", c.uo.bind, "local address (default: all interfaces)");
    urecv->add_option("--listen-port", c.uo.port, "local port (default: any; the port is shown on stderr)")
        ->check(CLI::Range(0u, 65535u));
    urecv->add_option("-n,--count", c.uo.count, "stop after this many datagrams (0: until Ctrl-C)")->capture_default_str();
    urecv->add_option("-t,--wait", c.uo.timeoutSec, "give up after this many seconds")->check(CLI::Range(0.0, 86400.0));
    urecv->callback([&c] { c.run = [&c] { CmdUdpRecv(c.g, c.uo); }; });
    return udp;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"oamctl: talk to an OAM management server and alarm peers through oamsdk"};
    app.footer(kExitCodes);
    // Extras are checked after parsing, to name an unknown command as such.
    app.allow_extras();
    app.fallthrough();

    CommandLine c;
    AddGlobalOptions(app, c);
    CLI::App* udp = AddCommands(app, c);

    ShowGlobalsInSubcommandHelp(app);

    const bool json = JsonRequested(argc, argv);
    try {
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            if (e.get_exit_code() == 0) return app.exit(e);  // --help
            FailUsage(std::string(e.what()) + " (see --help)");
        }
        if (c.version) {
            PrintVersion(json);
            return kExitOk;
        }
        std::vector<std::string> extra = app.remaining();
        if (!extra.empty() && !c.run && extra[0].rfind("-", 0) != 0)
            FailUsage("unknown command '" + Excerpt(extra[0]) + "'; the commands are " + CommandList(app));
        if (!extra.empty()) FailUsage("unexpected argument '" + Excerpt(extra[0]) + "' (see --help)");
        if (!c.run && udp->parsed()) FailUsage("udp needs a command; its commands are " + CommandList(*udp));
        if (!c.run) FailUsage("no command given; the commands are " + CommandList(app));
    } catch (const Failure& f) {
        return Report(f, json);
    }

    c.g.strictSession = !c.lenientSession;
    Trace::Get().Install(c.g.verbose);
    try {
        c.run();
    } catch (const Failure& f) {
        return Report(f, c.g.json);
    } catch (const std::exception& e) {
        return Report(Failure{kExitInternal, std::string("internal error: ") + e.what(), std::nullopt}, c.g.json);
    }
    return kExitOk;
}
