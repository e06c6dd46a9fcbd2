// Runs the manager's discovery against a simulated population and prints the adapter tree
// and the tables behind it. Usage: halv-tree [population.json]
#include <cstdio>
#include <string>

#include "manager/core/discovery.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"
#include "support/fake_ui.h"

int main(int argc, char** argv) {
    auto pop = sim::NewPopulation();
    std::string error;
    const bool loaded = argc > 1
                            ? sim::LoadPopulationFile(argv[1], *pop, &error)
                            : sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error);
    if (!loaded) {
        std::fprintf(stderr, "halv-tree: %s\n", error.c_str());
        return 2;
    }
    sim::SimDeviceAccess io(*pop);
    channel::MiniportChannel channel(io);
    sim::FixedSystemVersion nt(2);
    halv::testing::FakeTree tree;
    halv::UnreadableQueuedCommandStore store;
    halv::ManagerTables tables;
    halv::DiscoveryPorts ports{channel, nt, tree, store, {}};
    halv::EnumerateAdapters(tables, ports);

    std::fputs(tree.Dump().c_str(), stdout);
    std::printf("\nDriver version: %s\n", tables.DriverVersionText);
    for (int a = 0; a < halv::kMaxAdapters; ++a) {
        const halv::ControllerEntry& e = tables.ControllerEntries[a];
        if (e.Item == halv::kNoItem) continue;
        std::printf("Adapter %d at %s  BIOS %s\n", a, e.DevicePath,
                    channel.ReadBiosVersion(static_cast<uint8_t>(a)).c_str());
        for (int p = 0; p < halv::kMaxPorts; ++p)
            for (int d = 0; d < halv::kMaxDevicesPerPort; ++d) {
                const halv::DeviceEntry& dev = tables.DeviceEntries[a][p][d];
                if (dev.Item == halv::kNoItem) continue;
                wire::ByteView rec = tables.DeviceInfo(a, p, d);
                std::printf("  port %d device %d: %-22s serial %-12s %s%s%s\n", p, d,
                            halv::FieldText(rec, channel::device_info::ModelName).c_str(),
                            halv::FieldText(rec, channel::device_info::SerialNumber).c_str(),
                            dev.IsPacket ? "optical" : "disk",
                            dev.SmartFlags & halv::kSmartEnabled ? ", S.M.A.R.T. on" : "",
                            dev.HasEnclosure ? ", in an enclosure" : "");
            }
    }
    return 0;
}
