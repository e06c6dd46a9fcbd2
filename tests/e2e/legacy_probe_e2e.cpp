// Helper program of discovery_e2e: runs the manager's discovery through the real Win32 device
// layer and prints what it found. discovery_e2e starts it with Wine's per-program Version
// setting at win98, so that GetVersionExA reports Windows 9x and discovery takes the
// \\.\KIRNDEV path. Output: "key=value" lines, then the tree, one item per line.
#include <cstdio>
#include <string>

#include "channel/miniport_channel.h"
#include "channel/win32_device_access.h"
#include "manager/core/discovery.h"
#include "support/fake_ui.h"

int main() {
    channel::Win32DeviceAccess io;
    channel::Win32SystemVersion version;
    channel::MiniportChannel channel(io);
    halv::testing::FakeTree tree;
    halv::UnreadableQueuedCommandStore store;
    halv::ManagerTables tables;
    int menuUpdates = 0;
    halv::DiscoveryPorts ports{channel, version, tree, store, [&](uint8_t) { ++menuUpdates; }};
    halv::EnumerateAdapters(tables, ports);

    std::printf("platform=%u\n", static_cast<unsigned>(version.PlatformId()));
    std::printf("legacy=%d\n", channel.LegacyPlatform() ? 1 : 0);
    std::printf("menu_updates=%d\n", menuUpdates);
    std::printf("driver_version=%s\n", tables.DriverVersionText);
    for (int a = 0; a < halv::kMaxAdapters; ++a) {
        const halv::ControllerEntry& e = tables.ControllerEntries[a];
        std::printf("adapter%d=%s|%s|%s\n", a, e.Item ? "item" : "none", e.DevicePath,
                    e.Item ? tree.node(e.Item).text.c_str() : "");
    }
    std::printf("root_expanded=%d\n", tree.Root() && tree.node(tree.Root()).expanded ? 1 : 0);
    std::fputs(tree.Dump().c_str(), stdout);
    std::fflush(stdout);
    return 0;
}
