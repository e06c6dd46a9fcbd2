// The adapter tree's selection and right-click over a discovered population.
#include <gtest/gtest.h>

#include "manager/core/discovery.h"
#include "manager/core/tree_events.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"
#include "support/fake_ui.h"

namespace {

using namespace halv;
using halv::testing::FakeList;
using halv::testing::FakeTree;

struct TreeEvents : ::testing::Test {
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
        sim::FixedSystemVersion version(2);
        UnreadableQueuedCommandStore store;
        DiscoveryPorts ports{channel, version, tree, store, [](uint8_t) {}};
        EnumerateAdapters(tables, ports);
    }
    void Select(TreeItem item) {
        tree.selection = item;
        OnTreeSelectionChanged(tables, tree, list, filler);
    }
    void SelectionBytesAre(int a, int p, int d) {
        EXPECT_EQ(tables.SelectedController, a);
        EXPECT_EQ(tables.SelectedPort, p);
        EXPECT_EQ(tables.SelectedDevice, d);
    }

    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimDeviceAccess io{*pop};
    channel::MiniportChannel channel{io};
    FakeTree tree;
    FakeList list;
    ManagerTables tables;
    InfoListFiller filler{tables, channel, &list};
};

TEST_F(TreeEvents, AdapterSelectionShowsItsRowsAndKeepsTheDeviceSelection) {
    Select(tables.DeviceEntries[0][1][0].Item);
    Select(tables.ControllerEntries[1].Item);
    ASSERT_EQ(list.rows.size(), 4u);
    EXPECT_EQ(list.rows[0].cells[1], "Velo150 Quad Rack");
    SelectionBytesAre(0, 1, 0);  // an adapter does not change the selected device
}

TEST_F(TreeEvents, DeviceSelectionSetsTheSelectionBytesAndShowsTheDevice) {
    Select(tables.DeviceEntries[1][1][1].Item);
    SelectionBytesAre(1, 1, 1);
    ASSERT_FALSE(list.rows.empty());
    EXPECT_EQ(list.rows[1].cells[1], "KD5001B9987");
}

TEST_F(TreeEvents, RootPortAndNothingLeaveTheListEmpty) {
    for (TreeItem item :
         {tables.RootItem, tables.PortItems[0][3], tables.PortItems[1][0], kNoItem}) {
        Select(tables.DeviceEntries[0][0][0].Item);
        ASSERT_FALSE(list.rows.empty());
        Select(item);
        EXPECT_TRUE(list.rows.empty()) << item;
    }
    SelectionBytesAre(0, 0, 0);
}

TEST_F(TreeEvents, EmptyListIsNotClearedAgain) {
    Select(tables.RootItem);
    EXPECT_EQ(list.clears, 0);
    Select(tables.ControllerEntries[0].Item);
    Select(tables.PortItems[0][0]);
    EXPECT_EQ(list.clears, 1);
}

TEST_F(TreeEvents, CardMenuIsForTheSelectedAdapterOnly) {
    tables.SelectedController = 0;
    tree.selection = tables.ControllerEntries[1].Item;
    // Whatever item is under the cursor, the menu belongs to the selected adapter.
    EXPECT_EQ(CardMenuAdapter(tables, tree), std::optional<uint8_t>(1));
    EXPECT_EQ(tables.SelectedController, 1);

    for (TreeItem item :
         {tables.DeviceEntries[0][0][0].Item, tables.PortItems[0][0], tables.RootItem, kNoItem}) {
        tree.selection = item;
        EXPECT_EQ(CardMenuAdapter(tables, tree), std::nullopt) << item;
        EXPECT_EQ(tables.SelectedController, 1);
    }
}

TEST_F(TreeEvents, AbsentAdaptersNeverMatchANullSelection) {
    // Adapters 2 and 3 do not exist: their items are null, like "no selection".
    ASSERT_EQ(tables.ControllerEntries[2].Item, kNoItem);
    tree.selection = kNoItem;
    EXPECT_EQ(CardMenuAdapter(tables, tree), std::nullopt);
    Select(kNoItem);
    EXPECT_TRUE(list.rows.empty());
}

}  // namespace
