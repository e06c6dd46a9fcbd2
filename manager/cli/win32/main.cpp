// halvctl.exe: the console program over the real adapters' devices, the registry and the
// file system. Everything it decides is in the portable core (manager/cli/core).
#include <windows.h>

#include <string>
#include <vector>

#include "channel/win32_device_access.h"
#include "manager/cli/core/halvctl.h"
#include "manager/core/queued_commands.h"
#include "manager/core/stdio_files.h"
#include "manager/win32/queued_command_registry.h"
#include "product_version.h"

namespace {

class Win32Placement final : public halvctl::FilePlacement {
  public:
    bool Exists(const std::string& path) override {
        return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    bool Move(const std::string& from, const std::string& to, bool replace) override {
        // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists, in one step.
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
        return MoveFileExA(from.c_str(), to.c_str(), flags) != FALSE;
    }
    bool Remove(const std::string& path) override { return DeleteFileA(path.c_str()) != FALSE; }
};

// The computer's DNS host name, as monitoring knows it; "" when it cannot be had.
std::string HostName() {
    char name[256] = "";
    DWORD size = sizeof name;
    // On success `size` is the length without the terminating zero; on failure (a name longer
    // than the buffer) nothing usable is written.
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return "";
    return std::string(name, size);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    channel::Win32DeviceAccess devices;
    channel::Win32SystemVersion version;
    Win32Registry registry;
    halv::RegistryQueuedCommandStore queuedCommands(registry);
    halv::StdioBinaryFiles files;
    Win32Placement placement;
    halvctl::StdioConsole console;
    halvctl::HalvctlPorts ports{
        devices,
        version,
        queuedCommands,
        files,
        placement,
        console,
        {HALV_VERSION_STRING, HostName(), [] { return std::chrono::system_clock::now(); }}};
    return halvctl::Run(args, ports);
}
