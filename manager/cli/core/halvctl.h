// halvctl: HALV's adapters from a console. The same discovery, tables, rows, texts and checks
// as the window, printed as text or JSON, with exit codes that scripts and monitoring read.
// Everything here is portable; the programs supply the platform through HalvctlPorts.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/device_access.h"
#include "manager/core/bios_commands.h"
#include "manager/core/ui.h"

namespace halvctl {

// Exit codes of every command but health.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // a request, a file, an image check or the registry
inline constexpr int kExitRefused = 2;  // the command line: usage, address, mode, --yes, --force

// Exit codes of health, as monitoring plug-ins report them.
inline constexpr int kHealthOk = 0;          // every device Functional or without S.M.A.R.T.
inline constexpr int kHealthPredictive = 1;  // a device reports "Predictive Error"
inline constexpr int kHealthUnreadable = 2;  // a port, adapter, device or enclosure is unknown
inline constexpr int kHealthNoAdapter = 3;   // no adapter found; also a refused command line

// The version of the JSON document's layout (docs/halvctl.schema.json).
inline constexpr int kSchemaVersion = 2;

// Where the program writes: standard output and standard error.
class Console {
  public:
    virtual ~Console() = default;
    virtual void Out(std::string_view text) = 0;
    virtual void Err(std::string_view text) = 0;
};

// Console over the C library's stdout and stderr; the same on Windows and Linux.
class StdioConsole final : public Console {
  public:
    void Out(std::string_view text) override;
    void Err(std::string_view text) override;
};

// What a BIOS backup needs of the file system beyond reading and writing files: a backup is
// written beside its target and moved onto it only once it is whole, so that a failed read
// never leaves an empty or half file, and an existing file is replaced only when asked.
class FilePlacement {
  public:
    virtual ~FilePlacement() = default;
    virtual bool Exists(const std::string& path) = 0;
    // Moves `from` to `to`. Without `replace`, fails when `to` exists (and leaves it alone).
    virtual bool Move(const std::string& from, const std::string& to, bool replace) = 0;
    virtual bool Remove(const std::string& path) = 0;
};

// What the program says about itself and where it runs, for --version and the JSON document.
struct ToolFacts {
    std::string version;  // the product version of this build
    std::string host;     // the computer's name; "" when it cannot be had
    // The clock a document's collection time is read from (the system's; UTC).
    std::function<std::chrono::system_clock::time_point()> now;
};

struct HalvctlPorts {
    channel::DeviceAccess& devices;
    const channel::SystemVersion& version;
    halv::QueuedCommandStore& queuedCommands;
    halv::BinaryFiles& files;
    FilePlacement& placement;
    Console& console;
    ToolFacts facts = {};
};

// Runs one command line (the arguments after the program name) and returns its exit code.
int Run(const std::vector<std::string>& args, HalvctlPorts& ports);

}  // namespace halvctl
