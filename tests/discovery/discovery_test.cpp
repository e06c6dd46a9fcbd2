// Discovery against simulated populations: the tables, the tree, and how many times the
// adapters' devices are opened and asked.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "manager/core/discovery.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"
#include "support/default_population.h"
#include "support/fake_ui.h"

namespace {

using namespace halv;
using halv::testing::FakeTree;
using halv::testing::FixedQueuedCommandStore;

struct Discovery : ::testing::Test {
    void Run(uint32_t platform = 2) {
        sim::FixedSystemVersion version(platform);
        DiscoveryPorts ports{channel, version, tree, store,
                             [this](uint8_t setting) { menuUpdates.push_back(setting); }};
        EnumerateAdapters(tables, ports);
        EXPECT_EQ(io.OpenHandles(), 0u) << "a device was left open";
    }
    sim::SimAdapter& Adapter(int position) { return pop->adapters[position]; }

    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimDeviceAccess io{*pop};
    channel::MiniportChannel channel{io};
    FakeTree tree;
    FixedQueuedCommandStore store{1};
    std::vector<uint8_t> menuUpdates;
    ManagerTables tables;
};

TEST_F(Discovery, DefaultPopulationBuildsTheTree) {
    std::string error;
    ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
    Run();
    EXPECT_EQ(tree.Dump(), halv::testing::kDefaultPopulationTree);
    EXPECT_TRUE(tree.node(tables.RootItem).expanded);
    EXPECT_STREQ(tables.ControllerEntries[0].DevicePath, "\\\\.\\Scsi1:");
    EXPECT_STREQ(tables.ControllerEntries[1].DevicePath, "\\\\.\\Scsi2:");
    EXPECT_STREQ(tables.DriverVersionText, "1.0.0.21");
    EXPECT_STREQ(tables.ControllerEntries[1].DriverVersion, "1.0.0.21");
    EXPECT_EQ(tables.ControllerNames[1], "Velo150 Quad Rack");
    EXPECT_EQ(tables.ControllerNames[0], "");

    const DeviceEntry& optical = tables.DeviceEntries[0][2][0];
    EXPECT_EQ(optical.IsPacket, 1);
    EXPECT_EQ(tree.node(optical.Item).image, kImagePacket);
    EXPECT_EQ(optical.SmartFlags, 0);  // not supported
    EXPECT_EQ(tables.DeviceEntries[0][0][0].SmartFlags, kSmartSupported | kSmartEnabled);
    EXPECT_EQ(tables.DeviceEntries[0][1][0].SmartFlags, kSmartSupported | kSmartEnabled);
    EXPECT_EQ(tables.DeviceEntries[1][0][0].SmartFlags, kSmartSupported);  // not enabled
    EXPECT_EQ(tables.DeviceEntries[0][0][0].HasEnclosure, 1);
    EXPECT_EQ(tables.DeviceEntries[1][1][1].HasEnclosure, 1);  // another model still counts
    EXPECT_EQ(tables.DeviceEntries[1][3][0].HasEnclosure, 0);
    EXPECT_EQ(tables.DeviceEntries[1][1][1].Port, 1);
    EXPECT_EQ(tables.DeviceEntries[1][1][1].Device, 1);
    EXPECT_EQ(tables.DeviceEntries[1][3][0].Controller, 1);
    EXPECT_EQ(tables.PortItems[1][2], tree.children(tables.ControllerEntries[1].Item)[2]);
    EXPECT_EQ(menuUpdates, std::vector<uint8_t>{1});
    EXPECT_EQ(store.requests, std::vector<uint8_t>{6});

    // The stored records are the replies, field for field.
    wire::ByteView rec = tables.DeviceInfo(0, 0, 0);
    EXPECT_EQ(FieldText(rec, channel::device_info::SerialNumber), "KD1604A7731");
    EXPECT_EQ(rec.U32(channel::device_info::CapacitySectors.offset), 312581808u);
    EXPECT_EQ(tables.ControllerInfo(1).U32(channel::controller_info::PciDeviceId.offset), 0x6A22u);
}

TEST_F(Discovery, EachAdapterIsOpenedOnceAndOncePerDeviceForItsEnclosure) {
    ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, nullptr));
    Run();
    const sim::SimCounters& first = Adapter(1).counters;
    // Probe, discovery, and one enclosure query for each of its three devices.
    EXPECT_EQ(first.opens, 1u + 1u + 3u);
    EXPECT_EQ(first.closes, first.opens);
    // Count and driver version in the probe; info, name, 4 x 2 device slots, 3 S.M.A.R.T.
    // and 3 enclosure requests.
    EXPECT_EQ(first.requests, 2u + 1u + 1u + 8u + 3u + 3u);
    const sim::SimCounters& second = Adapter(2).counters;
    EXPECT_EQ(second.opens, 1u + 1u + 4u);
    EXPECT_EQ(second.requests, 1u + 1u + 1u + 8u + 4u + 4u);  // no driver version: asked once
    EXPECT_EQ(Adapter(0).counters.opens, 1u);                 // the foreign adapter: probe only
}

TEST_F(Discovery, NoAdapterLeavesOnlyTheRootUnexpandedAndTheMenuAlone) {
    Run();
    EXPECT_EQ(tree.Dump(), "Torvale HBA List [0]\n");
    EXPECT_FALSE(tree.node(tables.RootItem).expanded);
    EXPECT_TRUE(menuUpdates.empty());
    EXPECT_TRUE(store.requests.empty());
    Run(3);  // an unknown platform has no adapters either
    EXPECT_EQ(tree.size(), 1u);
}

TEST_F(Discovery, AdaptersAtScsi1AndScsi4KeepTheirNames) {
    sim::AddAdapter(*pop, 1, 0x6A31, 1, 1);
    sim::AddAdapter(*pop, 4, 0x9999, 1, 1, "My Own Name");
    Run();
    EXPECT_STREQ(tables.ControllerEntries[0].DevicePath, "\\\\.\\Scsi1:");
    EXPECT_STREQ(tables.ControllerEntries[1].DevicePath, "\\\\.\\Scsi4:");
    EXPECT_EQ(tables.ControllerEntries[1].Controller, 1);
    EXPECT_EQ(tree.node(tables.ControllerEntries[0].Item).text, "Velo300 Duo Plus");
    EXPECT_EQ(tree.node(tables.ControllerEntries[1].Item).text, "My Own Name");
}

TEST_F(Discovery, LabelsComeFromTheNameOrThePciId) {
    const std::pair<uint32_t, const char*> kModels[] = {
        {0x6A11, "Velo150 Onboard"},  {0x6A12, "Velo300 Onboard"},
        {0x6A21, "Velo300 Quad"},     {0x6A22, "Velo150 Quad"},
        {0x6A31, "Velo300 Duo Plus"}, {0x6A32, "Velo150 Duo Plus"},
        {0x16A31, "Unknow"},          {0, "Unknow"}};
    for (const auto& [id, text] : kModels) EXPECT_EQ(ModelNameFor(tables, id, 0), text) << id;
    tables.ControllerNames[2] = "Named";
    EXPECT_EQ(ModelNameFor(tables, 0x6A31, 2), "Named");
    EXPECT_EQ(ModelNameFor(tables, 0x6A31, 200), "Velo300 Duo Plus");  // no such adapter
    EXPECT_EQ(PortLabel(0), "Port-1");
    EXPECT_EQ(PortLabel(3), "Port-4");
    EXPECT_EQ(PortLabel(4), "Port-?");
    EXPECT_EQ(PortLabel(255), "Port-?");
}

TEST_F(Discovery, FailedRequestsLeaveGapsButKeepNumbers) {
    sim::SimAdapter& a = sim::AddAdapter(*pop, 0, 0x6A11, 1, 1);
    sim::InjectFault(a, channel::MPCMD_GET_CONTROLLER_INFO, sim::kFaultReturnCodeOff, 3);
    sim::InjectFault(a, channel::MPCMD_GET_DRIVER_VERSION, sim::kFaultCallFails);
    sim::SimAdapter& b = sim::AddAdapter(*pop, 1, 0x6A12, 2, 2, "Named");
    sim::AddDisk(b, 0, 0, "KEPT");
    sim::AddDisk(b, 0, 1, "LOST");
    sim::AddDisk(b, 1, 0, "NOSMART");
    sim::InjectFault(b, channel::MPCMD_GET_CONTROLLER_NAME, sim::kFaultCallFails);
    sim::InjectFault(b, channel::MPCMD_GET_SMART_STATUS, sim::kFaultReturnCodeOff, 1);
    Run();
    EXPECT_EQ(tables.DeviceEntries[1][1][0].SmartFlags, 0);
    EXPECT_EQ(tables.ControllerEntries[0].Item, kNoItem);
    ASSERT_NE(tables.ControllerEntries[1].Item, kNoItem);
    // The name request failed: the label comes from the PCI id.
    EXPECT_EQ(tree.node(tables.ControllerEntries[1].Item).text, "Velo300 Onboard");
    // The driver version failed on the first adapter and is not asked again.
    EXPECT_STREQ(tables.DriverVersionText, "Temporarily Unknown");
    EXPECT_STREQ(tables.ControllerEntries[1].DriverVersion, "Temporarily Unknown");
    EXPECT_EQ(b.counters.byCommand[sim::CommandIndex(channel::MPCMD_GET_DRIVER_VERSION)], 0u);
    EXPECT_NE(tables.DeviceEntries[1][0][1].Item, kNoItem);

    // Now every device-info reply is off.
    sim::InjectFault(b, channel::MPCMD_GET_DEVICE_INFO, sim::kFaultReturnCodeOff, -78);
    Run();
    EXPECT_EQ(tables.DeviceEntries[1][0][0].Item, kNoItem);
    EXPECT_EQ(tree.node(tables.ControllerEntries[1].Item).children.size(), 2u);  // the ports
}

TEST_F(Discovery, RefreshForgetsARemovedDevice) {
    sim::SimAdapter& a = sim::AddAdapter(*pop, 0, 0x6A21, 1, 2);
    sim::AddDisk(a, 0, 0, "STAYS");
    sim::AddDisk(a, 0, 1, "GOES");
    sim::AddEnclosure(a, 0, 1);
    Run();
    const TreeItem gone = tables.DeviceEntries[0][0][1].Item;
    ASSERT_NE(gone, kNoItem);
    a.devices[0][1].present = 0;
    tables.SelectedPort = 3;  // kept across refreshes
    Run();
    EXPECT_EQ(tree.clears, 2);
    EXPECT_FALSE(tree.exists(gone));
    EXPECT_EQ(tables.DeviceEntries[0][0][1].Item, kNoItem);
    EXPECT_EQ(tables.DeviceEntries[0][0][1].HasEnclosure, 0);
    EXPECT_EQ(tables.DeviceInfo(0, 0, 1).U16(channel::device_info::DeviceFlags.offset), 0);
    EXPECT_EQ(tables.DeviceEntries[0][0][0].HasEnclosure, 1);
    EXPECT_EQ(tables.SelectedPort, 3);
}

TEST_F(Discovery, OversizedAdaptersNeverWritePastTheTables) {
    for (int i = 0; i < 9; ++i) {
        sim::SimAdapter& a = sim::AddAdapter(*pop, i, 0x6A31, 8, 12);
        for (int p = 0; p < sim::kPorts; ++p)
            for (int d = 0; d < sim::kDevicesPerPort; ++d) sim::AddDisk(a, p, d, "D");
    }
    pop->adapters[0].versionPart[0] = 65535;
    pop->adapters[0].versionPart[1] = 65535;
    pop->adapters[0].versionPart[2] = 65535;
    pop->adapters[0].versionPart[3] = 65535;
    Run();
    const TreeItem root = tables.RootItem;
    EXPECT_EQ(tree.children(root).size(), 4u);
    for (TreeItem adapter : tree.children(root)) {
        ASSERT_EQ(tree.children(adapter).size(), 4u);
        for (TreeItem port : tree.children(adapter)) EXPECT_EQ(tree.children(port).size(), 8u);
    }
    // 23 characters of version cut to the 19 the text holds.
    EXPECT_STREQ(tables.DriverVersionText, "65535.65535.65535.6");
    EXPECT_EQ(pop->adapters[4].counters.opens, 0u);
}

TEST_F(Discovery, UnterminatedTextsStayInsideTheirFields) {
    sim::SimAdapter& a = sim::AddAdapter(*pop, 0, 0x6A31, 1, 1);
    std::memset(a.name, 'N', sizeof a.name);  // 64 characters, no terminator
    sim::SimDevice& d = sim::AddDisk(a, 0, 0, "");
    std::memset(d.model, 'M', sizeof d.model);  // 22 characters, no terminator
    Run();
    EXPECT_EQ(tables.ControllerNames[0], std::string(64, 'N'));
    EXPECT_EQ(tree.node(tables.DeviceEntries[0][0][0].Item).text, std::string(22, 'M'));
}

TEST_F(Discovery, TheLabelFollowsTheControllerByteTheAdapterGaveBack) {
    sim::AddAdapter(*pop, 0, 0x6A11, 1, 1, "First");
    sim::SimAdapter& second = sim::AddAdapter(*pop, 1, 0x6A12, 1, 1);
    second.replyControllerSet = 1;
    second.replyController = 0;  // names the first adapter: its reported name is used
    Run();
    EXPECT_EQ(tree.node(tables.ControllerEntries[1].Item).text, "First");
    second.replyController = 200;  // names no adapter the tables hold: its own name, or its id
    Run();
    EXPECT_EQ(tree.node(tables.ControllerEntries[1].Item).text, "Velo300 Onboard");
}

// Fails the open with the given number (1-based), whatever the device; passes the rest on.
class FailNthOpen final : public channel::DeviceAccess {
  public:
    FailNthOpen(channel::DeviceAccess& inner, int n) : inner_(inner), n_(n) {}
    channel::DeviceHandle Open(const char* name) override {
        return ++opens_ == n_ ? channel::kInvalidDevice : inner_.Open(name);
    }
    bool MiniportControl(channel::DeviceHandle d, std::span<uint8_t> b) override {
        return inner_.MiniportControl(d, b);
    }
    void Close(channel::DeviceHandle d) override { inner_.Close(d); }

  private:
    channel::DeviceAccess& inner_;
    int n_;
    int opens_ = 0;
};

TEST_F(Discovery, AnAdapterThatStopsOpeningAfterTheProbeIsLeftOut) {
    sim::AddDisk(sim::AddAdapter(*pop, 0, 0x6A11, 1, 1), 0, 0, "A");
    sim::AddDisk(sim::AddAdapter(*pop, 1, 0x6A12, 1, 1), 0, 0, "B");
    // Opens 1-9 are the probe; the 10th is adapter 0's discovery open.
    FailNthOpen flaky(io, 10);
    channel::MiniportChannel flakyChannel(flaky);
    sim::FixedSystemVersion nt(2);
    DiscoveryPorts ports{flakyChannel, nt, tree, store, {}};
    EnumerateAdapters(tables, ports);
    EXPECT_EQ(tables.ControllerEntries[0].Item, kNoItem);
    ASSERT_NE(tables.ControllerEntries[1].Item, kNoItem);
    EXPECT_EQ(tables.ControllerEntries[1].Controller, 1);
    EXPECT_EQ(tree.node(tables.DeviceEntries[1][0][0].Item).text, "B");
    EXPECT_EQ(io.OpenHandles(), 0u);
}

// Refuses to make the items with one text, as a tree control that is out of memory would;
// passes everything else on.
class RefusingTree final : public TreeView {
  public:
    RefusingTree(FakeTree& inner, std::string refused) : inner_(inner), refused_(refused) {}
    TreeItem InsertItem(const std::string& text, int image, TreeItem parent) override {
        if (text == refused_) return kNoItem;
        return inner_.InsertItem(text, image, parent);
    }
    void DeleteAllItems() override { inner_.DeleteAllItems(); }
    void Expand(TreeItem item) override { inner_.Expand(item); }
    void Collapse(TreeItem item) override { inner_.Collapse(item); }
    TreeItem Root() const override { return inner_.Root(); }
    TreeItem FirstChild(TreeItem item) const override { return inner_.FirstChild(item); }
    TreeItem NextSibling(TreeItem item) const override { return inner_.NextSibling(item); }
    TreeItem Selection() const override { return inner_.Selection(); }

  private:
    FakeTree& inner_;
    std::string refused_;
};

TEST_F(Discovery, APortItemThatCannotBeMadeTakesItsDevicesWithIt) {
    sim::SimAdapter& a = sim::AddAdapter(*pop, 0, 0x6A31, 2, 2);
    sim::AddDisk(a, 0, 0, "FIRST");
    sim::AddDisk(a, 0, 1, "SECOND");
    sim::AddDisk(a, 1, 0, "THIRD");
    RefusingTree refusing(tree, "Port-1");
    sim::FixedSystemVersion nt(2);
    DiscoveryPorts ports{channel, nt, refusing, store, {}};
    EnumerateAdapters(tables, ports);
    // Nothing beside the root: the first port's disks are not shown at all.
    EXPECT_EQ(tree.Dump(),
              "Torvale HBA List [0]\n"
              "  Velo300 Duo Plus [1]\n"
              "    Port-2 [2]\n"
              "      THIRD [3]\n");
    EXPECT_EQ(tables.PortItems[0][0], kNoItem);
    EXPECT_EQ(tables.DeviceEntries[0][0][0].Item, kNoItem);
    EXPECT_EQ(tables.DeviceEntries[0][0][1].Item, kNoItem);
    EXPECT_EQ(tables.DeviceEntries[0][1][0].Port, 1);
    EXPECT_EQ(tree.node(tables.DeviceEntries[0][1][0].Item).text, "THIRD");
    EXPECT_EQ(io.OpenHandles(), 0u);

    // The next refresh, with a tree that makes every item, shows the whole adapter again.
    Run();
    EXPECT_EQ(tree.children(tables.PortItems[0][0]).size(), 2u);
    EXPECT_EQ(tree.node(tables.DeviceEntries[0][0][1].Item).text, "SECOND");
}

TEST_F(Discovery, WindowsNineXReachesEveryAdapterThroughOneDevice) {
    pop->legacyDevice = 1;
    sim::AddDisk(sim::AddAdapter(*pop, 2, 0x6A21, 1, 1), 0, 0, "FIRST");
    sim::AddDisk(sim::AddAdapter(*pop, 5, 0x6A22, 1, 1), 0, 0, "SECOND");
    Run(1);
    EXPECT_TRUE(channel.LegacyPlatform());
    ASSERT_NE(tables.ControllerEntries[1].Item, kNoItem);
    EXPECT_EQ(tree.node(tables.ControllerEntries[1].Item).text, "Velo150 Quad");
    EXPECT_EQ(tree.node(tables.DeviceEntries[1][0][0].Item).text, "SECOND");
    EXPECT_STREQ(tables.ControllerEntries[0].DevicePath, "");
    EXPECT_EQ(pop->adapters[2].counters.opens, 0u);
    // Probe, one open per adapter, and one per device for the enclosure.
    EXPECT_EQ(pop->legacyCounters.opens, 1u + 2u + 2u);
    EXPECT_EQ(pop->legacyCounters.closes, pop->legacyCounters.opens);
}

}  // namespace
