// The information list's rows for adapters and devices, filled from tables that a discovery
// over a simulated population built, with the selection-time requests answered by the same
// simulated adapters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manager/core/discovery.h"
#include "manager/core/info_list.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"
#include "support/default_population.h"
#include "support/fake_ui.h"

namespace {

using namespace halv;
using halv::testing::FakeList;
using halv::testing::FakeTree;

struct InfoList : ::testing::Test {
    void Discover() {
        sim::FixedSystemVersion version(2);
        UnreadableQueuedCommandStore store;
        DiscoveryPorts ports{channel, version, tree, store, [](uint8_t) {}};
        EnumerateAdapters(tables, ports);
    }
    void LoadDefault() {
        std::string error;
        ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
    }
    // Each row as "item|value|info type [image]".
    std::vector<std::string> Rows() const {
        std::vector<std::string> out;
        for (const FakeList::Row& r : list.rows)
            out.push_back(r.cells[0] + "|" + r.cells[1] + "|" + r.cells[2] + " [" +
                          std::to_string(r.image) + "]");
        return out;
    }
    std::vector<std::string> Items() const {
        std::vector<std::string> out;
        for (const FakeList::Row& r : list.rows) out.push_back(r.cells[0]);
        return out;
    }
    std::string Value(const std::string& item) const {
        for (const FakeList::Row& r : list.rows)
            if (r.cells[0] == item) return r.cells[1];
        return "<no row>";
    }

    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimDeviceAccess io{*pop};
    channel::MiniportChannel channel{io};
    FakeTree tree;
    FakeList list;
    ManagerTables tables;
    InfoListFiller filler{tables, channel, &list};
};

TEST_F(InfoList, AdapterShowsModelChipBiosAndDriverVersion) {
    LoadDefault();
    Discover();
    filler.ShowControllerInfo(0);
    EXPECT_EQ(Rows(), (std::vector<std::string>{
                          " Model Name|Velo300 Duo Plus| [0]",
                          " Chip Name|KLN61001| [0]",
                          " BIOS Version|1.00.0.30| [0]",
                          " Driver Version|1.0.0.21| [0]",
                      }));
    EXPECT_EQ(io.OpenHandles(), 0u);
}

TEST_F(InfoList, AdapterWithReportedNameUnknownChipAndUnreadableBios) {
    sim::SimAdapter& a = sim::AddAdapter(*pop, 3, 0x7B01, 1, 1, "Rack Controller");
    Discover();
    sim::InjectFault(a, channel::MPCMD_READ_BIOS, sim::kFaultReturnCodeOff, 1);
    filler.ShowControllerInfo(0);
    EXPECT_EQ(Value(" Model Name"), "Rack Controller");
    EXPECT_EQ(Value(" Chip Name"), "Unknow");
    EXPECT_EQ(Value(" BIOS Version"), "Temporarily Unknown");
}

TEST_F(InfoList, DiskInTwoFanEnclosureShowsDriveAndEnclosureRows) {
    LoadDefault();
    Discover();
    filler.ShowDeviceInfo(0, 0, 0);
    EXPECT_EQ(Rows(), halv::testing::kDefaultFirstDiskRows);
    EXPECT_EQ(tables.DeviceEntries[0][0][0].TransferModeCode, 6);
    EXPECT_EQ(io.OpenHandles(), 0u);
}

TEST_F(InfoList, OneFanEnclosureOtherModelAndFailedEnclosureRequest) {
    LoadDefault();
    Discover();
    filler.ShowDeviceInfo(0, 1, 0);  // Drivecove, one fan
    const std::vector<std::string> rows = Rows();
    ASSERT_EQ(rows.size(), 11u);
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 7, rows.end()),
              (std::vector<std::string>{
                  " Type|Drivecove|SwapBox [0]",
                  " Fan(RPM)|2900|SwapBox [0]",
                  " Temperature(C/F)|35/95|SwapBox [0]",
                  " Vol.(5/12V)|4.980/11.95|SwapBox [0]",
              }));
    EXPECT_EQ(Value(" Smart Status"), "Predictive Error");

    list.rows.clear();
    filler.ShowDeviceInfo(1, 1, 0);  // an enclosure of another model
    EXPECT_EQ(Rows().back(), " SwapBox Status|No Support| [0]");

    list.rows.clear();
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_ENCLOSURE_STATUS, sim::kFaultCallFails);
    filler.ShowDeviceInfo(1, 1, 1);
    EXPECT_EQ(Rows().back(), " SwapBox Status|Temporarily Unknown| [0]");
}

TEST_F(InfoList, OpticalDeviceNeverShowsGeometryCapacityOrEnclosure) {
    sim::SimAdapter& a = sim::AddAdapter(*pop, 1, 0x6A31, 1, 2);
    sim::AddOptical(a, 0, 1, "LUMEN DVR-118").smartState = 1;
    sim::AddEnclosure(a, 0, 4);  // the port has an enclosure; the optical device ignores it
    Discover();
    ASSERT_EQ(tables.DeviceEntries[0][0][1].IsPacket, 1);
    filler.ShowDeviceInfo(0, 0, 1);
    EXPECT_EQ(Items(), (std::vector<std::string>{" Model Name", " Serial No", " Firmware Version",
                                                 " Transfer Mode", " Smart Status"}));

    a.devices[0][1].smartState = 3;  // not supported: rediscovered without the row
    Discover();
    list.rows.clear();
    filler.ShowDeviceInfo(0, 0, 1);
    EXPECT_EQ(Items().back(), " Transfer Mode");
    EXPECT_EQ(Items().size(), 4u);
}

TEST_F(InfoList, DiskWithoutEnabledSmartEndsWithTransferMode) {
    LoadDefault();
    Discover();
    filler.ShowDeviceInfo(1, 0, 0);      // ORLO OD80T: supported but not enabled; DMA only
    ASSERT_EQ(Items().size(), 6u + 4u);  // its port has a Drivecove2200: four enclosure rows
    EXPECT_EQ(Items()[5], " Transfer Mode");
    EXPECT_EQ(Value(" Transfer Mode"), "DMA-2");
    EXPECT_EQ(tables.DeviceEntries[1][0][0].TransferModeCode, -2);

    list.rows.clear();
    filler.ShowDeviceInfo(1, 3, 0);  // ORLO OD40P: PIO only, no enclosure
    EXPECT_EQ(Items().size(), 6u);
    EXPECT_EQ(Items().back(), " Transfer Mode");
    EXPECT_EQ(Value(" Transfer Mode"), "PIO-3");
    EXPECT_EQ(tables.DeviceEntries[1][3][0].TransferModeCode, 0);
}

TEST_F(InfoList, SmartRequestAnsweredAgainAtSelection) {
    LoadDefault();
    Discover();
    sim::InjectFault(pop->adapters[1], channel::MPCMD_GET_SMART_STATUS, sim::kFaultCallFails);
    filler.ShowDeviceInfo(0, 0, 0);
    EXPECT_EQ(Value(" Smart Status"), "Temporarily Unknown");
}

TEST_F(InfoList, ChosenModeReplacesTheDevicesOwnNumberButNotTheCode) {
    LoadDefault();
    Discover();
    tables.ChosenModeNumbers[0][0][0] = 4;
    filler.ShowDeviceInfo(0, 0, 0);
    EXPECT_EQ(Value(" Transfer Mode"), "UDMA-4");
    EXPECT_EQ(tables.DeviceEntries[0][0][0].TransferModeCode, 6);

    tables.ChosenModeNumbers[0][0][0] = 0;
    list.rows.clear();
    filler.ShowDeviceInfo(0, 0, 0);
    EXPECT_EQ(Value(" Transfer Mode"), "UDMA-6");
}

TEST_F(InfoList, RecordTextsAndNumbersAsTheyStand) {
    sim::SimAdapter& a = sim::AddAdapter(*pop, 1, 0x6A31, 1, 1);
    sim::SimDevice& d =
        sim::AddDisk(a, 0, 0, "ABCDEFGHIJKLMNOPQRSTUV", "", "");  // model fills its field
    d.cylinders = 65535;
    d.heads = 255;
    d.sectorsPerTrack = 255;
    d.capacitySectors = 0xFFFFFFFF;
    Discover();
    filler.ShowDeviceInfo(0, 0, 0);
    EXPECT_EQ(Value(" Model Name"), "ABCDEFGHIJKLMNOPQRSTUV");
    EXPECT_EQ(Value(" Serial No"), "");
    EXPECT_EQ(Value(" Firmware Version"), "");
    EXPECT_EQ(Value(" Geometry(C/H/S)"), "65535/255/255");
    EXPECT_EQ(Value(" Capacity"), "LBA = 4294967295 ,  2147 GB");
}

TEST_F(InfoList, OutOfRangeAddressesFillNothing) {
    filler.ShowDeviceInfo(4, 0, 0);
    filler.ShowDeviceInfo(0, 4, 0);
    filler.ShowDeviceInfo(0, 0, 8);
    filler.ShowControllerInfo(4);
    EXPECT_TRUE(list.rows.empty());
}

TEST(Texts, ChipNames) {
    EXPECT_EQ(ChipNameFor(0x6A31), "KLN61001");
    EXPECT_EQ(ChipNameFor(0x6A32), "KLN61002");
    EXPECT_EQ(ChipNameFor(0x6A22), "KLN61003");
    EXPECT_EQ(ChipNameFor(0x6A11), "KLN61004");
    EXPECT_EQ(ChipNameFor(0x6A12), "KLN61005");
    EXPECT_EQ(ChipNameFor(0x6A21), "KLN61006");
    EXPECT_EQ(ChipNameFor(0x10006A31), "Unknow");  // the whole value is compared
}

TEST(Texts, TransferModeOrderAndCodes) {
    struct Case {
        uint8_t pio, dma, udma, chosen;
        const char* text;
        int code;
    } cases[] = {
        {4, 2, 6, 0, "UDMA-6", 6},    {4, 2, 0, 0, "UDMA-0", 0},  {4, 2, 255, 0, "DMA-2", -2},
        {4, 2, 255, 1, "DMA-1", -2},  {4, 0, 255, 0, "DMA-0", 0}, {4, 255, 255, 0, "PIO-4", 0},
        {4, 255, 255, 3, "PIO-3", 0}, {3, 2, 5, 2, "UDMA-2", 5},
    };
    for (const Case& c : cases) {
        const TransferMode m = TransferModeOf(c.pio, c.dma, c.udma, c.chosen);
        EXPECT_EQ(m.text, c.text) << int(c.pio) << "/" << int(c.dma) << "/" << int(c.udma);
        EXPECT_EQ(m.code, c.code) << c.text;
    }
}

TEST(Texts, CapacityAndSmart) {
    EXPECT_EQ(CapacityText(1999999), "LBA = 1999999 ,  0 GB");
    EXPECT_EQ(CapacityText(2000000), "LBA = 2000000 ,  1 GB");
    EXPECT_EQ(SmartStateText(1), "Functional");
    EXPECT_EQ(SmartStateText(2), "Predictive Error");
    EXPECT_EQ(SmartStateText(0), "Temporarily Unknown");
    EXPECT_EQ(SmartStateText(3), "Temporarily Unknown");
}

TEST(ListRightClick, OpensOnlyOnTheSelectedTransferModeRow) {
    FakeList list;
    list.InsertRow(0, " Model Name", 0);
    list.InsertRow(1, " Transfer Mode", 1);
    list.InsertRow(2, " Smart Status", 0);
    list.InsertRow(3, "Transfer Mode", 0);
    list.InsertRow(4, " transfer mode", 0);

    EXPECT_FALSE(ListRightClickOpensTransferMode(list));  // nothing selected
    list.selected = 1;
    EXPECT_TRUE(ListRightClickOpensTransferMode(list));
    for (int other : {0, 2, 3, 4}) {
        list.selected = other;
        EXPECT_FALSE(ListRightClickOpensTransferMode(list)) << list.rows[other].cells[0];
    }
    FakeList empty;
    EXPECT_FALSE(ListRightClickOpensTransferMode(empty));
}

}  // namespace
