// Discovery when the tree control refuses an item (found by fuzzing: the pass hung the rest of
// that branch at the top level of the tree, or kept a device entry that no item stands for).
// Each case refuses one insertion of the default population's tree and checks that nothing
// lands outside its parent and that every entry with fields has its item.
#include <gtest/gtest.h>

#include "manager/core/discovery.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"
#include "support/fake_ui.h"

namespace {

using namespace halv;

// Refuses the insertion whose text is `refused` (once), as a control out of memory would.
class RefusingTree final : public TreeView {
  public:
    explicit RefusingTree(std::string refused) : refused_(std::move(refused)) {}
    TreeItem InsertItem(const std::string& text, int image, TreeItem parent) override {
        if (text == refused_) {
            refused_.clear();
            return kNoItem;
        }
        if (parent == kNoItem && text != kRootText) ++topLevel;
        return inner.InsertItem(text, image, parent);
    }
    void DeleteAllItems() override { inner.DeleteAllItems(); }
    void Expand(TreeItem item) override { inner.Expand(item); }
    void Collapse(TreeItem item) override { inner.Collapse(item); }
    TreeItem Root() const override { return inner.Root(); }
    TreeItem FirstChild(TreeItem item) const override { return inner.FirstChild(item); }
    TreeItem NextSibling(TreeItem item) const override { return inner.NextSibling(item); }
    TreeItem Selection() const override { return inner.Selection(); }

    halv::testing::FakeTree inner;
    int topLevel = 0;

  private:
    std::string refused_;
};

struct Refusal {
    const char* text;
    const char* tree;  // what stays, as FakeTree::Dump shows it
};

void PrintTo(const Refusal& r, std::ostream* os) {
    *os << "refused \"" << r.text << "\"";
}

class TreeRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(TreeRefusal, NothingLandsOutsideItsParent) {
    auto pop = sim::NewPopulation();
    std::string error;
    ASSERT_TRUE(sim::LoadPopulationJson(
        R"({"adapters": [{"position": 0, "pci_device_id": "0x6A31", "ports": 2,
             "devices_per_port": 1,
             "devices": [{"port": 0, "device": 0, "model": "DISK A", "smart": 1},
                         {"port": 1, "device": 0, "model": "DISK B", "smart": 1}]}]})",
        *pop, &error))
        << error;
    sim::SimDeviceAccess io(*pop);
    channel::MiniportChannel channel(io);
    RefusingTree tree(GetParam().text);
    sim::FixedSystemVersion version(2);
    halv::testing::FixedQueuedCommandStore store{1};
    DiscoveryPorts ports{channel, version, tree, store, {}};
    auto tables = std::make_unique<ManagerTables>();
    EnumerateAdapters(*tables, ports);

    EXPECT_EQ(tree.inner.Dump(), GetParam().tree);
    EXPECT_EQ(tree.topLevel, 0) << "an item was hung at the top level";
    EXPECT_EQ(io.OpenHandles(), 0u);
    for (int p = 0; p < kMaxPorts; ++p)
        for (int d = 0; d < kMaxDevicesPerPort; ++d) {
            const DeviceEntry& dev = tables->DeviceEntries[0][p][d];
            if (dev.Item == kNoItem)
                EXPECT_TRUE(dev.SmartFlags == 0 && dev.HasEnclosure == 0 && dev.IsPacket == 0)
                    << "device " << p << "/" << d << " has fields but no item";
            else
                EXPECT_TRUE(tree.inner.exists(dev.Item));
        }
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, TreeRefusal,
    ::testing::Values(
        // Fuzz input crash-b7b35f43ab8e (discovery_pass): the root refused, the adapter item
        // was made at the top level.
        Refusal{"Torvale HBA List", ""},
        // Fuzz input crash-fdc9c2796 (discovery_pass): the disk refused, its entry kept its
        // S.M.A.R.T. flags without an item.
        Refusal{"DISK A",
                "Torvale HBA List [0]\n  Velo300 Duo Plus [1]\n    Port-1 [2]\n"
                "    Port-2 [2]\n      DISK B [3]\n"}));

}  // namespace
