// The probe DLL (see halv_probe.h): loaded into HALV.exe by the GUI end-to-end tests alone,
// it answers on a thread of its own what only HALV's process can see.
#include "halv_probe.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <string.h>

#include <string>

#include "halv_menu_text.h"

namespace {

using halvprobe::Block;

void PutText(Block& block, const std::string& text) {
    const size_t n = text.size() < sizeof block.text - 1 ? text.size() : sizeof block.text - 1;
    memcpy(block.text, text.data(), n);
    block.text[n] = '\0';
    block.textLength = static_cast<uint32_t>(n);
}

template <typename T>
T Handle(uint64_t value) {
    return reinterpret_cast<T>(static_cast<uintptr_t>(value));
}

// The image-list functions of the common-controls library that made `control`: HALV may run
// with another version of the library than a plain import of this DLL would find.
struct ImageListCalls {
    int(WINAPI* count)(HIMAGELIST) = nullptr;
    BOOL(WINAPI* iconSize)(HIMAGELIST, int*, int*) = nullptr;
    BOOL(WINAPI* imageInfo)(HIMAGELIST, int, IMAGEINFO*) = nullptr;
    bool valid() const { return count && iconSize && imageInfo; }
};

ImageListCalls CallsFor(HWND control) {
    ImageListCalls calls;
    HMODULE library = nullptr;
    const auto proc = reinterpret_cast<LPCWSTR>(GetClassLongPtrW(control, GCLP_WNDPROC));
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            proc, &library))
        library = GetModuleHandleA("comctl32.dll");
    if (!library) return calls;
    calls.count = reinterpret_cast<decltype(calls.count)>(
        reinterpret_cast<void*>(GetProcAddress(library, "ImageList_GetImageCount")));
    calls.iconSize = reinterpret_cast<decltype(calls.iconSize)>(
        reinterpret_cast<void*>(GetProcAddress(library, "ImageList_GetIconSize")));
    calls.imageInfo = reinterpret_cast<decltype(calls.imageInfo)>(
        reinterpret_cast<void*>(GetProcAddress(library, "ImageList_GetImageInfo")));
    return calls;
}

std::string DescribeImageList(const char* name, HWND control, HIMAGELIST images) {
    if (!images) return std::string(name) + "|none\n";
    const ImageListCalls calls = CallsFor(control);
    if (!calls.valid()) return std::string(name) + "|no image-list functions\n";
    int cx = 0, cy = 0;
    calls.iconSize(images, &cx, &cy);
    IMAGEINFO info = {};
    const int count = calls.count(images);
    const bool masked = count > 0 && calls.imageInfo(images, 0, &info) && info.hbmMask;
    return std::string(name) + "|" + std::to_string(count) + "|" + std::to_string(cx) + "x" +
           std::to_string(cy) + "|" + (masked ? "1" : "0") + "\n";
}

bool Answer(Block& block) {
    block.result = 0;
    block.textLength = 0;
    block.text[0] = '\0';
    switch (block.question) {
        case halvprobe::kMenuText: {
            std::string text;
            block.result = halvgui::AppendMenuText(Handle<HMENU>(block.arg[0]), 0, text) ? 1 : 0;
            PutText(block, text);
            return true;
        }
        case halvprobe::kSystemMenuText: {
            std::string text;
            HMENU system = GetSystemMenu(Handle<HWND>(block.arg[0]), FALSE);
            block.result = halvgui::AppendMenuText(system, 0, text) ? 1 : 0;
            PutText(block, text);
            return true;
        }
        case halvprobe::kDragIconIsWindowIcon: {
            HWND window = Handle<HWND>(block.arg[0]);
            const LRESULT drag = SendMessageA(window, WM_QUERYDRAGICON, 0, 0);
            block.result = drag != 0 && drag == SendMessageA(window, WM_GETICON, ICON_BIG, 0);
            return true;
        }
        case halvprobe::kMinimisedPaint: {
            HWND window = Handle<HWND>(block.arg[0]);
            ShowWindow(window, SW_MINIMIZE);
            const bool iconic = IsIconic(window);
            RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
            ShowWindow(window, SW_RESTORE);
            block.result = iconic ? 1 : 0;
            return true;
        }
        case halvprobe::kImageLists: {
            HWND tree = Handle<HWND>(block.arg[0]);
            HWND list = Handle<HWND>(block.arg[1]);
            std::string text = DescribeImageList("tree", tree,
                                                 reinterpret_cast<HIMAGELIST>(SendMessageA(
                                                     tree, TVM_GETIMAGELIST, TVSIL_NORMAL, 0)));
            text += DescribeImageList(
                "list", list,
                reinterpret_cast<HIMAGELIST>(SendMessageA(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0)));
            block.result = 1;
            PutText(block, text);
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI HalvProbeAnswer(void* parameter) {
    if (!parameter) return 0;
    return Answer(*static_cast<Block*>(parameter)) ? 1 : 0;
}
