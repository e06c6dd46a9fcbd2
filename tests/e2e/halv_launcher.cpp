// Starts HALV.exe against the simulator driver: loads HALVSIM.sys, gives it a population,
// runs HALV.exe and unloads the driver when HALV ends. The run script's way of showing the
// program on simulated adapters.
//
//   halv_launcher <HALVSIM.sys> <population.json> <HALV.exe>
//                 [--select-disk] [--ready-file <path>] [--close-after-ms <n>]
//
// --select-disk     selects the first disk, as a person would
// --ready-file      written once the window shows the tree (and the selection): "ready", then
//                   the window's left, top, width and height on the screen
// --close-after-ms  closes HALV that long after it is ready, instead of waiting for the user
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "halv_gui_driver.h"
#include "sim/population.h"
#include "simctl_client.h"
#include "simctl_public.h"

namespace {

// Wine's Z: form of a Unix path; a path with a drive letter is kept.
std::string WindowsPath(std::string path) {
    if (path.size() >= 2 && path[1] == ':') return path;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "halv_launcher: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: halv_launcher <HALVSIM.sys> <population.json> <HALV.exe> "
                     "[--select-disk] [--ready-file <path>] [--close-after-ms <n>]\n");
        return 2;
    }
    const std::string sysPath = WindowsPath(argv[1]);
    const std::string populationPath = WindowsPath(argv[2]);
    const std::string halvPath = WindowsPath(argv[3]);
    bool selectDisk = false;
    std::string readyFile;
    long closeAfterMs = -1;
    for (int i = 4; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--select-disk")
            selectDisk = true;
        else if (arg == "--ready-file" && i + 1 < argc)
            readyFile = WindowsPath(argv[++i]);
        else if (arg == "--close-after-ms" && i + 1 < argc)
            closeAfterMs = std::strtol(argv[++i], nullptr, 10);
        else
            return Fail("unknown argument " + arg);
    }

    auto population = sim::NewPopulation();
    std::string error;
    if (!sim::LoadPopulationFile(populationPath, *population, &error))
        return Fail(populationPath + ": " + error);

    simctl::LoadedDriver driver;
    if (!driver.Load({simctl::kServiceName, sysPath, ""}, &error)) return Fail(error);
    simctl::SimControl control;
    if (!control.Open() || !control.LoadPopulation(*population))
        return Fail("the simulator driver refused the population (error " +
                    std::to_string(control.last_error()) + ")");

    halvgui::Halv halv;
    if (!halv.Start(halvPath, false, &error)) return Fail(error);
    std::printf("HALV.exe showed its tree %lu ms after it started\n",
                static_cast<unsigned long>(halv.startToTreeMs()));

    if (selectDisk) {
        for (const halvgui::TreeNode& n : halv.Tree()) {
            if (n.depth == 3 && n.image == 3) {
                halv.Select(n.item);
                SetForegroundWindow(halv.main());
                SetFocus(halv.tree());
                std::printf("selected %s\n", n.text.c_str());
                break;
            }
        }
    }
    std::fflush(stdout);

    if (!readyFile.empty()) {
        RECT r{};
        GetWindowRect(halv.main(), &r);
        // Written whole under another name first: the script waits for this name to appear.
        const std::string partial = readyFile + ".part";
        if (FILE* f = std::fopen(partial.c_str(), "w")) {
            std::fprintf(f, "ready %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left,
                         r.bottom - r.top);
            std::fclose(f);
            MoveFileExA(partial.c_str(), readyFile.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    }

    if (closeAfterMs >= 0) {
        Sleep(static_cast<DWORD>(closeAfterMs));
        PostMessageA(halv.main(), WM_CLOSE, 0, 0);
        if (!halv.WaitForExit(20000)) return Fail("HALV.exe did not close");
    } else {
        halv.WaitForExit(INFINITE);
    }
    return 0;
}
