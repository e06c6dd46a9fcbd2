// End to end: HALV.exe itself, started against the simulator driver HALVSIM.sys and driven
// from this program by window messages. Each test loads a population, starts HALV, and reads
// back what the window shows: the tree, the list, the menus and the dialogs it opens, and
// what the adapters were asked.
//
//   halv_gui_e2e <HALVSIM.sys> <HALV.exe>
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "halv_gui_driver.h"
#include "manager/core/resource_ids.h"
#include "sim/population.h"
#include "support/default_population.h"

namespace {

using halvgui::Halv;
using halvgui::ListRow;
using halvgui::RowIndex;
using Bytes = std::vector<uint8_t>;

std::string g_halvExe;

constexpr char kModeSet[] = "Transfer Mode is set successfully, please refresh HBA List.";
constexpr char kBackupDone[] = "Backup BIOS to file successfully!";

using halv::testing::kDefaultPopulationTree;

std::vector<std::string> Lines(const std::vector<ListRow>& rows) {
    std::vector<std::string> out;
    for (const ListRow& r : rows) out.push_back(r.Line());
    return out;
}

// The lines of a menu dump that belong to one menu.
std::string MenuLines(const std::string& dump, const std::string& prefix) {
    std::string out;
    size_t start = 0;
    while (start < dump.size()) {
        size_t end = dump.find('\n', start);
        if (end == std::string::npos) end = dump.size();
        if (dump.compare(start, prefix.size(), prefix) == 0)
            out += dump.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

std::string Text(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

// The combo box's items. The system carries CB_GETLBTEXT's buffer between processes itself
// (Wine carries it as Unicode whatever the sender asked for, so ask in Unicode).
std::vector<std::string> ComboItems(HWND combo) {
    std::vector<std::string> items;
    const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 255)
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        std::string narrow;
        for (const wchar_t* c = text; *c; ++c) narrow += *c < 128 ? static_cast<char>(*c) : '?';
        items.push_back(narrow);
    }
    return items;
}

// What the transfer-mode dialog's DMA list offers for a device whose row left `code`.
std::vector<std::string> DmaItemsFor(int code) {
    std::vector<std::string> items;
    for (int m = code; m > 0 && code > 0; --m) items.push_back("UDMA-" + std::to_string(m));
    if (code > 0) items.push_back("UDMA-0");
    for (int m = code > 0 ? 2 : -code; m >= 0 && code != 0; --m)
        items.push_back("DMA-" + std::to_string(m));
    return items;
}

class HalvGui : public e2e::SimTest {
  protected:
    void SetUp() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, halvgui::kQueuedCommandKey);
        pop = e2e::EmptyPopulation();
        std::string error;
        ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
    }
    void TearDown() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, halvgui::kQueuedCommandKey);
        e2e::SimTest::TearDown();
    }

    void StartHalv(bool expectAdapters = true) {
        Load(*pop);
        std::string error;
        ASSERT_TRUE(halv.Start(g_halvExe, expectAdapters, &error)) << error;
    }

    void SelectItem(const std::string& text) {
        HTREEITEM item = halv.FindItem(text);
        ASSERT_NE(item, nullptr) << text;
        ASSERT_TRUE(halv.Select(item)) << text;
    }

    // Chooses "Backup  BIOS" in the Card menu opened by right-clicking `clicked` and saves
    // into a new file; returns the file's bytes, or none when HALV did not report success.
    Bytes BackupFromCardMenu(const std::string& clicked) {
        char temp[MAX_PATH] = {};
        GetTempPathA(sizeof temp, temp);
        const std::string path = std::string(temp) + "halv-gui-" +
                                 std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(++backups) + ".rom";
        Bytes saved;
        if (halv.ChooseCardCommand(halv.FindItem(clicked), ID_CARD_BACKUP_BIOS)) {
            HWND dialog = halvgui::WaitForDialog(halv.pid(), "Backup BIOS To File", 15000);
            if (dialog && halvgui::EnterFileName(dialog, path) &&
                halvgui::TakeMessageBox(halv.pid(), 15000) == kBackupDone)
                saved = halvgui::ReadFileBytes(path);
        }
        DeleteFileA(path.c_str());
        return saved;
    }

    std::unique_ptr<sim::SimPopulation> pop;
    Halv halv;
    int backups = 0;
};

Bytes Flash(const sim::SimPopulation& pop, int position) {
    return Bytes(pop.adapters[position].bios, pop.adapters[position].bios + sim::kBiosSize);
}

uint32_t BiosReads(const sim::SimPopulation& pop, int position) {
    return pop.adapters[position].counters.byCommand[sim::CommandIndex(channel::MPCMD_READ_BIOS)];
}

TEST_F(HalvGui, ShowsTheDefaultPopulationWithItsMenus) {
    StartHalv();
    std::printf("[ timing   ] HALV.exe start to tree shown: %lu ms\n",
                static_cast<unsigned long>(halv.startToTreeMs()));

    EXPECT_EQ(halv.TreeDump(), kDefaultPopulationTree);
    for (const halvgui::TreeNode& n : halv.Tree())
        EXPECT_EQ(n.expanded, n.depth == 0) << n.text << ": only the root is expanded at start";

    EXPECT_EQ(halvgui::WindowText(halv.main()), "Torvale Disk Controller Manager");
    const LONG style = GetWindowLongA(halv.main(), GWL_STYLE);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_TRUE(halv.DragIconIsWindowIcon()) << halv.probeError();

    // No TAG_CMD in the registry: both queued-command items stay grayed.
    const std::string menus = halv.Menus();
    EXPECT_EQ(MenuLines(menus, "main|") + MenuLines(menus, "card|"),
              "main|0|-1||File\n"
              "main|1|32796||Exit\n"
              "main|0|-1||View\n"
              "main|1|32797||Tree Expanded\n"
              "main|1|32798||Tree Collapsed\n"
              "main|1|32803||Refresh HBA List\n"
              "main|0|-1||Option\n"
              "main|1|-1||Queued  Command  Support\n"
              "main|2|32801|G|Enable  TCQ/NCQ\n"
              "main|2|32802|G|Disable  TCQ/NCQ\n"
              "main|0|-1||Help\n"
              "main|1|32799||About\n"
              "card|0|-1||Card\n"
              "card|1|32794||Backup  BIOS\n"
              "card|1|32795||Update  BIOS\n");
    // The system menu ends with a separator and the About item.
    const std::string system = MenuLines(menus, "system|");
    const size_t about = system.rfind("system|0|16||&About HALV...\n");
    ASSERT_NE(about, std::string::npos) << system;
    EXPECT_EQ(about + std::strlen("system|0|16||&About HALV...\n"), system.size()) << system;
    const size_t separator = system.rfind("system|", about - 1);
    const std::string line = system.substr(separator, about - separator);
    EXPECT_TRUE(line == "system|0|0|S|\n" || line == "system|0|0|GS|\n") << system;
}

TEST_F(HalvGui, ControlsColumnsAndImageLists) {
    StartHalv();
    EXPECT_TRUE(GetWindowLongA(halv.main(), GWL_EXSTYLE) & WS_EX_APPWINDOW);

    // Both templates ask for a border too, but a control with a client edge is shown with that
    // edge in place of WS_BORDER, so the style no longer carries it.
    const LONG treeStyle = GetWindowLongA(halv.tree(), GWL_STYLE);
    const LONG treeWanted =
        WS_VISIBLE | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT;
    EXPECT_EQ(treeStyle & treeWanted, treeWanted) << std::hex << treeStyle;
    const LONG treeEx = GetWindowLongA(halv.tree(), GWL_EXSTYLE);
    EXPECT_EQ(treeEx & (WS_EX_CLIENTEDGE | WS_EX_TRANSPARENT), WS_EX_CLIENTEDGE | WS_EX_TRANSPARENT)
        << std::hex << treeEx;

    const LONG listStyle = GetWindowLongA(halv.list(), GWL_STYLE);
    EXPECT_EQ(listStyle & LVS_TYPEMASK, LVS_REPORT) << std::hex << listStyle;
    const LONG listWanted =
        WS_VISIBLE | WS_TABSTOP | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER;
    EXPECT_EQ(listStyle & listWanted, listWanted) << std::hex << listStyle;
    EXPECT_TRUE(GetWindowLongA(halv.list(), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);

    std::string columns;
    for (const halvgui::ListColumn& c : halv.Columns())
        columns += c.heading + " " + std::to_string(c.width) +
                   (c.format == LVCFMT_LEFT ? " left" : " not left") + "\n";
    EXPECT_EQ(columns, "Item 128 left\nValue 128 left\nInfo Type 64 left\n");

    EXPECT_EQ(halv.ImageLists(), "tree|5|16x16|1\nlist|2|16x16|0\n");
}

TEST_F(HalvGui, AdapterRowsMatchThePopulation) {
    StartHalv();
    SelectItem("Velo300 Duo Plus");
    EXPECT_EQ(Lines(halv.Rows()), (std::vector<std::string>{
                                      " Model Name|Velo300 Duo Plus| [0]",
                                      " Chip Name|KLN61001| [0]",
                                      " BIOS Version|1.00.0.30| [0]",
                                      " Driver Version|1.0.0.21| [0]",
                                  }));
    SelectItem("Velo150 Quad Rack");
    EXPECT_EQ(Lines(halv.Rows()), (std::vector<std::string>{
                                      " Model Name|Velo150 Quad Rack| [0]",
                                      " Chip Name|KLN61003| [0]",
                                      " BIOS Version|1.00.0.28| [0]",
                                      " Driver Version|1.0.0.21| [0]",
                                  }));
}

TEST_F(HalvGui, EveryDeviceShowsItsOwnRecord) {
    StartHalv();
    // Our adapters in probe order: Scsi1: is adapter 0, Scsi2: adapter 1.
    const int positions[] = {1, 2};
    uint32_t modesSet = 0;
    for (int a = 0; a < 2; ++a) {
        const sim::SimAdapter& sa = pop->adapters[positions[a]];
        for (int p = 0; p < 4; ++p)
            for (int d = 0; d < 2; ++d) {
                const sim::SimDevice& dev = sa.devices[p][d];
                if (!dev.present) continue;
                SCOPED_TRACE("adapter " + std::to_string(a) + " port " + std::to_string(p) +
                             " device " + std::to_string(d));
                // Two disks share a model name: pick the item by its place in the tree.
                std::vector<halvgui::TreeNode> nodes = halv.Tree();
                HTREEITEM item = nullptr;
                int adapter = -1, port = -1, device = 0;
                for (const halvgui::TreeNode& n : nodes) {
                    if (n.depth == 1) ++adapter, port = -1;
                    if (n.depth == 2) ++port, device = 0;
                    if (n.depth == 3 && adapter == a && port == p) {
                        // Devices are listed in device order; skip absent numbers.
                        while (device < d && !sa.devices[p][device].present) ++device;
                        if (device == d) item = n.item;
                        ++device;
                    }
                }
                ASSERT_NE(item, nullptr);
                ASSERT_TRUE(halv.Select(item));

                const std::vector<ListRow> rows = halv.Rows();
                ASSERT_GE(rows.size(), 4u);
                EXPECT_EQ(rows[0].Line(),
                          " Model Name|" + Text(dev.model, sizeof dev.model) + "|Drive [0]");
                EXPECT_EQ(rows[1].Line(),
                          " Serial No|" + Text(dev.serial, sizeof dev.serial) + "|Drive [0]");
                EXPECT_EQ(
                    rows[2].Line(),
                    " Firmware Version|" + Text(dev.firmware, sizeof dev.firmware) + "|Drive [0]");
                if (dev.packet) {
                    EXPECT_EQ(RowIndex(rows, " Capacity"), -1);
                    EXPECT_EQ(RowIndex(rows, " Geometry(C/H/S)"), -1);
                } else {
                    EXPECT_EQ(halvgui::RowValue(rows, " Capacity"),
                              "LBA = " + std::to_string(dev.capacitySectors) + " ,  " +
                                  std::to_string(dev.capacitySectors / 2000000) + " GB");
                    EXPECT_EQ(halvgui::RowValue(rows, " Geometry(C/H/S)"),
                              std::to_string(dev.cylinders) + "/" + std::to_string(dev.heads) +
                                  "/" + std::to_string(dev.sectorsPerTrack));
                }
                const int mode = RowIndex(rows, " Transfer Mode");
                ASSERT_GE(mode, 0);
                EXPECT_EQ(rows[mode].image, 1);
                const std::string expected =
                    dev.udmaMode != 255  ? "UDMA-" + std::to_string(dev.udmaMode)
                    : dev.dmaMode != 255 ? "DMA-" + std::to_string(dev.dmaMode)
                                         : "PIO-" + std::to_string(dev.pioMode);
                EXPECT_EQ(rows[mode].value, expected);
                const bool smartRow = dev.smartState == 1 || dev.smartState == 2;
                EXPECT_EQ(RowIndex(rows, " Smart Status") >= 0, smartRow);

                // The transfer-mode dialog shows what HALV holds for the selected device: its
                // DMA list is made from the code the row left, and its OK addresses the device.
                const int code = dev.udmaMode != 255  ? dev.udmaMode
                                 : dev.dmaMode != 255 ? -dev.dmaMode
                                                      : 0;
                ASSERT_TRUE(halv.RightClickRow(mode));
                HWND dialog = halvgui::WaitForDialog(halv.pid(), "Change Transfer Mode", 10000);
                ASSERT_NE(dialog, nullptr);
                EXPECT_EQ(ComboItems(GetDlgItem(dialog, IDC_DMA_MODE)), DmaItemsFor(code));
                SendMessageA(GetDlgItem(dialog, IDC_PIO_MODE), CB_SETCURSEL, 0, 0);  // PIO-4
                PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
                EXPECT_EQ(halvgui::TakeMessageBox(halv.pid(), 15000), kModeSet);
                for (int i = 0; i < 250 && IsWindow(dialog); ++i) Sleep(20);
                ++modesSet;
                std::unique_ptr<sim::SimPopulation> back = ReadBack();
                const sim::SimDevice& target = back->adapters[positions[a]].devices[p][d];
                EXPECT_EQ(target.ataCommands, 1u) << "the selected device is the one set";
                EXPECT_EQ(target.lastAtaSectorCount, 0x08 | 4);
                uint32_t everywhere = 0;
                for (const sim::SimAdapter& other : back->adapters)
                    for (const auto& byPort : other.devices)
                        for (const sim::SimDevice& any : byPort) everywhere += any.ataCommands;
                EXPECT_EQ(everywhere, modesSet) << "and no other device";
            }
    }
}

TEST_F(HalvGui, DiskInEnclosureAndOpticalDevice) {
    StartHalv();
    SelectItem("KESTREL KD160S");
    EXPECT_EQ(Lines(halv.Rows()), halv::testing::kDefaultFirstDiskRows);
    SelectItem("LUMEN DVR-118");
    EXPECT_EQ(Lines(halv.Rows()), (std::vector<std::string>{
                                      " Model Name|LUMEN DVR-118|Drive [0]",
                                      " Serial No|LMN88213|Drive [0]",
                                      " Firmware Version|1.07|Drive [0]",
                                      " Transfer Mode|UDMA-4|Drive [1]",
                                  }));
    SelectItem("ORLO OD80T");  // a one-fan enclosure of the second model, S.M.A.R.T. off
    const std::vector<ListRow> rows = halv.Rows();
    EXPECT_EQ(RowIndex(rows, " Smart Status"), -1);
    EXPECT_EQ(halvgui::RowValue(rows, " Type"), "Drivecove2200");
    EXPECT_EQ(halvgui::RowValue(rows, " Transfer Mode"), "DMA-2");
}

TEST_F(HalvGui, RootAndPortsLeaveTheListEmpty) {
    StartHalv();
    for (const char* item : {"Port-1", "Torvale HBA List", "Port-4"}) {
        SelectItem("KESTREL KD250S");
        ASSERT_GT(halv.Rows().size(), 0u);
        SelectItem(item);
        EXPECT_EQ(halv.Rows().size(), 0u) << item;
    }
}

TEST_F(HalvGui, TreeExpandedAndCollapsed) {
    StartHalv();
    halv.Command(ID_VIEW_TREE_EXPANDED);
    // Ports with devices open; the empty ports have nothing to open.
    std::string expanded;
    for (const halvgui::TreeNode& n : halv.Tree())
        if (n.expanded) expanded += std::string(2 * n.depth, ' ') + n.text + "\n";
    EXPECT_EQ(expanded,
              "Torvale HBA List\n"
              "  Velo300 Duo Plus\n"
              "    Port-1\n"
              "    Port-2\n"
              "    Port-3\n"
              "  Velo150 Quad Rack\n"
              "    Port-1\n"
              "    Port-2\n"
              "    Port-4\n");

    halv.Command(ID_VIEW_TREE_COLLAPSED);
    expanded.clear();
    for (const halvgui::TreeNode& n : halv.Tree())
        if (n.expanded) expanded += n.text + "\n";
    EXPECT_EQ(expanded, "Torvale HBA List\n");
}

TEST_F(HalvGui, CardMenuIsForTheSelectedAdapterNotTheClickedOne) {
    // The default population: adapter 0 "Velo300 Duo Plus" at Scsi1:, adapter 1 at Scsi2:.
    constexpr int kFirst = 1, kSecond = 2;
    StartHalv();
    SelectItem("Velo300 Duo Plus");
    ASSERT_TRUE(halv.RightClickTreeItem(halv.FindItem("Velo150 Quad Rack")));
    ASSERT_TRUE(halv.WaitForPopup(5000));
    EXPECT_EQ(halv.PopupText(), "popup|0|32794||Backup  BIOS\npopup|0|32795||Update  BIOS\n");
    EXPECT_EQ(halv.Selection(), halv.FindItem("Velo300 Duo Plus"));
    EXPECT_TRUE(halv.EndPopup());
    EXPECT_TRUE(halv.WaitForPopup(5000, false));
    // What the menu does is for the selected adapter, not the clicked one: a backup chosen
    // from it saves the first adapter's flash, and only that adapter is read.
    const uint32_t firstReads = BiosReads(*ReadBack(), kFirst);
    const uint32_t secondReads = BiosReads(*ReadBack(), kSecond);
    EXPECT_TRUE(BackupFromCardMenu("Velo150 Quad Rack") == Flash(*ReadBack(), kFirst))
        << "the selected adapter, not the clicked one";
    EXPECT_EQ(BiosReads(*ReadBack(), kSecond), secondReads);

    SelectItem("Velo150 Quad Rack");
    ASSERT_TRUE(halv.RightClickTreeItem(halv.FindItem("Velo150 Quad Rack")));
    EXPECT_TRUE(halv.WaitForPopup(5000));
    EXPECT_TRUE(halv.EndPopup());
    EXPECT_TRUE(BackupFromCardMenu("Velo150 Quad Rack") == Flash(*ReadBack(), kSecond));
    EXPECT_EQ(BiosReads(*ReadBack(), kFirst), firstReads + 1);

    // With a disk selected, no menu opens wherever the click lands.
    SelectItem("KESTREL KD160S");
    ASSERT_TRUE(halv.RightClickTreeItem(halv.FindItem("Velo300 Duo Plus")));
    EXPECT_FALSE(halv.WaitForPopup(1000));
    halv.EndPopup();
}

TEST_F(HalvGui, TransferModeRowOpensTheDialogOtherRowsDoNot) {
    StartHalv();
    SelectItem("KESTREL KD160S");
    std::vector<ListRow> rows = halv.Rows();
    ASSERT_TRUE(halv.RightClickRow(RowIndex(rows, " Transfer Mode")));
    HWND dialog = halvgui::WaitForDialog(halv.pid(), "Change Transfer Mode", 10000);
    ASSERT_NE(dialog, nullptr);
    {
        HWND dma = GetDlgItem(dialog, IDC_DMA_MODE), pio = GetDlgItem(dialog, IDC_PIO_MODE);
        EXPECT_EQ(ComboItems(dma),
                  (std::vector<std::string>{"UDMA-6", "UDMA-5", "UDMA-4", "UDMA-3", "UDMA-2",
                                            "UDMA-1", "UDMA-0", "DMA-2", "DMA-1", "DMA-0"}));
        EXPECT_EQ(ComboItems(pio),
                  (std::vector<std::string>{"PIO-4", "PIO-3", "PIO-2", "PIO-1", "PIO-0"}));
        EXPECT_EQ(SendMessageA(dma, CB_GETCURSEL, 0, 0), CB_ERR);
        EXPECT_EQ(SendMessageA(pio, CB_GETCURSEL, 0, 0), CB_ERR);
        EXPECT_EQ(halvgui::WindowText(GetDlgItem(dialog, IDC_DMA_LABEL)), "DMA Mode");
        EXPECT_EQ(halvgui::WindowText(GetDlgItem(dialog, IDC_PIO_LABEL)), "PIO Mode");
        EXPECT_FALSE(GetWindowLongA(dialog, GWL_STYLE) & WS_SYSMENU);
    }
    PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    for (int i = 0; i < 250 && IsWindow(dialog); ++i) Sleep(20);
    EXPECT_FALSE(IsWindow(dialog));

    // A right-click selects the row it lands on; only the transfer-mode row opens anything.
    const int smart = RowIndex(rows, " Smart Status");
    ASSERT_TRUE(halv.RightClickRow(smart));
    Sleep(1000);
    EXPECT_EQ(halv.SelectedRow(), smart);
    EXPECT_EQ(halvgui::FindDialog(halv.pid(), "Change Transfer Mode"), nullptr);

    // The list of a DMA-only disk offers its DMA modes.
    SelectItem("ORLO OD80T");
    rows = halv.Rows();
    ASSERT_TRUE(halv.RightClickRow(RowIndex(rows, " Transfer Mode")));
    dialog = halvgui::WaitForDialog(halv.pid(), "Change Transfer Mode", 10000);
    ASSERT_NE(dialog, nullptr);
    {
        EXPECT_EQ(ComboItems(GetDlgItem(dialog, IDC_DMA_MODE)),
                  (std::vector<std::string>{"DMA-2", "DMA-1", "DMA-0"}));
    }
    PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    for (int i = 0; i < 250 && IsWindow(dialog); ++i) Sleep(20);

    // Clicking below the rows of an adapter selects none: nothing opens.
    SelectItem("Velo300 Duo Plus");
    ASSERT_TRUE(halv.RightClickListBelowRows());
    Sleep(1000);
    EXPECT_EQ(halv.SelectedRow(), -1);
    EXPECT_EQ(halvgui::FindDialog(halv.pid(), "Change Transfer Mode"), nullptr);
}

TEST_F(HalvGui, AboutFromTheHelpMenuAndTheSystemMenu) {
    StartHalv();
    for (int way = 0; way < 2; ++way) {
        if (way == 0)
            halv.PostCommand(ID_HELP_ABOUT);
        else
            PostMessageA(halv.main(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        HWND about = halvgui::WaitForDialog(halv.pid(), "About HALV", 10000);
        ASSERT_NE(about, nullptr) << "way " << way;
        EXPECT_NE(SendMessageA(GetDlgItem(about, IDC_ABOUT_PICTURE), STM_GETIMAGE, IMAGE_BITMAP, 0),
                  0);
        EXPECT_EQ(halvgui::WindowText(GetDlgItem(about, IDOK)), "OK");
        bool version = false;
        for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            version = version || halvgui::WindowText(child) == "HALV Version 1.0.0.11";
        EXPECT_TRUE(version);
        PostMessageA(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
        for (int i = 0; i < 250 && IsWindow(about); ++i) Sleep(20);
        EXPECT_FALSE(IsWindow(about));
    }
    EXPECT_TRUE(halv.running());
}

TEST_F(HalvGui, RefreshRebuildsTheTreeFromTheAdapters) {
    StartHalv();
    SelectItem("KESTREL KD160S");
    ASSERT_GT(halv.Rows().size(), 0u);
    pop->adapters[2].devices[1][1].present = 0;  // the second KESTREL KD500S is taken out
    Load(*pop);
    halv.Command(ID_VIEW_REFRESH);
    std::string expected = kDefaultPopulationTree;
    const std::string removed = "      KESTREL KD500S [3]\n";
    expected.erase(expected.rfind(removed), removed.size());
    EXPECT_EQ(halv.TreeDump(), expected);
    EXPECT_EQ(halv.Selection(), nullptr) << "a rebuilt tree starts without a selection";
    EXPECT_EQ(halv.Rows().size(), 0u);
}

TEST_F(HalvGui, QueuedCommandMenuFollowsTheRegistry) {
    for (DWORD value : {1u, 0u}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, halvgui::kQueuedCommandKey, &key),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "TAG_CMD", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
        RegCloseKey(key);

        Halv run;
        Load(*pop);
        std::string error;
        ASSERT_TRUE(run.Start(g_halvExe, true, &error)) << error;
        const std::string menus = run.Menus();
        const std::string expected =
            value ? "main|2|32801|G|Enable  TCQ/NCQ\nmain|2|32802||Disable  TCQ/NCQ\n"
                  : "main|2|32801||Enable  TCQ/NCQ\nmain|2|32802|G|Disable  TCQ/NCQ\n";
        EXPECT_NE(menus.find(expected), std::string::npos) << "TAG_CMD " << value << "\n" << menus;
    }
}

TEST_F(HalvGui, NoAdaptersShowsOnlyTheRoot) {
    pop = e2e::EmptyPopulation();
    StartHalv(false);
    EXPECT_EQ(halv.TreeDump(), "Torvale HBA List [0]\n");
    halv.Command(ID_VIEW_TREE_EXPANDED);
    EXPECT_FALSE(halv.Tree().front().expanded);
}

TEST_F(HalvGui, MinimisedWindowPaintsAndComesBack) {
    StartHalv();
    EXPECT_TRUE(halv.MinimisedPaint()) << halv.probeError();
    EXPECT_TRUE(halv.running());
    EXPECT_TRUE(halv.DragIconIsWindowIcon()) << halv.probeError();
    for (int i = 0; i < 250 && IsIconic(halv.main()); ++i) Sleep(20);
    EXPECT_FALSE(IsIconic(halv.main()));
    EXPECT_EQ(halv.TreeDump(), kDefaultPopulationTree);
}

TEST_F(HalvGui, ExitEnterEscapeAndCloseEndTheProgram) {
    struct Way {
        const char* name;
        void (*act)(Halv&);
    } ways[] = {
        {"Exit", [](Halv& h) { h.PostCommand(ID_FILE_EXIT); }},
        {"Enter in the tree", [](Halv& h) { PostMessageA(h.tree(), WM_KEYDOWN, VK_RETURN, 0); }},
        {"Escape in the list", [](Halv& h) { PostMessageA(h.list(), WM_KEYDOWN, VK_ESCAPE, 0); }},
        {"Close", [](Halv& h) { PostMessageA(h.main(), WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Way& way : ways) {
        Halv run;
        Load(*pop);
        std::string error;
        ASSERT_TRUE(run.Start(g_halvExe, true, &error)) << error;
        way.act(run);
        DWORD code = 1;
        EXPECT_TRUE(run.WaitForExit(10000, &code)) << way.name;
        EXPECT_EQ(code, 0u) << way.name;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) g_halvExe = e2e::WindowsPath(argv[2]);
    if (g_halvExe.empty()) {
        std::fprintf(stderr, "usage: halv_gui_e2e <HALVSIM.sys> <HALV.exe>\n");
        return 2;
    }
    return e2e::Main(argc, argv);
}
