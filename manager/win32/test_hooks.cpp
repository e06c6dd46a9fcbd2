#include "manager/win32/test_hooks.h"

#include <string.h>

#include <string>

#include "manager/core/resource_ids.h"
#include "manager/core/tables.h"
#include "manager/win32/app_context.h"
#include "manager/win32/test_query.h"

namespace {

UINT g_queryMessage = 0;

void DumpMenu(HMENU menu, const char* name, int depth, std::string& out) {
    const int count = menu ? GetMenuItemCount(menu) : 0;
    for (int i = 0; i < count; ++i) {
        char text[256] = {};
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = sizeof text - 1;
        if (!GetMenuItemInfoA(menu, i, TRUE, &info)) continue;
        std::string flags;
        if (info.fState & MFS_GRAYED) flags += 'G';
        if (info.fType & MFT_SEPARATOR) flags += 'S';
        out += std::string(name) + "|" + std::to_string(depth) + "|" +
               (info.hSubMenu ? std::string("-1") : std::to_string(info.wID)) + "|" + flags + "|" +
               std::string(text, strnlen(text, sizeof text)) + "\n";
        if (info.hSubMenu) DumpMenu(info.hSubMenu, name, depth + 1, out);
    }
}

// Whether `address` starts kTestQueryBufferSize bytes of committed, writable memory of this
// process: the address comes from another process and is checked before it is written.
bool WritableBuffer(LPARAM address) {
    MEMORY_BASIC_INFORMATION info = {};
    if (!address || VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) == 0)
        return false;
    constexpr DWORD kWritable =
        PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (info.State != MEM_COMMIT || !(info.Protect & kWritable) || (info.Protect & PAGE_GUARD))
        return false;
    const uintptr_t end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    return end > static_cast<uintptr_t>(address) &&
           end - static_cast<uintptr_t>(address) >= kTestQueryBufferSize;
}

LRESULT WriteText(LPARAM buffer, const std::string& text) {
    if (!WritableBuffer(buffer)) return 0;
    const size_t n =
        text.size() < kTestQueryBufferSize - 1 ? text.size() : kTestQueryBufferSize - 1;
    char* out = reinterpret_cast<char*>(buffer);
    memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<LRESULT>(n);
}

std::string DescribeImageList(const char* name, HIMAGELIST images) {
    if (!images) return std::string(name) + "|none\n";
    int cx = 0, cy = 0;
    ImageList_GetIconSize(images, &cx, &cy);
    IMAGEINFO info = {};
    const int count = ImageList_GetImageCount(images);
    const bool masked = count > 0 && ImageList_GetImageInfo(images, 0, &info) && info.hbmMask;
    return std::string(name) + "|" + std::to_string(count) + "|" + std::to_string(cx) + "x" +
           std::to_string(cy) + "|" + (masked ? "1" : "0") + "\n";
}

}  // namespace

void EnableTestQueries() {
    char value[8] = {};
    if (GetEnvironmentVariableA(HALV_TEST_HOOKS_VARIABLE, value, sizeof value) == 1 &&
        value[0] == '1')
        g_queryMessage = RegisterWindowMessageA(HALV_TEST_QUERY_MESSAGE);
}

bool AnswerTestQuery(HWND mainWindow, const fw::Message& m, LRESULT& result) {
    if (g_queryMessage == 0 || m.msg != g_queryMessage) return false;
    const HalvRefs& refs = Refs();
    const halv::ManagerTables& t = Tables();
    result = 0;
    switch (m.wParam) {
        case kTestQueryMenus: {
            std::string text;
            DumpMenu(GetMenu(mainWindow), "main", 0, text);
            DumpMenu(GetSystemMenu(mainWindow, FALSE), "system", 0, text);
            DumpMenu(refs.cardMenu, "card", 0, text);
            result = WriteText(m.lParam, text);
            break;
        }
        case kTestQueryOpenPopup:
            if (refs.openPopup) {
                std::string text;
                DumpMenu(refs.openPopup, "popup", 0, text);
                result = WriteText(m.lParam, text);
            }
            break;
        case kTestQueryEndPopup:
            if (refs.openPopup) {
                EndMenu();
                result = 1;
            }
            break;
        case kTestQuerySelection:
            result = t.SelectedController | (t.SelectedPort << 8) | (t.SelectedDevice << 16);
            break;
        case kTestQueryTransferModeCode: {
            const unsigned a = m.lParam & 0xFF, p = (m.lParam >> 8) & 0xFF,
                           d = (m.lParam >> 16) & 0xFF;
            if (a < halv::kMaxAdapters && p < halv::kMaxPorts && d < halv::kMaxDevicesPerPort)
                result = static_cast<uint8_t>(t.DeviceEntries[a][p][d].TransferModeCode);
            break;
        }
        case kTestQueryDragIcon: {
            const LRESULT drag = SendMessageA(mainWindow, WM_QUERYDRAGICON, 0, 0);
            result = drag != 0 && drag == SendMessageA(mainWindow, WM_GETICON, ICON_BIG, 0);
            break;
        }
        case kTestQueryMinimisedPaint: {
            ShowWindow(mainWindow, SW_MINIMIZE);
            const bool iconic = IsIconic(mainWindow);
            RedrawWindow(mainWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
            ShowWindow(mainWindow, SW_RESTORE);
            result = iconic ? 1 : 0;
            break;
        }
        case kTestQueryImageLists: {
            std::string text;
            const HWND tree = GetDlgItem(mainWindow, IDC_ADAPTER_TREE);
            const HWND list = GetDlgItem(mainWindow, IDC_INFO_LIST);
            text += DescribeImageList("tree", reinterpret_cast<HIMAGELIST>(SendMessageA(
                                                  tree, TVM_GETIMAGELIST, TVSIL_NORMAL, 0)));
            text += DescribeImageList("list", reinterpret_cast<HIMAGELIST>(SendMessageA(
                                                  list, LVM_GETIMAGELIST, LVSIL_SMALL, 0)));
            result = WriteText(m.lParam, text);
            break;
        }
        default:
            break;
    }
    return true;
}
