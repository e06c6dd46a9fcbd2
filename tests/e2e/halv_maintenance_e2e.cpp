// End to end: HALV.exe's maintenance commands against the simulator driver HALVSIM.sys, driven
// from this program by window messages: BIOS backup and update through the Card menu and the
// common file dialogs, queued commands on and off in the registry, and the transfer-mode
// dialog. What HALV did is read back from the driver, the files and the registry.
//
//   halv_maintenance_e2e <HALVSIM.sys> <HALV.exe>
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "halv_gui_driver.h"
#include "manager/core/resource_ids.h"
#include "sim/population.h"

namespace {

using halvgui::Halv;
using halvgui::ListRow;
using halvgui::RowIndex;
using Bytes = std::vector<uint8_t>;

std::string g_halvExe;

constexpr char kOpenFailed[] =
    "Open file failed !  Please check the permission of file and make sure file existed.";
constexpr char kIoctlFailed[] = "IOCTL failed ! Please try again after a moment";
constexpr char kBackupDone[] = "Backup BIOS to file successfully!";
constexpr char kUpdateDone[] = "Update BIOS successfully! Please reboot host to take effect.";
constexpr char kCorrupted[] = "File corrupted or BIOS could't be updated by this file.";
constexpr char kRestart[] = "Setting is changed ! Please reboot host to take effect.";
constexpr char kModeSet[] = "Transfer Mode is set successfully, please refresh HBA List.";
constexpr char kModeFailed[] = "Set Transfer Mode failed, please try again.";

// The default population: adapter 0 "Velo300 Duo Plus" at Scsi1:, adapter 1 at Scsi2:; the
// disk "KESTREL KD160S" is adapter 0, port 0, device 0 (UDMA-6).
constexpr int kAdapter0Position = 1;
constexpr DWORD kBoxMs = 15000;

using halvgui::ReadFileBytes;

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes Flash(const sim::SimPopulation& pop, int position) {
    return Bytes(pop.adapters[position].bios, pop.adapters[position].bios + sim::kBiosSize);
}

Bytes Image(uint16_t pciDeviceId, const char* version) {
    Bytes image(sim::kBiosSize);
    sim::FillBiosImage(image.data(), pciDeviceId, version);
    return image;
}

// The menu dump's line of one queued-command item.
std::string MenuLine(const std::string& dump, unsigned id) {
    const std::string key = "main|2|" + std::to_string(id) + "|";
    const size_t at = dump.find(key);
    if (at == std::string::npos) return "<none>";
    return dump.substr(at, dump.find('\n', at) - at);
}

struct FindArgs {
    DWORD pid;
    const char* caption;
    int buttonId;
    HWND found;
};

// A dialog of process `pid` with this caption that has (or, with a negative id, lacks) the
// button: tells the overwrite question apart from the file dialog that shares its title.
HWND WaitForDialogWithButton(DWORD pid, const char* caption, int buttonId, DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        FindArgs args{pid, caption, buttonId, nullptr};
        EnumWindows(
            [](HWND hwnd, LPARAM lParam) -> BOOL {
                auto* a = reinterpret_cast<FindArgs*>(lParam);
                DWORD pid = 0;
                GetWindowThreadProcessId(hwnd, &pid);
                char cls[64] = {};
                GetClassNameA(hwnd, cls, sizeof cls);
                if (pid != a->pid || !IsWindowVisible(hwnd) || std::string(cls) != "#32770" ||
                    halvgui::WindowText(hwnd) != a->caption)
                    return TRUE;
                const bool has = GetDlgItem(hwnd, a->buttonId < 0 ? -a->buttonId : a->buttonId);
                if (has != (a->buttonId > 0)) return TRUE;
                a->found = hwnd;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&args));
        if (args.found) return args.found;
        if (GetTickCount() - start >= ms) return nullptr;
        Sleep(20);
    }
}

class HalvMaintenance : public e2e::SimTest {
  protected:
    void SetUp() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, halvgui::kQueuedCommandKey);
        pop = e2e::EmptyPopulation();
        std::string error;
        ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
        char temp[MAX_PATH] = {};
        ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
        dir = std::string(temp) + "halv-maintenance-" + std::to_string(GetCurrentProcessId()) +
              "-" + std::to_string(GetTickCount());
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr)) << dir;
    }
    void TearDown() override {
        for (const std::string& f : created) DeleteFileA(f.c_str());
        RemoveDirectoryA(dir.c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, halvgui::kQueuedCommandKey);
        e2e::SimTest::TearDown();
    }

    std::string File(const std::string& name) {
        created.push_back(dir + "\\" + name);
        return created.back();
    }

    void StartHalv() {
        Load(*pop);
        std::string error;
        ASSERT_TRUE(halv.Start(g_halvExe, true, &error)) << error;
    }

    void SelectItem(const std::string& text) {
        HTREEITEM item = halv.FindItem(text);
        ASSERT_NE(item, nullptr) << text;
        ASSERT_TRUE(halv.Select(item)) << text;
    }

    // Card menu command `id` on the adapter "Velo300 Duo Plus", the file `path` chosen in the
    // dialog titled `title`; returns the message HALV then shows.
    std::string CardCommandWithFile(UINT id, const char* title, const std::string& path) {
        SelectItem("Velo300 Duo Plus");
        HTREEITEM adapter = halv.FindItem("Velo300 Duo Plus");
        if (!halv.ChooseCardCommand(adapter, id)) return "<no Card menu>";
        HWND dialog = halvgui::WaitForDialog(halv.pid(), title, 15000);
        if (!dialog) return std::string("<no dialog \"") + title + "\">";
        if (!halvgui::EnterFileName(dialog, path)) return "<no file-name field>";
        return halvgui::TakeMessageBox(halv.pid(), kBoxMs);
    }

    // Opens the transfer-mode dialog of the device shown, picks the list items (-1: none) and
    // presses OK; returns the message HALV then shows ("" for none within `boxMs`).
    std::string ChangeTransferMode(int dma, int pio, DWORD boxMs = kBoxMs) {
        const std::vector<ListRow> rows = halv.Rows();
        if (!halv.RightClickRow(RowIndex(rows, " Transfer Mode"))) return "<no row>";
        HWND dialog = halvgui::WaitForDialog(halv.pid(), "Change Transfer Mode", 10000);
        if (!dialog) return "<no dialog>";
        if (dma >= 0) SendMessageA(GetDlgItem(dialog, IDC_DMA_MODE), CB_SETCURSEL, dma, 0);
        if (pio >= 0) SendMessageA(GetDlgItem(dialog, IDC_PIO_MODE), CB_SETCURSEL, pio, 0);
        PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        const std::string text = halvgui::TakeMessageBox(halv.pid(), boxMs);
        for (int i = 0; i < 250 && IsWindow(dialog); ++i) Sleep(20);
        if (IsWindow(dialog)) return "<dialog still open>";
        return text;
    }

    std::unique_ptr<sim::SimPopulation> pop;
    Halv halv;
    std::string dir;
    std::vector<std::string> created;
};

TEST_F(HalvMaintenance, BackupBiosSavesTheFlashInTheChosenFile) {
    StartHalv();
    const std::string path = File("velo300.rom");
    EXPECT_EQ(CardCommandWithFile(ID_CARD_BACKUP_BIOS, "Backup BIOS To File", path), kBackupDone);
    const Bytes saved = ReadFileBytes(path);
    EXPECT_EQ(saved.size(), sim::kBiosSize);
    EXPECT_TRUE(saved == Flash(*ReadBack(), kAdapter0Position)) << "the file is the flash";

    // A failed read request leaves the chosen file, empty.
    ASSERT_TRUE(
        e2e::Control().SetFault(kAdapter0Position, channel::MPCMD_READ_BIOS, sim::kFaultCallFails));
    const std::string failed = File("failed.rom");
    EXPECT_EQ(CardCommandWithFile(ID_CARD_BACKUP_BIOS, "Backup BIOS To File", failed),
              kIoctlFailed);
    EXPECT_TRUE(FileExists(failed));
    EXPECT_EQ(ReadFileBytes(failed).size(), 0u);
    EXPECT_TRUE(halv.running());
}

TEST_F(HalvMaintenance, BackupOverAnExistingFileAsksFirst) {
    StartHalv();
    const std::string path = File("existing.rom");
    const Bytes old(10, 0x5A);
    ASSERT_TRUE(WriteFileBytes(path, old));
    constexpr char kTitle[] = "Backup BIOS To File";

    // "No" to the question returns to the dialog; cancelling it then does nothing.
    SelectItem("Velo300 Duo Plus");
    ASSERT_TRUE(halv.ChooseCardCommand(halv.FindItem("Velo300 Duo Plus"), ID_CARD_BACKUP_BIOS));
    HWND dialog = WaitForDialogWithButton(halv.pid(), kTitle, -IDYES, 15000);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(halvgui::EnterFileName(dialog, path));
    HWND question = WaitForDialogWithButton(halv.pid(), kTitle, IDYES, 10000);
    ASSERT_NE(question, nullptr) << "no question before overwriting";
    EXPECT_TRUE(halvgui::ClickAndWaitClosed(question, IDNO));
    ASSERT_TRUE(IsWindow(dialog));
    EXPECT_TRUE(halvgui::ClickAndWaitClosed(dialog, IDCANCEL));
    EXPECT_EQ(halvgui::TakeMessageBox(halv.pid(), 1500), "");
    EXPECT_TRUE(ReadFileBytes(path) == old);

    // "Yes" replaces the file with the flash.
    ASSERT_TRUE(halv.ChooseCardCommand(halv.FindItem("Velo300 Duo Plus"), ID_CARD_BACKUP_BIOS));
    dialog = WaitForDialogWithButton(halv.pid(), kTitle, -IDYES, 15000);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(halvgui::EnterFileName(dialog, path));
    question = WaitForDialogWithButton(halv.pid(), kTitle, IDYES, 10000);
    ASSERT_NE(question, nullptr);
    EXPECT_TRUE(halvgui::ClickAndWaitClosed(question, IDYES));
    EXPECT_EQ(halvgui::TakeMessageBox(halv.pid(), kBoxMs), kBackupDone);
    std::unique_ptr<sim::SimPopulation> done = ReadBack();
    EXPECT_TRUE(ReadFileBytes(path) == Flash(*done, kAdapter0Position));
    const uint32_t reads = done->adapters[kAdapter0Position]
                               .counters.byCommand[sim::CommandIndex(channel::MPCMD_READ_BIOS)];

    // A file another program holds without sharing cannot be created over.
    HANDLE hold = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(halv.ChooseCardCommand(halv.FindItem("Velo300 Duo Plus"), ID_CARD_BACKUP_BIOS));
    dialog = WaitForDialogWithButton(halv.pid(), kTitle, -IDYES, 15000);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(halvgui::EnterFileName(dialog, path));
    question = WaitForDialogWithButton(halv.pid(), kTitle, IDYES, 10000);
    if (question) halvgui::ClickAndWaitClosed(question, IDYES);
    EXPECT_EQ(halvgui::TakeMessageBox(halv.pid(), kBoxMs), kOpenFailed);
    CloseHandle(hold);
    EXPECT_EQ(ReadBack()
                  ->adapters[kAdapter0Position]
                  .counters.byCommand[sim::CommandIndex(channel::MPCMD_READ_BIOS)],
              reads)
        << "a backup that cannot open its file does not read the flash";
}

TEST_F(HalvMaintenance, UpdateBiosWritesOnlyAFileThatFitsTheAdapter) {
    StartHalv();
    const Bytes next = Image(0x6A31, "1.00.0.40");
    const std::string good = File("next.rom");
    ASSERT_TRUE(WriteFileBytes(good, next));
    EXPECT_EQ(CardCommandWithFile(ID_CARD_UPDATE_BIOS, "Update BIOS From File", good), kUpdateDone);
    EXPECT_TRUE(Flash(*ReadBack(), kAdapter0Position) == next);
    // The list shows the new version once the adapter is selected again.
    SelectItem("KESTREL KD160S");
    SelectItem("Velo300 Duo Plus");
    EXPECT_EQ(halvgui::RowValue(halv.Rows(), " BIOS Version"), "1.00.0.40");

    // One byte changed: the sum is off, the flash stays as it is.
    Bytes corrupt = Image(0x6A31, "1.00.0.41");
    corrupt[0x1000] ^= 0x01;
    const std::string bad = File("corrupt.rom");
    ASSERT_TRUE(WriteFileBytes(bad, corrupt));
    EXPECT_EQ(CardCommandWithFile(ID_CARD_UPDATE_BIOS, "Update BIOS From File", bad), kCorrupted);
    // An image of the other adapter's type.
    const std::string other = File("other.rom");
    ASSERT_TRUE(WriteFileBytes(other, Image(0x6A22, "1.00.0.42")));
    EXPECT_EQ(CardCommandWithFile(ID_CARD_UPDATE_BIOS, "Update BIOS From File", other), kCorrupted);
    std::unique_ptr<sim::SimPopulation> after = ReadBack();
    EXPECT_TRUE(Flash(*after, kAdapter0Position) == next);
    EXPECT_EQ(after->adapters[kAdapter0Position]
                  .counters.byCommand[sim::CommandIndex(channel::MPCMD_WRITE_BIOS)],
              1u)
        << "only the good file reached the adapter";

    // A failed write request.
    ASSERT_TRUE(e2e::Control().SetFault(kAdapter0Position, channel::MPCMD_WRITE_BIOS,
                                        sim::kFaultReturnCodeOff, 1));
    EXPECT_EQ(CardCommandWithFile(ID_CARD_UPDATE_BIOS, "Update BIOS From File", good),
              kIoctlFailed);
}

TEST_F(HalvMaintenance, FilesThatCannotBeOpenedGiveTheOpenMessage) {
    StartHalv();
    // Held open without sharing by this program: HALV cannot open it for either command.
    const std::string locked = File("locked.rom");
    ASSERT_TRUE(WriteFileBytes(locked, Image(0x6A31, "1.00.0.43")));
    HANDLE hold = CreateFileA(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CardCommandWithFile(ID_CARD_UPDATE_BIOS, "Update BIOS From File", locked),
              kOpenFailed);
    CloseHandle(hold);
    EXPECT_EQ(ReadBack()
                  ->adapters[kAdapter0Position]
                  .counters.byCommand[sim::CommandIndex(channel::MPCMD_WRITE_BIOS)],
              0u);
}

TEST_F(HalvMaintenance, QueuedCommandsSwitchTheRegistryValueAndTheMenu) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, halvgui::kQueuedCommandKey, &key), ERROR_SUCCESS);
    const DWORD off = 0;
    RegSetValueExA(key, "TAG_CMD", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), 4);
    RegCloseKey(key);
    StartHalv();
    auto stored = [] {
        HKEY k = nullptr;
        DWORD type = 0, value = 0xDEADF00D, size = sizeof value;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, halvgui::kQueuedCommandKey, 0, KEY_QUERY_VALUE, &k) !=
            ERROR_SUCCESS)
            return std::string("<no key>");
        const LONG rc =
            RegQueryValueExA(k, "TAG_CMD", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(k);
        if (rc != ERROR_SUCCESS) return std::string("<no value>");
        return "type " + std::to_string(type) + " size " + std::to_string(size) + " value " +
               std::to_string(value);
    };
    std::string menus = halv.Menus();
    EXPECT_EQ(MenuLine(menus, ID_OPTION_ENABLE_TCQ), "main|2|32801||Enable  TCQ/NCQ");
    EXPECT_EQ(MenuLine(menus, ID_OPTION_DISABLE_TCQ), "main|2|32802|G|Disable  TCQ/NCQ");

    halv.PostCommand(ID_OPTION_ENABLE_TCQ);
    EXPECT_EQ(halvgui::TakeMessageBox(halv.pid(), kBoxMs), kRestart);
    EXPECT_EQ(stored(), "type 4 size 4 value 1");
    menus = halv.Menus();
    EXPECT_EQ(MenuLine(menus, ID_OPTION_ENABLE_TCQ), "main|2|32801|G|Enable  TCQ/NCQ");
    EXPECT_EQ(MenuLine(menus, ID_OPTION_DISABLE_TCQ), "main|2|32802||Disable  TCQ/NCQ");

    halv.PostCommand(ID_OPTION_DISABLE_TCQ);
    EXPECT_EQ(halvgui::TakeMessageBox(halv.pid(), kBoxMs), kRestart);
    EXPECT_EQ(stored(), "type 4 size 4 value 0");
    menus = halv.Menus();
    EXPECT_EQ(MenuLine(menus, ID_OPTION_ENABLE_TCQ), "main|2|32801||Enable  TCQ/NCQ");
    EXPECT_EQ(MenuLine(menus, ID_OPTION_DISABLE_TCQ), "main|2|32802|G|Disable  TCQ/NCQ");

    // Without the key nothing is written, created or shown.
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, halvgui::kQueuedCommandKey), ERROR_SUCCESS);
    halv.PostCommand(ID_OPTION_ENABLE_TCQ);
    EXPECT_EQ(halvgui::TakeMessageBox(halv.pid(), 1500), "");
    EXPECT_EQ(stored(), "<no key>");
    menus = halv.Menus();
    EXPECT_EQ(MenuLine(menus, ID_OPTION_ENABLE_TCQ), "main|2|32801||Enable  TCQ/NCQ");
}

TEST_F(HalvMaintenance, TransferModeDialogSetsTheChosenMode) {
    StartHalv();
    SelectItem("KESTREL KD160S");
    // Index 2 of UDMA-6 .. UDMA-0, DMA-2 .. DMA-0 is UDMA-4.
    EXPECT_EQ(ChangeTransferMode(2, -1), kModeSet);
    std::unique_ptr<sim::SimPopulation> after = ReadBack();
    const sim::SimDevice& disk = after->adapters[kAdapter0Position].devices[0][0];
    EXPECT_EQ(disk.lastAtaSectorCount, 0x40 | 4);
    EXPECT_EQ(disk.ataCommands, 1u);
    // Selected again, the row shows the mode that was set.
    SelectItem("KESTREL KD250S");
    SelectItem("KESTREL KD160S");
    EXPECT_EQ(halvgui::RowValue(halv.Rows(), " Transfer Mode"), "UDMA-4");

    // OK with nothing chosen sends nothing and says nothing.
    EXPECT_EQ(ChangeTransferMode(-1, -1, 1500), "");
    EXPECT_EQ(ReadBack()->adapters[kAdapter0Position].devices[0][0].ataCommands, 1u);

    // Refused requests: both choices are still sent, one message reports the failure.
    ASSERT_TRUE(e2e::Control().SetFault(kAdapter0Position, channel::MPCMD_ATA_COMMAND,
                                        sim::kFaultReturnCodeOff, 1));
    auto ataRequests = [this] {
        return ReadBack()
            ->adapters[kAdapter0Position]
            .counters.byCommand[sim::CommandIndex(channel::MPCMD_ATA_COMMAND)];
    };
    const uint32_t sentBefore = ataRequests();
    EXPECT_EQ(ChangeTransferMode(0, 0), kModeFailed);
    EXPECT_EQ(ataRequests(), sentBefore + 2) << "the DMA and the PIO request";
    // Selected again, the row still shows the mode set before: nothing new was stored.
    SelectItem("KESTREL KD250S");
    SelectItem("KESTREL KD160S");
    EXPECT_EQ(halvgui::RowValue(halv.Rows(), " Transfer Mode"), "UDMA-4");
    EXPECT_TRUE(halv.running());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) g_halvExe = e2e::WindowsPath(argv[2]);
    if (g_halvExe.empty()) {
        std::fprintf(stderr, "usage: halv_maintenance_e2e <HALVSIM.sys> <HALV.exe>\n");
        return 2;
    }
    return e2e::Main(argc, argv);
}
