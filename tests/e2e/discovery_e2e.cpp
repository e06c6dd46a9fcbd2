// End to end: the manager's probe and discovery through the real Win32 device layer
// (CreateFileA/DeviceIoControl on \\.\ScsiN: and \\.\KIRNDEV), answered by the simulator
// driver HALVSIM.sys in Wine's winedevice. Each test loads a population, runs discovery,
// checks the tables and tree, and checks from the driver's counters which devices were opened
// and which requests reached them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "channel/miniport_channel.h"
#include "channel/win32_device_access.h"
#include "e2e_support.h"
#include "manager/core/discovery.h"
#include "sim/population.h"
#include "support/default_population.h"
#include "support/fake_ui.h"

namespace {

using namespace channel;
using sim::SimCounters;

// The requests that reached one device, per command, as the driver counted them.
uint32_t Sent(const SimCounters& c, uint32_t command) {
    return c.byCommand[sim::CommandIndex(command)];
}

// Discovery as the manager runs it at start, over the real device layer.
struct Discovery {
    Win32DeviceAccess io;
    Win32SystemVersion version;
    MiniportChannel channel{io};
    halv::testing::FakeTree tree;
    halv::UnreadableQueuedCommandStore store;
    halv::ManagerTables tables;
    int menuUpdates = 0;

    void Run() {
        halv::DiscoveryPorts ports{channel, version, tree, store,
                                   [this](uint8_t) { ++menuUpdates; }};
        halv::EnumerateAdapters(tables, ports);
    }
    std::string Field(int a, int p, int d, wire::Field f) {
        return halv::FieldText(tables.DeviceInfo(a, p, d), f);
    }
};

class DiscoveryE2E : public e2e::SimTest {
  protected:
    std::unique_ptr<sim::SimPopulation> DefaultPopulation() {
        auto pop = e2e::EmptyPopulation();
        std::string error;
        EXPECT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
        return pop;
    }

    // Every handle that discovery opened on a device, it closed again.
    static void ExpectBalanced(const sim::SimPopulation& pop) {
        for (int i = 0; i < sim::kPositions; ++i)
            EXPECT_EQ(pop.adapters[i].counters.opens, pop.adapters[i].counters.closes)
                << "\\\\.\\Scsi" << i << ": left open";
        EXPECT_EQ(pop.legacyCounters.opens, pop.legacyCounters.closes)
            << "\\\\.\\KIRNDEV left open";
    }
};

// The default population: another vendor's adapter at Scsi0:, ours at Scsi1: and Scsi2:.
TEST_F(DiscoveryE2E, DefaultPopulationFillsTablesAndTree) {
    Load(*DefaultPopulation());
    Discovery run;
    ASSERT_EQ(run.version.PlatformId(), 2u) << "Wine should report the NT family by default";
    run.Run();

    EXPECT_EQ(run.tree.Dump(),
              halv::testing::kDefaultPopulationTree);
    EXPECT_TRUE(run.tree.node(run.tree.Root()).expanded);
    EXPECT_EQ(run.menuUpdates, 1);

    const halv::ManagerTables& t = run.tables;
    EXPECT_STREQ(t.ControllerEntries[0].DevicePath, "\\\\.\\Scsi1:");
    EXPECT_STREQ(t.ControllerEntries[1].DevicePath, "\\\\.\\Scsi2:");
    EXPECT_EQ(t.ControllerEntries[2].Item, halv::kNoItem);
    EXPECT_STREQ(t.DriverVersionText, "1.0.0.21");
    EXPECT_STREQ(t.ControllerEntries[1].DriverVersion, "1.0.0.21");
    EXPECT_EQ(t.ControllerNames[0], "");
    EXPECT_EQ(t.ControllerNames[1], "Velo150 Quad Rack");

    EXPECT_EQ(run.tables.ControllerInfo(0).U32(controller_info::PciDeviceId.offset), 0x6A31u);
    EXPECT_EQ(run.tables.ControllerInfo(1).U32(controller_info::PciDeviceId.offset), 0x6A22u);
    EXPECT_EQ(run.tables.ControllerInfo(1).U8(controller_info::Controller.offset), 1u);
    EXPECT_EQ(run.tables.ControllerInfo(1).U16(controller_info::PortCount.offset), 4u);

    // A device's record arrives whole through the device layer.
    EXPECT_EQ(run.Field(1, 1, 1, device_info::SerialNumber), "KD5001B9987");
    EXPECT_EQ(run.Field(1, 1, 1, device_info::FirmwareVersion), "4.ADA");
    EXPECT_EQ(run.tables.DeviceInfo(1, 1, 1).U32(device_info::CapacitySectors.offset), 976773168u);
    EXPECT_EQ(run.tables.DeviceInfo(0, 0, 0).U8(device_info::UdmaMode.offset), 6u);

    const auto& dev = t.DeviceEntries;
    EXPECT_EQ(dev[0][2][0].IsPacket, 1);
    EXPECT_EQ(dev[0][0][0].SmartFlags, halv::kSmartSupported | halv::kSmartEnabled);
    EXPECT_EQ(dev[0][2][0].SmartFlags, 0);                      // not supported
    EXPECT_EQ(dev[1][0][0].SmartFlags, halv::kSmartSupported);  // supported, not enabled
    EXPECT_EQ(dev[0][0][0].HasEnclosure, 1);
    EXPECT_EQ(dev[0][2][0].HasEnclosure, 0);
    EXPECT_EQ(dev[1][1][0].HasEnclosure, 1);  // an enclosure of another model is still one

    auto pop = ReadBack();
    ExpectBalanced(*pop);
    // Another vendor's adapter: opened once by the probe, its request refused and not counted
    // as an accepted command.
    const SimCounters& foreign = pop->adapters[0].counters;
    EXPECT_EQ(foreign.opens, 1u);
    EXPECT_EQ(foreign.requests, 1u);
    for (uint32_t n : foreign.byCommand) EXPECT_EQ(n, 0u);

    // One open for the probe, one for all of the adapter's discovery requests, and one per
    // present device for the enclosure query.
    const SimCounters& first = pop->adapters[1].counters;
    EXPECT_EQ(first.opens, 1u + 1u + 3u);
    EXPECT_EQ(Sent(first, MPCMD_GET_ADAPTER_COUNT), 1u);
    EXPECT_EQ(Sent(first, MPCMD_GET_DRIVER_VERSION), 1u);
    EXPECT_EQ(Sent(first, MPCMD_GET_CONTROLLER_INFO), 1u);
    EXPECT_EQ(Sent(first, MPCMD_GET_CONTROLLER_NAME), 1u);
    EXPECT_EQ(Sent(first, MPCMD_GET_DEVICE_INFO), 4u * 2u);
    EXPECT_EQ(Sent(first, MPCMD_GET_SMART_STATUS), 3u);
    EXPECT_EQ(Sent(first, MPCMD_GET_ENCLOSURE_STATUS), 3u);
    EXPECT_EQ(first.requests, 18u);

    const SimCounters& second = pop->adapters[2].counters;
    EXPECT_EQ(second.opens, 1u + 1u + 4u);
    EXPECT_EQ(Sent(second, MPCMD_GET_DRIVER_VERSION), 0u) << "asked of the first adapter only";
    EXPECT_EQ(Sent(second, MPCMD_GET_DEVICE_INFO), 4u * 2u);
    EXPECT_EQ(Sent(second, MPCMD_GET_SMART_STATUS), 4u);
    EXPECT_EQ(second.requests, 19u);

    for (int i = 3; i < sim::kPositions; ++i) EXPECT_EQ(pop->adapters[i].counters.opens, 0u);
    EXPECT_EQ(pop->legacyCounters.opens + pop->legacyCounters.failedOpens, 0u);
}

TEST_F(DiscoveryE2E, AdapterAtScsi3AloneBecomesAdapterZero) {
    auto pop = e2e::EmptyPopulation();
    sim::SimAdapter& a = sim::AddAdapter(*pop, 3, 0x6A11, 2, 1);
    sim::AddDisk(a, 0, 0, "KESTREL KD80S");
    Load(*pop);

    Discovery run;
    run.Run();
    EXPECT_EQ(run.tree.Dump(),
              "Torvale HBA List [0]\n"
              "  Velo150 Onboard [1]\n"
              "    Port-1 [2]\n"
              "      KESTREL KD80S [3]\n"
              "    Port-2 [2]\n");
    EXPECT_STREQ(run.tables.ControllerEntries[0].DevicePath, "\\\\.\\Scsi3:");
    EXPECT_EQ(run.tables.ControllerEntries[0].Controller, 0);
    EXPECT_EQ(run.tables.ControllerEntries[1].Item, halv::kNoItem);
    EXPECT_STREQ(run.tables.DriverVersionText, "1.0.0.21");

    auto back = ReadBack();
    ExpectBalanced(*back);
    const SimCounters& c = back->adapters[3].counters;
    EXPECT_EQ(c.opens, 3u);
    EXPECT_EQ(Sent(c, MPCMD_GET_CONTROLLER_INFO), 1u);
    EXPECT_EQ(Sent(c, MPCMD_GET_DEVICE_INFO), 2u);
}

TEST_F(DiscoveryE2E, ForeignAdapterIsOpenedButNotCounted) {
    auto pop = e2e::EmptyPopulation();
    sim::AddAdapter(*pop, 2, 0x2922, 4, 1).foreign = 1;
    Load(*pop);

    Discovery run;
    run.Run();
    EXPECT_EQ(run.tree.Dump(), "Torvale HBA List [0]\n");
    EXPECT_FALSE(run.tree.node(run.tree.Root()).expanded);
    EXPECT_EQ(run.menuUpdates, 0);
    EXPECT_STREQ(run.tables.ControllerEntries[0].DevicePath, "");
    EXPECT_EQ(run.channel.AdapterName(0), std::string());

    auto back = ReadBack();
    const SimCounters& c = back->adapters[2].counters;
    EXPECT_EQ(c.opens, 1u);
    EXPECT_EQ(c.closes, 1u);
    EXPECT_EQ(c.requests, 1u);
}

TEST_F(DiscoveryE2E, NoAdapterLeavesOnlyTheRoot) {
    Load(*e2e::EmptyPopulation());

    // No SCSI port name exists at all: the open itself fails with "file not found".
    SetLastError(0xdeadf00d);
    HANDLE h = CreateFileA("\\\\.\\Scsi0:", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);

    Discovery run;
    run.Run();
    EXPECT_EQ(run.tree.Dump(), "Torvale HBA List [0]\n");
    EXPECT_FALSE(run.tree.node(run.tree.Root()).expanded);
    EXPECT_EQ(run.menuUpdates, 0);
    for (const auto& e : run.tables.ControllerEntries) EXPECT_EQ(e.Item, halv::kNoItem);
}

// An adapter whose controller record comes back with a wrong ReturnCode is left out of the
// tree; the next adapter keeps its own number.
TEST_F(DiscoveryE2E, AdapterWithWrongControllerInfoReplyIsLeftOut) {
    auto pop = DefaultPopulation();
    sim::InjectFault(pop->adapters[1], MPCMD_GET_CONTROLLER_INFO, sim::kFaultReturnCodeOff, 1);
    Load(*pop);

    Discovery run;
    run.Run();
    EXPECT_EQ(run.tables.ControllerEntries[0].Item, halv::kNoItem);
    ASSERT_NE(run.tables.ControllerEntries[1].Item, halv::kNoItem);
    EXPECT_EQ(run.tree.node(run.tables.ControllerEntries[1].Item).text, "Velo150 Quad Rack");
    EXPECT_EQ(run.tree.children(run.tree.Root()).size(), 1u);
    ExpectBalanced(*ReadBack());
}

// A device whose adapter-count request fails the call is not an adapter, like another
// vendor's; the fault is set through the control device while the population stays loaded.
TEST_F(DiscoveryE2E, FailedCountRequestSkipsTheDevice) {
    Load(*DefaultPopulation());
    ASSERT_TRUE(e2e::Control().SetFault(1, MPCMD_GET_ADAPTER_COUNT, sim::kFaultCallFails));

    Discovery run;
    run.Run();
    EXPECT_STREQ(run.tables.ControllerEntries[0].DevicePath, "\\\\.\\Scsi2:");
    EXPECT_STREQ(run.tables.ControllerEntries[1].DevicePath, "");
    // The driver version comes from the first device that answered the probe.
    auto back = ReadBack();
    EXPECT_EQ(Sent(back->adapters[2].counters, MPCMD_GET_DRIVER_VERSION), 1u);
    EXPECT_EQ(Sent(back->adapters[1].counters, MPCMD_GET_CONTROLLER_INFO), 0u);
}

// Windows 9x: the helper program runs with Wine's per-program Version set to win98, so its
// GetVersionExA reports platform 1 and every request goes to \\.\KIRNDEV.
TEST_F(DiscoveryE2E, Windows9xDiscoveryGoesThroughKirndev) {
    auto pop = DefaultPopulation();
    pop->legacyDevice = 1;
    Load(*pop);

    const char kProgram[] = "legacy_probe_e2e.exe";
    const std::string key = std::string("Software\\Wine\\AppDefaults\\") + kProgram;
    HKEY hkey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &hkey, nullptr),
              ERROR_SUCCESS);
    const char kWin98[] = "win98";
    const LONG set = RegSetValueExA(hkey, "Version", 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(kWin98), sizeof kWin98);
    RegCloseKey(hkey);
    ASSERT_EQ(set, ERROR_SUCCESS);

    std::string command = "\"";
    command.append(simctl::ProgramDirectory()).append(kProgram).append("\"");
    const e2e::ChildResult child = e2e::RunProgram(command, 60000);
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    ASSERT_TRUE(child.started) << command;
    ASSERT_TRUE(child.finished) << "timed out; output so far:\n" << child.output;
    ASSERT_EQ(child.exitCode, 0u) << child.output;

    auto report = e2e::ParseReport(child.output);
    ASSERT_EQ(report["platform"], "1") << child.output;
    EXPECT_EQ(report["legacy"], "1");
    EXPECT_EQ(report["menu_updates"], "1");
    EXPECT_EQ(report["driver_version"], "1.0.0.21");
    // Adapters 0 and 1, both reached through \\.\KIRNDEV: no device path is recorded.
    EXPECT_EQ(report["adapter0"], "item||Velo300 Duo Plus");
    EXPECT_EQ(report["adapter1"].substr(0, 6), "item||") << report["adapter1"];
    EXPECT_EQ(report["adapter2"], "none||");

    auto back = ReadBack();
    ExpectBalanced(*back);
    for (int i = 0; i < sim::kPositions; ++i)
        EXPECT_EQ(back->adapters[i].counters.opens, 0u)
            << "\\\\.\\Scsi" << i << ": opened in 9x mode";
    const SimCounters& k = back->legacyCounters;
    // One open for the probe, one per adapter, one per present device (3 + 4) for enclosures.
    EXPECT_EQ(k.opens, 1u + 2u + 7u);
    EXPECT_EQ(Sent(k, MPCMD_GET_ADAPTER_COUNT), 1u);
    EXPECT_EQ(Sent(k, MPCMD_GET_DRIVER_VERSION), 1u);
    EXPECT_EQ(Sent(k, MPCMD_GET_CONTROLLER_INFO), 2u);
    EXPECT_EQ(Sent(k, MPCMD_GET_DEVICE_INFO), 2u * 4u * 2u);
}

}  // namespace

int main(int argc, char** argv) {
    return e2e::Main(argc, argv);
}
