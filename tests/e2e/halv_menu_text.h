// A menu as text, one item per line, "<depth>|<id>|<flags>|<text>": id -1 for a popup, flags G
// (grayed) and S (separator) or none; popups are followed by their items at depth + 1. Used
// by the GUI test driver on menus it can read itself and by the probe inside HALV.exe.
#pragma once

#include <windows.h>

#include <string.h>

#include <string>

namespace halvgui {

// False when `menu` is not a menu this process can read.
inline bool AppendMenuText(HMENU menu, int depth, std::string& out) {
    const int count = menu ? GetMenuItemCount(menu) : -1;
    if (count < 0) return false;
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
        out += std::to_string(depth) + "|" +
               (info.hSubMenu ? std::string("-1") : std::to_string(info.wID)) + "|" + flags + "|" +
               std::string(text, strnlen(text, sizeof text)) + "\n";
        if (info.hSubMenu) AppendMenuText(info.hSubMenu, depth + 1, out);
    }
    return true;
}

}  // namespace halvgui
