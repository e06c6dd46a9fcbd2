// Shared pieces of the Windows end-to-end test programs: loading the simulator driver
// HALVSIM.sys for the whole program, a fixture that hands each test a fresh population and
// checks afterwards that the driver's process is still alive, and running a helper program.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "sim/sim_core.h"
#include "simctl_client.h"

namespace e2e {

// A path for Win32 calls: a Unix path (as CMake passes build outputs) becomes Wine's Z: form;
// a path that already has a drive letter is kept.
std::string WindowsPath(const std::string& path);

// The driver the program loads and the load-order group it loads it in. Set by Main().
struct Options {
    std::string simDriver;  // HALVSIM.sys
    std::string group;      // empty: the driver gets a winedevice process of its own
};
const Options& GetOptions();

// Parses the arguments that GoogleTest leaves (argv[1]: the HALVSIM.sys path, default beside
// the program), installs the driver for the whole run and runs every test.
int Main(int argc, char** argv, const char* group = "");

// The control device of the loaded driver.
simctl::SimControl& Control();

// A cleared population on the heap.
std::unique_ptr<sim::SimPopulation> EmptyPopulation();

// Each test loads its own population; afterwards the driver must still answer its control
// device (a crash in a driver ends the whole winedevice process).
class SimTest : public ::testing::Test {
  protected:
    void TearDown() override;

    // Loads `pop` into the driver; fails the test when the driver refuses it.
    void Load(const sim::SimPopulation& pop);
    // The driver's population once every handle this program closed has reached the driver:
    // Wine delivers IRP_MJ_CLOSE after CloseHandle has returned, so the counters are read
    // again (for up to two seconds) until each device has as many closes as opens. A handle
    // that is really left open shows as opens > closes after that.
    std::unique_ptr<sim::SimPopulation> ReadBack();
};

// Runs a program to its end (at most `timeoutMs`) and collects its standard output.
struct ChildResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
    std::string output;
};
ChildResult RunProgram(const std::string& commandLine, DWORD timeoutMs);

// "key=value" lines into a map; lines without '=' are kept under "" joined by newlines.
std::map<std::string, std::string> ParseReport(const std::string& text);

}  // namespace e2e
