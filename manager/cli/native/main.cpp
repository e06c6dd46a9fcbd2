// halvctl on Linux, over the adapter simulator in-process: the same commands and output as
// halvctl.exe, against a population file, so that the text and JSON can be tried anywhere.
//
//   halvctl [--population FILE] COMMAND ...      (default: the simulator's default population)
//
// The population is loaded afresh for every run: what a run writes (the flash, TAG_CMD, a
// transfer mode) lasts only for that run. TAG_CMD starts "off".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "manager/cli/core/halvctl.h"
#include "manager/core/queued_commands.h"
#include "manager/core/stdio_files.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace {

class PosixPlacement final : public halvctl::FilePlacement {
  public:
    bool Exists(const std::string& path) override {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    bool Move(const std::string& from, const std::string& to, bool replace) override {
        if (replace) return rename(from.c_str(), to.c_str()) == 0;
        // A hard link fails when `to` exists: no window in which another file is overwritten.
        if (link(from.c_str(), to.c_str()) != 0) return false;
        unlink(from.c_str());
        return true;
    }
    bool Remove(const std::string& path) override { return unlink(path.c_str()) == 0; }
};

// The miniport's registry key, present, in memory.
class MemoryRegistry final : public halv::Registry {
  public:
    std::unique_ptr<halv::RegistryKey> OpenLocalMachineKey(const char* path) override {
        if (std::strcmp(path, halv::kQueuedCommandKey) != 0) return nullptr;
        return std::make_unique<Key>(values_);
    }

  private:
    class Key final : public halv::RegistryKey {
      public:
        explicit Key(std::map<std::string, uint32_t>& values) : values_(values) {}
        bool QueryValue(const char* name, uint8_t* data, size_t& size) override {
            const auto it = values_.find(name);
            if (it == values_.end() || size < 4) return false;
            for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(it->second >> (8 * i));
            size = 4;
            return true;
        }
        bool SetDwordValue(const char* name, uint32_t value) override {
            values_[name] = value;
            return true;
        }

      private:
        std::map<std::string, uint32_t>& values_;
    };
    std::map<std::string, uint32_t> values_{{halv::kQueuedCommandValue, 0}};
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string population;
    if (args.size() >= 2 && args[0] == "--population") {
        population = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    auto pop = sim::NewPopulation();
    std::string error;
    const bool loaded = population.empty()
                            ? sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)
                            : sim::LoadPopulationFile(population, *pop, &error);
    if (!loaded) {
        std::fprintf(stderr, "halvctl: population %s: %s\n",
                     population.empty() ? "(default)" : population.c_str(), error.c_str());
        return 2;
    }
    sim::SimDeviceAccess devices(*pop);
    sim::FixedSystemVersion nt(2);
    MemoryRegistry registry;
    halv::RegistryQueuedCommandStore queuedCommands(registry);
    halv::StdioBinaryFiles files;
    PosixPlacement placement;
    halvctl::StdioConsole console;
    char host[256] = "";
    // gethostname may leave the name unterminated when it is cut; the last byte stays zero.
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    halvctl::HalvctlPorts ports{
        devices,
        nt,
        queuedCommands,
        files,
        placement,
        console,
        {HALVCTL_VERSION, host, [] { return std::chrono::system_clock::now(); }}};
    return halvctl::Run(args, ports);
}
