// The test-only query that the end-to-end tests send to the main window. Menus cannot be read
// from another process, so the window answers for them itself, and only when the program was
// started with HALV_TEST_HOOKS=1 in its environment.
//
// Send the registered message kTestQueryMessage to the main window with one of the queries
// below as wParam. Queries that return text take in lParam the address of a buffer of
// kTestQueryBufferSize bytes inside the program's own address space (VirtualAllocEx) and
// return the length written; the text is zero-terminated.
#pragma once

#define HALV_TEST_QUERY_MESSAGE "HALV.TestQuery.1"
#define HALV_TEST_HOOKS_VARIABLE "HALV_TEST_HOOKS"

enum HalvTestQuery {
    // The main menu, the system menu and the Card menu as text, one item per line:
    // "<menu>|<depth>|<id>|<flags>|<text>", menu being main, system or card, id -1 for a
    // popup, flags G (grayed), S (separator) or empty.
    kTestQueryMenus = 1,
    // The popup menu being shown, in the same form with menu "popup"; 0 when none is shown.
    kTestQueryOpenPopup = 2,
    // Closes the popup menu being shown. Returns 1 when one was shown.
    kTestQueryEndPopup = 3,
    // SelectedController | SelectedPort << 8 | SelectedDevice << 16.
    kTestQuerySelection = 4,
    // TransferModeCode of the device at (lParam & 0xFF, lParam >> 8 & 0xFF, lParam >> 16 & 0xFF),
    // as an unsigned byte.
    kTestQueryTransferModeCode = 5,
    // 1 when the window answers WM_QUERYDRAGICON with its own large icon (Wine does not carry
    // that message between processes, so the window asks itself).
    kTestQueryDragIcon = 6,
    // Minimises the window, has it paint itself at once and restores it. 1 when it was
    // minimised while it painted. (A window manager would do the minimising; under Wine
    // without one, a minimise from outside is undone or ignored unpredictably.)
    kTestQueryMinimisedPaint = 7,
    // The image lists of the tree (normal) and the list (small icons), one line each:
    // "<tree|list>|<count>|<width>x<height>|<masked 1 or 0>"; "<tree|list>|none" when absent.
    kTestQueryImageLists = 8,
};

enum { kTestQueryBufferSize = 8192 };
