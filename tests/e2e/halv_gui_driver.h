// Drives a running HALV.exe from another process by window messages, as a person would with
// mouse, keys and menus: reads the adapter tree and the information list (their buffers placed
// in HALV's own memory), selects items, right-clicks, chooses from the popup menus it opens,
// sends menu commands and finds the dialogs it opens. What only HALV's own process can read
// (its menus under Wine, its image lists) is asked of the probe DLL, which the driver loads
// into HALV when it first needs it.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "halv_probe.h"
#include "simctl_client.h"

namespace halvgui {

// A block of memory inside another process, released with the object.
class RemoteBuffer {
  public:
    RemoteBuffer(HANDLE process, size_t size);
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    ~RemoteBuffer();

    bool valid() const { return address_ != nullptr; }
    // The address as the other process sees it.
    uintptr_t address(size_t offset = 0) const {
        return reinterpret_cast<uintptr_t>(address_) + offset;
    }
    bool Write(const void* data, size_t size, size_t offset = 0);
    bool Read(void* data, size_t size, size_t offset = 0) const;
    std::string ReadText(size_t offset, size_t max) const;

  private:
    HANDLE process_;
    void* address_ = nullptr;
    size_t size_;
};

struct TreeNode {
    HTREEITEM item = nullptr;
    std::string text;
    int image = -1;
    bool expanded = false;
    int depth = 0;
};

struct ListRow {
    std::string item, value, infoType;
    int image = -1;
    // "item|value|info type [image]"
    std::string Line() const;
};

// The value of the row labelled `item`, or "<no row>".
std::string RowValue(const std::vector<ListRow>& rows, const std::string& item);
// The index of the row labelled `item`, or -1.
int RowIndex(const std::vector<ListRow>& rows, const std::string& item);

// Where the queued-command setting lives in the registry.
inline constexpr char kQueuedCommandKey[] =
    "System\\CurrentControlSet\\Services\\Qelnix2\\Parameters\\Capabilities";

struct ListColumn {
    std::string heading;
    int width = 0;
    int format = 0;  // LVCFMT_*
};

// A top-level dialog window of process `pid` with this caption (class #32770), or nullptr.
HWND FindDialog(DWORD pid, const char* caption);
// Waits up to `ms` for it to appear.
HWND WaitForDialog(DWORD pid, const char* caption, DWORD ms);
// The text of a window of another process (WM_GETTEXT is carried across by the system).
std::string WindowText(HWND hwnd);
// Clicks a button of a dialog of another process and waits up to `ms` for the dialog to go.
bool ClickAndWaitClosed(HWND dialog, int buttonId, DWORD ms = 5000);
// Waits up to `ms` for a message box of process `pid` (caption "HALV"), reads its text
// (static 0xFFFF), closes it with OK and returns the text; "" when none appeared.
std::string TakeMessageBox(DWORD pid, DWORD ms);
// Types `path` into the file-name field (0x47C) of a common file dialog and confirms it.
bool EnterFileName(HWND fileDialog, const std::string& path);
// The whole content of a file; empty when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string& path);

class Halv {
  public:
    Halv() = default;
    Halv(const Halv&) = delete;
    Halv& operator=(const Halv&) = delete;
    // Ends the program if it still runs.
    ~Halv();

    // Starts HALV.exe and waits until its main window shows the tree (or, with
    // `expectAdapters` false, just the root). Records how long that took.
    bool Start(const std::string& exePath, bool expectAdapters, std::string* error);
    // Waits for the program to end; its exit code in `code`.
    bool WaitForExit(DWORD ms, DWORD* code = nullptr);
    bool running() const;

    DWORD pid() const { return pid_; }
    HWND main() const { return main_; }
    HWND tree() const { return tree_; }
    HWND list() const { return list_; }
    DWORD startToTreeMs() const { return startToTreeMs_; }

    // ---- Tree ----
    std::vector<TreeNode> Tree();
    // The tree as indented text, one item per line: "text [image]", two blanks per level.
    std::string TreeDump();
    HTREEITEM Selection();
    // Makes `item` the selection; HALV fills its list before this returns.
    bool Select(HTREEITEM item);
    // The first item with this text, depth first; nullptr when none.
    HTREEITEM FindItem(const std::string& text);
    // Right-clicks `item` with the mouse messages the control gets from a real click.
    bool RightClickTreeItem(HTREEITEM item);

    // ---- List ----
    std::vector<ListRow> Rows();
    std::vector<ListColumn> Columns();
    int SelectedRow();
    bool RightClickRow(int row);
    // Right-clicks the list's empty area below the rows.
    bool RightClickListBelowRows();

    // ---- Menus ----
    // The main menu, the system menu and the Card menu as text, one item per line:
    // "<menu>|<depth>|<id>|<flags>|<text>", menu being main, system or card, id -1 for a
    // popup, flags G (grayed), S (separator) or none. The Card menu is read from HALV.exe's
    // resources; the popup HALV shows of it is read by PopupText.
    std::string Menus();
    // The popup menu HALV shows, or nullptr.
    HWND Popup();
    // Its items in the same form with menu "popup"; "" when no popup is shown.
    std::string PopupText();
    // Waits up to `ms` for a popup to show (or, with `shown` false, to go).
    bool WaitForPopup(DWORD ms, bool shown = true);
    // Closes the popup shown with the Escape key; false when none was shown.
    bool EndPopup();
    // Opens the Card menu by right-clicking `item` and chooses command `id` in it with the
    // keyboard: the menu sends the command to its owner, the tree. False when no menu opened
    // or it had no such item.
    bool ChooseCardCommand(HTREEITEM item, UINT id);

    // A menu command, sent (returns when it has been handled) or posted (for commands that
    // open a modal dialog).
    void Command(UINT id);
    void PostCommand(UINT id);

    // ---- Asked of the probe inside HALV ----
    // Whether the window answers WM_QUERYDRAGICON with its own large icon (Wine does not
    // carry that message between processes).
    bool DragIconIsWindowIcon();
    // Minimises the window, has it paint at once and restores it: true when it was minimised
    // while it painted.
    bool MinimisedPaint();
    // The tree's and the list's image lists: "tree|5|16x16|1\nlist|..." (see halv_probe.h).
    std::string ImageLists();
    // Asks the probe one question; false (and a reason in probeError()) when it could not.
    bool Ask(halvprobe::Block& block);
    const std::string& probeError() const { return probeError_; }

  private:
    bool RightClick(HWND control, POINT at);
    bool LoadProbe();
    // The items of `menu`, a menu of HALV's process, each line prefixed with `name|`: read
    // from here where the system allows it (Windows), else by the probe (Wine).
    std::string MenuText(HMENU menu, const char* name);

    simctl::ScopedHandle process_;
    DWORD pid_ = 0;
    HWND main_ = nullptr, tree_ = nullptr, list_ = nullptr;
    DWORD startToTreeMs_ = 0;
    std::string exePath_;
    uintptr_t probeAnswer_ = 0;  // the probe's export inside HALV, once loaded
    std::string probeError_;
};

}  // namespace halvgui
