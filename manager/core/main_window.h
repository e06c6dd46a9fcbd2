// What the main window decides for itself, apart from the controls it runs on: expanding and
// collapsing the adapter tree, the queued-command menu items, the system-menu About item and
// where the icon goes while the window is minimised.
#pragma once

#include <stdint.h>

#include <string>

#include "manager/core/ui.h"

namespace halv {

inline constexpr int kTreeExpand = 1;
inline constexpr int kTreeCollapse = 2;

// Mode 1 expands, mode 2 collapses the adapters and ports below the root. The root itself is
// expanded in both modes; disk items keep whatever state they had. A root without children
// (no adapter found) is left alone.
void ExpandTree(TreeView& tree, int mode);

// Enables "Enable  TCQ/NCQ" and "Disable  TCQ/NCQ" to match the queued-command setting just
// read: 0 = off, 6 = unreadable (the items keep their state), anything else = on.
void UpdateQueuedCommandMenu(MenuItems& menu, uint8_t setting);

// The system menu gets a separator and the About item only when it exists and the item's text
// loaded to something.
bool ShouldAddAboutToSystemMenu(bool systemMenuExists, const std::string& aboutText);

// Whether a WM_SYSCOMMAND id is the About item. The low four bits of system-command ids are
// used by the system itself, so they are ignored.
bool IsAboutSystemCommand(unsigned commandId);

struct Point {
    int x = 0, y = 0;
};

// Where the icon is drawn in the client area of the minimised window: centred, rounding the
// odd pixel to the right and down.
Point MinimisedIconPosition(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

}  // namespace halv
