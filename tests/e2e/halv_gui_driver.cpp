#include "halv_gui_driver.h"

#include <commctrl.h>

#include <string.h>

#include "manager/core/resource_ids.h"
#include "manager/win32/test_query.h"

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
    SetEnvironmentVariableA(HALV_TEST_HOOKS_VARIABLE, "1");
    queryMessage_ = RegisterWindowMessageA(HALV_TEST_QUERY_MESSAGE);

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

bool Halv::ChooseCardCommand(HTREEITEM item, UINT id) {
    if (!RightClickTreeItem(item)) return false;
    std::string popup;
    for (int i = 0; i < 250 && popup.empty(); ++i, Sleep(20))
        popup = QueryText(kTestQueryOpenPopup);
    if (popup.empty()) return false;
    // The menu posts the chosen command to its owner once it has closed; so does this.
    Query(kTestQueryEndPopup);
    for (int i = 0; i < 100 && !QueryText(kTestQueryOpenPopup).empty(); ++i) Sleep(20);
    return PostMessageA(tree_, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

void Halv::Command(UINT id) {
    Send(main_, WM_COMMAND, id, 0);
}
void Halv::PostCommand(UINT id) {
    PostMessageA(main_, WM_COMMAND, id, 0);
}

LRESULT Halv::Query(int what, LPARAM arg) {
    return Send(main_, queryMessage_, what, arg);
}

std::string Halv::QueryText(int what) {
    RemoteBuffer remote(process_.get(), kTestQueryBufferSize);
    const char zero = 0;
    remote.Write(&zero, 1);
    if (!Query(what, static_cast<LPARAM>(remote.address()))) return "";
    return remote.ReadText(0, kTestQueryBufferSize);
}

}  // namespace halvgui
