// The transfer-mode dialog: the modes it offers, from the code the list wrote for the device,
// and the requests its OK sends.
#include <gtest/gtest.h>

#include "manager/core/transfer_mode_choices.h"

#include "manager/core/discovery.h"
#include "manager/core/info_list.h"
#include "manager/core/resource_ids.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"
#include "support/fake_ui.h"

namespace {

using halv::DmaModeChoices;
using Choices = std::vector<std::string>;

TEST(DmaModeChoices, UdmaDeviceOffersItsUdmaModesThenTheDmaModes) {
    EXPECT_EQ(DmaModeChoices(6), (Choices{"UDMA-6", "UDMA-5", "UDMA-4", "UDMA-3", "UDMA-2",
                                          "UDMA-1", "UDMA-0", "DMA-2", "DMA-1", "DMA-0"}));
    EXPECT_EQ(DmaModeChoices(1), (Choices{"UDMA-1", "UDMA-0", "DMA-2", "DMA-1", "DMA-0"}));
}

TEST(DmaModeChoices, DmaDeviceOffersItsModesDownToZero) {
    EXPECT_EQ(DmaModeChoices(-2), (Choices{"DMA-2", "DMA-1", "DMA-0"}));
    EXPECT_EQ(DmaModeChoices(-128).size(), 129u);  // the lowest code still counts down to 0
}

TEST(DmaModeChoices, PioOnlyOrUdmaZeroOffersNothing) {
    EXPECT_TRUE(DmaModeChoices(0).empty());
}

}  // namespace

// ---- OK: the requests sent to a simulated device and what the list will show ----

namespace {

using namespace halv;

struct TransferModeOk : ::testing::Test {
    // One adapter at Scsi0: with a disk at port 1, device 1, whose modes the test sets.
    sim::SimDevice& Disk() { return pop->adapters[0].devices[1][1]; }
    void SetUp() override {
        sim::SimAdapter& a = sim::AddAdapter(*pop, 0, 0x6A31, 2, 2);
        sim::AddDisk(a, 1, 1, "DISK");
    }
    // Discovers and shows the disk as the list does, which writes its TransferModeCode.
    void Show(uint8_t udma, uint8_t dma, uint8_t pio) {
        Disk().udmaMode = udma;
        Disk().dmaMode = dma;
        Disk().pioMode = pio;
        sim::FixedSystemVersion version(2);
        UnreadableQueuedCommandStore store;
        halv::testing::FakeTree tree;
        DiscoveryPorts discovery{channel, version, tree, store, [](uint8_t) {}};
        EnumerateAdapters(tables, discovery);
        tables.SelectedController = 0, tables.SelectedPort = 1, tables.SelectedDevice = 1;
        filler.ShowDeviceInfo(0, 1, 1);
    }
    void Ok(int dma, int pio) { ApplyTransferModeChoice(tables, channel, messages, dma, pio); }
    std::string ModeRow() {
        list.rows.clear();
        filler.ShowDeviceInfo(0, 1, 1);
        for (const auto& r : list.rows)
            if (r.cells[0] == kTransferModeLabel) return r.cells[1];
        return "<no row>";
    }
    uint8_t& Chosen() { return tables.ChosenModeNumbers[0][1][1]; }

    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimDeviceAccess io{*pop};
    channel::MiniportChannel channel{io};
    ManagerTables tables;
    halv::testing::FakeList list;
    InfoListFiller filler{tables, channel, &list};
    halv::testing::FakeMessages messages;
};

TEST_F(TransferModeOk, UdmaDeviceSetsUdmaOrMultiwordDma) {
    Show(6, 2, 4);
    ASSERT_EQ(SelectedTransferModeCode(tables), 6);
    Ok(2, -1);  // "UDMA-4"
    EXPECT_EQ(Disk().lastAtaSectorCount, 0x40 | 4);
    EXPECT_EQ(Chosen(), 4);
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_TRANSFER_MODE_SET});
    EXPECT_EQ(ModeRow(), "UDMA-4");

    Ok(8, -1);  // "DMA-1": sent, but the row keeps showing the UDMA mode chosen before
    EXPECT_EQ(Disk().lastAtaSectorCount, 0x20 | 1);
    EXPECT_EQ(Chosen(), 4);
    EXPECT_EQ(Disk().ataCommands, 2u);
}

TEST_F(TransferModeOk, DmaDeviceAndPioOnlyDevice) {
    Show(255, 2, 4);
    ASSERT_EQ(SelectedTransferModeCode(tables), -2);
    Ok(1, -1);  // "DMA-1"
    EXPECT_EQ(Disk().lastAtaSectorCount, 0x20 | 1);
    EXPECT_EQ(Chosen(), 1);
    EXPECT_EQ(ModeRow(), "DMA-1");

    Chosen() = 0;
    Show(255, 255, 4);
    ASSERT_EQ(SelectedTransferModeCode(tables), 0);
    Ok(-1, 1);  // "PIO-3"
    EXPECT_EQ(Disk().lastAtaSectorCount, 0x08 | 3);
    EXPECT_EQ(Chosen(), 3);
    EXPECT_EQ(ModeRow(), "PIO-3");
}

TEST_F(TransferModeOk, DmaIsSentBeforePioAndAFailureStopsNeither) {
    Show(255, 2, 4);
    sim::InjectFault(pop->adapters[0], channel::MPCMD_ATA_COMMAND, sim::kFaultCallFails);
    const uint32_t before = pop->adapters[0].counters.requests;
    Ok(0, 4);
    EXPECT_EQ(pop->adapters[0].counters.requests, before + 2) << "both requests were sent";
    EXPECT_EQ(Disk().ataCommands, 0u);
    EXPECT_EQ(Chosen(), 0) << "a failed request stores nothing";
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_TRANSFER_MODE_FAILED});

    sim::InjectFault(pop->adapters[0], channel::MPCMD_ATA_COMMAND, sim::kFaultNone);
    messages.shown.clear();
    Ok(0, 4);  // DMA-2 then PIO-0: the device ends in the PIO mode
    EXPECT_EQ(Disk().ataCommands, 2u);
    EXPECT_EQ(Disk().lastAtaSectorCount, 0x08 | 0);
    EXPECT_EQ(Chosen(), 2) << "PIO is stored only for a PIO-only device";
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_TRANSFER_MODE_SET});
}

TEST_F(TransferModeOk, NoSelectionSendsAndShowsNothing) {
    Show(6, 2, 4);
    Ok(-1, -1);
    // Indices the lists cannot hold are no selection either.
    Ok(10, 5);
    Show(255, 255, 4);
    Ok(0, -1);  // the empty DMA list of a PIO-only device
    EXPECT_EQ(Disk().ataCommands, 0u);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(Chosen(), 0);
    EXPECT_EQ(io.OpenHandles(), 0u);
}

TEST_F(TransferModeOk, SelectionThatNamesNoDeviceIsRefused) {
    Show(255, 255, 4);  // PIO-only: the PIO choice alone would be sent and stored
    const uint32_t before = pop->adapters[0].counters.requests;
    struct Case {
        uint8_t controller, port, device;
    };
    for (const Case c : {Case{4, 1, 1}, Case{0, 4, 1}, Case{0, 1, 8}, Case{255, 255, 255}}) {
        SCOPED_TRACE(::testing::Message()
                     << int{c.controller} << "/" << int{c.port} << "/" << int{c.device});
        tables.SelectedController = c.controller, tables.SelectedPort = c.port,
        tables.SelectedDevice = c.device;
        EXPECT_EQ(SelectedTransferModeCode(tables), 0) << "no DMA list to offer";
        messages.shown.clear();
        Ok(-1, 1);
        EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_TRANSFER_MODE_FAILED});
        messages.shown.clear();
        Ok(-1, -1);
        EXPECT_TRUE(messages.shown.empty()) << "no selection stays silent";
    }
    EXPECT_EQ(pop->adapters[0].counters.requests, before) << "nothing was sent";
    EXPECT_EQ(Disk().ataCommands, 0u);
    EXPECT_EQ(Chosen(), 0);
}

}  // namespace
