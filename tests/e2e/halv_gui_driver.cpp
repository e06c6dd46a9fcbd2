#include "halv_gui_driver.h"

#include <commctrl.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>

#include "halv_menu_text.h"
#include "manager/core/resource_ids.h"

namespace halvgui {

namespace {

constexpr char kMainCaption[] = "Torvale Disk Controller Manager";
constexpr DWORD kSendTimeoutMs = 20000;
constexpr size_t kTextSize = 512;

// A send that cannot hang the test when HALV stops answering.
LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hwnd, msg, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result))
        return 0;
    return static_cast<LRESULT>(result);
}

struct FindArgs {
    DWORD pid;
    const char* caption;
    HWND found;
};

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lParam) {
    auto* args = reinterpret_cast<FindArgs*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != args->pid || !IsWindowVisible(hwnd)) return TRUE;
    char cls[64] = {}, caption[256] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, caption, sizeof caption);
    if (strcmp(cls, "#32770") == 0 && strcmp(caption, args->caption) == 0) {
        args->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindPopupProc(HWND hwnd, LPARAM lParam) {
    auto* args = reinterpret_cast<FindArgs*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    // A popup menu is shown in a window of the system's menu class.
    if (pid == args->pid && IsWindowVisible(hwnd) && strcmp(cls, "#32768") == 0) {
        args->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The base address of module `name` (a file name such as "kernel32.dll") in process `pid`.
uintptr_t ModuleBase(DWORD pid, const char* name) {
    simctl::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
    if (!snapshot.valid()) return 0;
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot.get(), &entry); more;
         more = Module32Next(snapshot.get(), &entry))
        if (_stricmp(entry.szModule, name) == 0)
            return reinterpret_cast<uintptr_t>(entry.modBaseAddr);
    return 0;
}

// Runs `start(parameter)` on a new thread of `process` and waits for it; its exit code in
// `code`.
bool RunRemoteThread(HANDLE process, uintptr_t start, uintptr_t parameter, DWORD* code) {
    simctl::ScopedHandle thread(CreateRemoteThread(process, nullptr, 0,
                                                   reinterpret_cast<LPTHREAD_START_ROUTINE>(start),
                                                   reinterpret_cast<void*>(parameter), 0, nullptr));
    if (!thread.valid() || WaitForSingleObject(thread.get(), kSendTimeoutMs) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeThread(thread.get(), code) != 0;
}

// Each line of `text` prefixed with `name|`.
std::string Prefixed(const char* name, const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out += std::string(name) + "|" + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

}  // namespace

// ---- RemoteBuffer --------------------------------------------------------------------------

RemoteBuffer::RemoteBuffer(HANDLE process, size_t size) : process_(process), size_(size) {
    address_ = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

RemoteBuffer::~RemoteBuffer() {
    if (address_) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
}

bool RemoteBuffer::Write(const void* data, size_t size, size_t offset) {
    if (!address_ || offset > size_ || size > size_ - offset) return false;
    SIZE_T done = 0;
    return WriteProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, &done) &&
           done == size;
}

bool RemoteBuffer::Read(void* data, size_t size, size_t offset) const {
    if (!address_ || offset > size_ || size > size_ - offset) return false;
    SIZE_T done = 0;
    return ReadProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, &done) &&
           done == size;
}

std::string RemoteBuffer::ReadText(size_t offset, size_t max) const {
    std::string text(max, '\0');
    if (!Read(text.data(), max, offset)) return "<unreadable>";
    text.resize(strnlen(text.c_str(), max));
    return text;
}

std::string RowValue(const std::vector<ListRow>& rows, const std::string& item) {
    for (const ListRow& r : rows)
        if (r.item == item) return r.value;
    return "<no row>";
}

int RowIndex(const std::vector<ListRow>& rows, const std::string& item) {
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].item == item) return static_cast<int>(i);
    return -1;
}

std::string ListRow::Line() const {
    return item + "|" + value + "|" + infoType + " [" + std::to_string(image) + "]";
}

// ---- Windows -------------------------------------------------------------------------------

HWND FindDialog(DWORD pid, const char* caption) {
    FindArgs args{pid, caption, nullptr};
    EnumWindows(FindProc, reinterpret_cast<LPARAM>(&args));
    return args.found;
}

HWND WaitForDialog(DWORD pid, const char* caption, DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND found = FindDialog(pid, caption)) return found;
        if (GetTickCount() - start >= ms) return nullptr;
        Sleep(20);
    }
}

std::string WindowText(HWND hwnd) {
    char text[512] = {};
    Send(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return std::string(text, strnlen(text, sizeof text));
}

bool ClickAndWaitClosed(HWND dialog, int buttonId, DWORD ms) {
    HWND button = GetDlgItem(dialog, buttonId);
    if (!button || !PostMessageA(button, BM_CLICK, 0, 0)) return false;
    const DWORD start = GetTickCount();
    while (IsWindow(dialog) && IsWindowVisible(dialog)) {
        if (GetTickCount() - start >= ms) return false;
        Sleep(20);
    }
    return true;
}

std::string TakeMessageBox(DWORD pid, DWORD ms) {
    HWND box = WaitForDialog(pid, "HALV", ms);
    if (!box) return "";
    const std::string text = WindowText(GetDlgItem(box, 0xFFFF));
    ClickAndWaitClosed(box, IDOK);
    return text;
}

bool EnterFileName(HWND fileDialog, const std::string& path) {
    HWND name = GetDlgItem(fileDialog, 0x47C);
    if (!name) return false;
    // WM_SETTEXT carries its text across processes.
    Send(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    return PostMessageA(fileDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(fileDialog, IDOK)));
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        uint8_t chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        fclose(f);
    }
    return bytes;
}

// ---- Halv ----------------------------------------------------------------------------------

Halv::~Halv() {
    if (running()) {
        TerminateProcess(process_.get(), 255);
        WaitForSingleObject(process_.get(), 5000);
    }
}

bool Halv::running() const {
    return process_.valid() && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool Halv::Start(const std::string& exePath, bool expectAdapters, std::string* error) {
    exePath_ = exePath;
    std::string line = "\"" + exePath + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const DWORD t0 = GetTickCount();
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        *error = "CreateProcess " + exePath + ": error " + std::to_string(GetLastError());
        return false;
    }
    process_.reset(info.hProcess);
    CloseHandle(info.hThread);
    pid_ = info.dwProcessId;

    for (;;) {
        if (!main_) main_ = FindDialog(pid_, kMainCaption);
        if (main_) {
            tree_ = GetDlgItem(main_, IDC_ADAPTER_TREE);
            list_ = GetDlgItem(main_, IDC_INFO_LIST);
            auto root = reinterpret_cast<HTREEITEM>(Send(tree_, TVM_GETNEXTITEM, TVGN_ROOT, 0));
            const bool ready = root && (!expectAdapters || Send(tree_, TVM_GETNEXTITEM, TVGN_CHILD,
                                                                reinterpret_cast<LPARAM>(root)));
            if (ready) break;
        }
        if (!running()) {
            *error = "HALV.exe ended before its window showed the tree";
            return false;
        }
        if (GetTickCount() - t0 > 60000) {
            *error = "HALV.exe showed no tree within 60 s";
            return false;
        }
        Sleep(10);
    }
    startToTreeMs_ = GetTickCount() - t0;
    return true;
}

bool Halv::WaitForExit(DWORD ms, DWORD* code) {
    if (!process_.valid() || WaitForSingleObject(process_.get(), ms) != WAIT_OBJECT_0) return false;
    DWORD exit = 0;
    GetExitCodeProcess(process_.get(), &exit);
    if (code) *code = exit;
    return true;
}

std::vector<TreeNode> Halv::Tree() {
    std::vector<TreeNode> nodes;
    RemoteBuffer remote(process_.get(), sizeof(TVITEMA) + kTextSize);
    if (!remote.valid()) return nodes;

    auto visit = [&](auto& self, HTREEITEM item, int depth) -> void {
        for (; item; item = reinterpret_cast<HTREEITEM>(
                         Send(tree_, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)))) {
            TVITEMA tv{};
            tv.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_IMAGE | TVIF_STATE;
            tv.hItem = item;
            tv.stateMask = TVIS_EXPANDED;
            tv.pszText = reinterpret_cast<char*>(remote.address(sizeof tv));
            tv.cchTextMax = kTextSize;
            const char zero = 0;
            remote.Write(&zero, 1, sizeof tv);
            remote.Write(&tv, sizeof tv);
            Send(tree_, TVM_GETITEMA, 0, static_cast<LPARAM>(remote.address()));
            remote.Read(&tv, sizeof tv);
            nodes.push_back({item, remote.ReadText(sizeof tv, kTextSize), tv.iImage,
                             (tv.state & TVIS_EXPANDED) != 0, depth});
            self(self,
                 reinterpret_cast<HTREEITEM>(
                     Send(tree_, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item))),
                 depth + 1);
        }
    };
    visit(visit, reinterpret_cast<HTREEITEM>(Send(tree_, TVM_GETNEXTITEM, TVGN_ROOT, 0)), 0);
    return nodes;
}

std::string Halv::TreeDump() {
    std::string out;
    for (const TreeNode& n : Tree())
        out += std::string(2 * n.depth, ' ') + n.text + " [" + std::to_string(n.image) + "]\n";
    return out;
}

HTREEITEM Halv::Selection() {
    return reinterpret_cast<HTREEITEM>(Send(tree_, TVM_GETNEXTITEM, TVGN_CARET, 0));
}

bool Halv::Select(HTREEITEM item) {
    return Send(tree_, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)) != 0;
}

HTREEITEM Halv::FindItem(const std::string& text) {
    for (const TreeNode& n : Tree())
        if (n.text == text) return n.item;
    return nullptr;
}

bool Halv::RightClick(HWND control, POINT at) {
    POINT screen = at;
    ClientToScreen(control, &screen);
    SetCursorPos(screen.x, screen.y);
    const LPARAM where = MAKELPARAM(at.x, at.y);
    return PostMessageA(control, WM_RBUTTONDOWN, MK_RBUTTON, where) &&
           PostMessageA(control, WM_RBUTTONUP, 0, where);
}

bool Halv::RightClickTreeItem(HTREEITEM item) {
    RemoteBuffer remote(process_.get(), sizeof(RECT));
    RECT rect{};
    // The control reads the item handle from the start of the rectangle.
    static_assert(sizeof item <= sizeof rect);
    memcpy(&rect, &item, sizeof item);
    if (!remote.Write(&rect, sizeof rect) ||
        !Send(tree_, TVM_GETITEMRECT, TRUE, static_cast<LPARAM>(remote.address())) ||
        !remote.Read(&rect, sizeof rect))
        return false;
    return RightClick(tree_, {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2});
}

std::vector<ListRow> Halv::Rows() {
    std::vector<ListRow> rows;
    RemoteBuffer remote(process_.get(), sizeof(LVITEMA) + kTextSize);
    if (!remote.valid()) return rows;
    const int count = static_cast<int>(Send(list_, LVM_GETITEMCOUNT, 0, 0));
    for (int r = 0; r < count; ++r) {
        ListRow row;
        std::string* cells[] = {&row.item, &row.value, &row.infoType};
        for (int c = 0; c < 3; ++c) {
            LVITEMA lv{};
            lv.iSubItem = c;
            lv.pszText = reinterpret_cast<char*>(remote.address(sizeof lv));
            lv.cchTextMax = kTextSize;
            const char zero = 0;
            remote.Write(&zero, 1, sizeof lv);
            remote.Write(&lv, sizeof lv);
            Send(list_, LVM_GETITEMTEXTA, r, static_cast<LPARAM>(remote.address()));
            *cells[c] = remote.ReadText(sizeof lv, kTextSize);
        }
        LVITEMA lv{};
        lv.mask = LVIF_IMAGE;
        lv.iItem = r;
        remote.Write(&lv, sizeof lv);
        Send(list_, LVM_GETITEMA, 0, static_cast<LPARAM>(remote.address()));
        remote.Read(&lv, sizeof lv);
        row.image = lv.iImage;
        rows.push_back(row);
    }
    return rows;
}

std::vector<ListColumn> Halv::Columns() {
    std::vector<ListColumn> columns;
    RemoteBuffer remote(process_.get(), sizeof(LVCOLUMNA) + kTextSize);
    if (!remote.valid()) return columns;
    for (int c = 0; c < 16; ++c) {
        LVCOLUMNA lv{};
        lv.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        lv.pszText = reinterpret_cast<char*>(remote.address(sizeof lv));
        lv.cchTextMax = kTextSize;
        const char zero = 0;
        remote.Write(&zero, 1, sizeof lv);
        remote.Write(&lv, sizeof lv);
        if (!Send(list_, LVM_GETCOLUMNA, c, static_cast<LPARAM>(remote.address()))) break;
        remote.Read(&lv, sizeof lv);
        columns.push_back(
            {remote.ReadText(sizeof lv, kTextSize), lv.cx, lv.fmt & LVCFMT_JUSTIFYMASK});
    }
    return columns;
}

int Halv::SelectedRow() {
    return static_cast<int>(Send(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

bool Halv::RightClickRow(int row) {
    RemoteBuffer remote(process_.get(), sizeof(RECT));
    RECT rect{};
    rect.left = LVIR_LABEL;
    if (!remote.Write(&rect, sizeof rect) ||
        !Send(list_, LVM_GETITEMRECT, row, static_cast<LPARAM>(remote.address())) ||
        !remote.Read(&rect, sizeof rect))
        return false;
    return RightClick(list_, {rect.left + 10, (rect.top + rect.bottom) / 2});
}

bool Halv::RightClickListBelowRows() {
    RECT client{};
    GetClientRect(list_, &client);
    return RightClick(list_, {client.right / 2, client.bottom - 4});
}

void Halv::Command(UINT id) {
    Send(main_, WM_COMMAND, id, 0);
}
void Halv::PostCommand(UINT id) {
    PostMessageA(main_, WM_COMMAND, id, 0);
}

// ---- Menus ---------------------------------------------------------------------------------

std::string Halv::MenuText(HMENU menu, const char* name) {
    std::string text;
    if (AppendMenuText(menu, 0, text)) return Prefixed(name, text);
    halvprobe::Block block{};
    block.question = halvprobe::kMenuText;
    block.arg[0] = reinterpret_cast<uintptr_t>(menu);
    if (!Ask(block)) return std::string(name) + "|<" + probeError_ + ">\n";
    return block.result ? Prefixed(name, block.text) : std::string(name) + "|<no menu>\n";
}

std::string Halv::Menus() {
    // GetMenu reads the window's own field, so it is right from any process.
    std::string out = MenuText(GetMenu(main_), "main");

    std::string system;
    if (AppendMenuText(GetSystemMenu(main_, FALSE), 0, system)) {
        out += Prefixed("system", system);
    } else {
        halvprobe::Block block{};
        block.question = halvprobe::kSystemMenuText;
        block.arg[0] = reinterpret_cast<uintptr_t>(main_);
        out += !Ask(block)    ? "system|<" + probeError_ + ">\n"
               : block.result ? Prefixed("system", block.text)
                              : std::string("system|<no menu>\n");
    }

    // The Card menu is HALV's own until it shows it: read it from the program's resources.
    std::string card = "<no resource>\n";
    if (HMODULE file = LoadLibraryExA(exePath_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
        if (HMENU menu = LoadMenuA(file, MAKEINTRESOURCEA(IDR_CARD_MENU))) {
            card.clear();
            AppendMenuText(menu, 0, card);
            DestroyMenu(menu);
        }
        FreeLibrary(file);
    }
    return out + Prefixed("card", card);
}

HWND Halv::Popup() {
    FindArgs args{pid_, nullptr, nullptr};
    EnumWindows(FindPopupProc, reinterpret_cast<LPARAM>(&args));
    return args.found;
}

std::string Halv::PopupText() {
    HWND popup = Popup();
    if (!popup) return "";
    return MenuText(reinterpret_cast<HMENU>(Send(popup, MN_GETHMENU, 0, 0)), "popup");
}

bool Halv::WaitForPopup(DWORD ms, bool shown) {
    const DWORD start = GetTickCount();
    while ((Popup() != nullptr) != shown) {
        if (GetTickCount() - start >= ms) return false;
        Sleep(20);
    }
    return true;
}

bool Halv::EndPopup() {
    HWND popup = Popup();
    if (!popup) return false;
    // The menu's own loop reads the keys of its thread, whichever window they are sent to.
    PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 1);
    PostMessageA(popup, WM_KEYUP, VK_ESCAPE, 0xC0000001);
    WaitForPopup(5000, false);
    return true;
}

bool Halv::ChooseCardCommand(HTREEITEM item, UINT id) {
    if (!RightClickTreeItem(item) || !WaitForPopup(5000)) return false;
    // The item's place in the menu, counted from the top.
    const std::string text = PopupText();
    const std::string key = "popup|0|" + std::to_string(id) + "|";
    int index = -1;
    size_t start = 0;
    for (int i = 0; start < text.size(); ++i) {
        if (text.compare(start, key.size(), key) == 0) index = i;
        start = text.find('\n', start);
        start = start == std::string::npos ? text.size() : start + 1;
    }
    HWND popup = Popup();
    if (index < 0 || !popup) {
        EndPopup();
        return false;
    }
    // Down to the item, then Enter: the menu posts the command to its owner as it closes.
    for (int i = 0; i <= index; ++i) {
        PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 1);
        PostMessageA(popup, WM_KEYUP, VK_DOWN, 0xC0000001);
    }
    PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 1);
    PostMessageA(popup, WM_CHAR, '\r', 1);
    PostMessageA(popup, WM_KEYUP, VK_RETURN, 0xC0000001);
    return WaitForPopup(5000, false);
}

// ---- The probe -------------------------------------------------------------------------------

bool Halv::LoadProbe() {
    if (probeAnswer_) return true;
    // The probe lies beside this program.
    char self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n);
    path = path.substr(0, path.find_last_of("\\/") + 1) + halvprobe::kDllName;

    // Where the export lies inside the DLL, from a copy mapped here without running it.
    HMODULE local = LoadLibraryExA(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!local) {
        probeError_ = "cannot map " + path + ": error " + std::to_string(GetLastError());
        return false;
    }
    const auto answer = reinterpret_cast<uintptr_t>(
        reinterpret_cast<void*>(GetProcAddress(local, halvprobe::kAnswerExport)));
    const uintptr_t answerOffset = answer ? answer - reinterpret_cast<uintptr_t>(local) : 0;
    FreeLibrary(local);
    if (!answerOffset) {
        probeError_ = path + " has no export " + halvprobe::kAnswerExport;
        return false;
    }

    // LoadLibraryA at the same offset inside HALV's kernel32 as inside this one.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const uintptr_t loadLibrary = reinterpret_cast<uintptr_t>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "LoadLibraryA")));
    const uintptr_t remoteKernel = ModuleBase(pid_, "kernel32.dll");
    if (!loadLibrary || !remoteKernel) {
        probeError_ = "no kernel32 in HALV.exe";
        return false;
    }
    RemoteBuffer name(process_.get(), path.size() + 1);
    DWORD loaded = 0;
    if (!name.Write(path.c_str(), path.size() + 1) ||
        !RunRemoteThread(process_.get(),
                         remoteKernel + (loadLibrary - reinterpret_cast<uintptr_t>(kernel)),
                         name.address(), &loaded) ||
        loaded == 0) {
        probeError_ = "HALV.exe did not load " + path;
        return false;
    }
    const uintptr_t base = ModuleBase(pid_, halvprobe::kDllName);
    if (!base) {
        probeError_ = "the probe is not among HALV.exe's modules";
        return false;
    }
    probeAnswer_ = base + answerOffset;
    return true;
}

bool Halv::Ask(halvprobe::Block& block) {
    if (!LoadProbe()) return false;
    RemoteBuffer remote(process_.get(), sizeof block);
    DWORD understood = 0;
    if (!remote.Write(&block, sizeof block) ||
        !RunRemoteThread(process_.get(), probeAnswer_, remote.address(), &understood) ||
        !remote.Read(&block, sizeof block)) {
        probeError_ = "the probe did not answer";
        return false;
    }
    if (!understood) {
        probeError_ = "the probe did not understand question " + std::to_string(block.question);
        return false;
    }
    block.text[sizeof block.text - 1] = '\0';
    return true;
}

bool Halv::DragIconIsWindowIcon() {
    halvprobe::Block block{};
    block.question = halvprobe::kDragIconIsWindowIcon;
    block.arg[0] = reinterpret_cast<uintptr_t>(main_);
    return Ask(block) && block.result == 1;
}

bool Halv::MinimisedPaint() {
    halvprobe::Block block{};
    block.question = halvprobe::kMinimisedPaint;
    block.arg[0] = reinterpret_cast<uintptr_t>(main_);
    return Ask(block) && block.result == 1;
}

std::string Halv::ImageLists() {
    halvprobe::Block block{};
    block.question = halvprobe::kImageLists;
    block.arg[0] = reinterpret_cast<uintptr_t>(tree_);
    block.arg[1] = reinterpret_cast<uintptr_t>(list_);
    if (!Ask(block)) return "<" + probeError_ + ">";
    return block.text;
}

}  // namespace halvgui
