// The main window's own decisions: expanding and collapsing the tree, the queued-command
// menu items, the system-menu About item, the minimised icon's place.
#include <gtest/gtest.h>

#include "manager/core/main_window.h"
#include "manager/core/resource_ids.h"
#include "support/fake_ui.h"

namespace {

using namespace halv;
using halv::testing::FakeMenu;
using halv::testing::FakeTree;

// Root > two adapters; the first with a port holding two disks and an empty port, the second
// adapter with no ports at all.
struct Tree : ::testing::Test {
    void SetUp() override {
        root = tree.InsertItem("Torvale HBA List", 0, kNoItem);
        adapter = tree.InsertItem("Velo300 Duo Plus", 1, root);
        port = tree.InsertItem("Port-1", 2, adapter);
        disk = tree.InsertItem("KESTREL KD160S", 3, port);
        tree.InsertItem("KESTREL KD250S", 3, port);
        emptyPort = tree.InsertItem("Port-2", 2, adapter);
        bareAdapter = tree.InsertItem("Velo150 Quad", 1, root);
    }
    bool Expanded(TreeItem item) const { return tree.node(item).expanded; }

    FakeTree tree;
    TreeItem root, adapter, port, disk, emptyPort, bareAdapter;
};

TEST_F(Tree, ExpandOpensRootAdaptersAndPortsWithChildren) {
    ExpandTree(tree, kTreeExpand);
    EXPECT_TRUE(Expanded(root));
    EXPECT_TRUE(Expanded(adapter));
    EXPECT_TRUE(Expanded(port));
    EXPECT_FALSE(Expanded(emptyPort));    // nothing to open
    EXPECT_FALSE(Expanded(bareAdapter));  // nothing to open
}

TEST_F(Tree, CollapseKeepsRootOpenAndLeavesDisksAsTheyWere) {
    ExpandTree(tree, kTreeExpand);
    tree.Expand(disk);  // a deeper item's own state
    tree.Expand(emptyPort);

    ExpandTree(tree, kTreeCollapse);
    EXPECT_TRUE(Expanded(root));
    EXPECT_FALSE(Expanded(adapter));
    EXPECT_FALSE(Expanded(port));
    EXPECT_TRUE(Expanded(disk));
    EXPECT_TRUE(Expanded(emptyPort));  // only items with children are touched
}

TEST(TreeWithoutAdapters, BothModesDoNothing) {
    FakeTree tree;
    ExpandTree(tree, kTreeExpand);  // no root at all
    const TreeItem root = tree.InsertItem("Torvale HBA List", 0, kNoItem);
    ExpandTree(tree, kTreeExpand);
    ExpandTree(tree, kTreeCollapse);
    EXPECT_FALSE(tree.node(root).expanded);
}

TEST(QueuedCommandMenu, FollowsTheSetting) {
    FakeMenu off;
    UpdateQueuedCommandMenu(off, 0);
    EXPECT_EQ(off.state, (std::map<unsigned, bool>{{ID_OPTION_ENABLE_TCQ, true},
                                                   {ID_OPTION_DISABLE_TCQ, false}}));

    for (uint8_t on : {1, 2, 255}) {
        FakeMenu menu;
        UpdateQueuedCommandMenu(menu, on);
        EXPECT_EQ(menu.state, (std::map<unsigned, bool>{{ID_OPTION_ENABLE_TCQ, false},
                                                        {ID_OPTION_DISABLE_TCQ, true}}))
            << int(on);
    }

    FakeMenu unreadable;
    UpdateQueuedCommandMenu(unreadable, 6);
    EXPECT_TRUE(unreadable.state.empty());
}

TEST(SystemMenu, AboutItemNeedsAMenuAndAText) {
    EXPECT_TRUE(ShouldAddAboutToSystemMenu(true, "&About HALV..."));
    EXPECT_FALSE(ShouldAddAboutToSystemMenu(true, ""));
    EXPECT_FALSE(ShouldAddAboutToSystemMenu(false, "&About HALV..."));

    EXPECT_TRUE(IsAboutSystemCommand(0x10));
    EXPECT_TRUE(IsAboutSystemCommand(0x1F));  // the low four bits belong to the system
    EXPECT_FALSE(IsAboutSystemCommand(0x20));
    EXPECT_FALSE(IsAboutSystemCommand(0x10010));  // only the low four bits are ignored
    EXPECT_FALSE(IsAboutSystemCommand(0xF060));   // SC_CLOSE
    EXPECT_FALSE(IsAboutSystemCommand(0xF010));   // SC_MOVE: the same low byte, another command
}

TEST(MinimisedIcon, IsCentredRoundingUp) {
    EXPECT_EQ(MinimisedIconPosition(36, 36, 32, 32).x, 2);
    const Point odd = MinimisedIconPosition(37, 40, 32, 32);
    EXPECT_EQ(odd.x, 3);  // (37 - 32 + 1) / 2
    EXPECT_EQ(odd.y, 4);  // (40 - 32 + 1) / 2 truncates
}

}  // namespace
