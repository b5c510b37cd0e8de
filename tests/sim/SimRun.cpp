// Runs one program against a fresh oam-sim, for tests that are no
// GoogleTest programs (the C interface's C program, the Python package's
// pytest run):
//
//   sim_run [oam-sim options] -- PROGRAM [ARGS...]
//
// The program finds the simulator through OAM_SIM_HOST, OAM_SIM_PORT,
// OAM_SIM_STORAGE and, with --alarm-bind A, OAM_SIM_ALARM_PEER; its module
// directory (OAMSDK_MODULE_DIR) is a fresh temporary one. In the program's
// arguments @PORT@ and @ALARM_PEER@ stand for the same. The exit status is
// the program's; on failure the simulator's log follows its output.
#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

#include "SimHarness.h"

namespace {

void Substitute(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

int main(int argc, char** argv) {
    oamtest::SimOptions options;
    int i = 1;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (std::string(argv[i]) == "--alarm-bind" && i + 1 < argc)
            options.alarmBind = argv[++i];
        else
            options.extraArgs.push_back(argv[i]);
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "usage: sim_run [oam-sim options] -- PROGRAM [ARGS...]\n");
        return 2;
    }
    std::string program = argv[i + 1];
    std::vector<std::string> args(argv + i + 2, argv + argc);

    oamtest::SimProcess sim(options);
    std::string error;
    if (!sim.Start(error)) {
        fprintf(stderr, "sim_run: %s\n", error.c_str());
        return 1;
    }
    std::string moduleDir = oamtest::MakeTempDir("oamsim-test");
    std::vector<std::string> env{
        "OAM_SIM_HOST=127.0.0.1",
        "OAM_SIM_PORT=" + std::to_string(sim.Port()),
        "OAM_SIM_STORAGE=" + sim.StorageDir(),
        "OAMSDK_MODULE_DIR=" + moduleDir,
    };
    if (!options.alarmBind.empty()) env.push_back("OAM_SIM_ALARM_PEER=" + options.alarmBind);
    for (std::string& a : args) {
        Substitute(a, "@PORT@", std::to_string(sim.Port()));
        Substitute(a, "@ALARM_PEER@", options.alarmBind);
    }

    oamtest::RunResult r = oamtest::Run(program, args, 240000, env);
    fputs(r.out.c_str(), stdout);
    fputs(r.err.c_str(), stderr);
    std::error_code ec;
    std::filesystem::remove_all(moduleDir, ec);
    if (r.exitCode != 0) {
        fprintf(stderr, "sim_run: %s exited with %d; oam-sim's log:\n%s\n", program.c_str(), r.exitCode,
                sim.Log().c_str());
        return r.exitCode < 0 ? 1 : r.exitCode;
    }
    return 0;
}
