// The probe: a DLL that only the GUI end-to-end tests load into a running HALV.exe, for what
// only HALV's own process can answer (its menus, its image lists, messages the system does
// not carry between processes). HALV itself knows nothing of it.
//
// The test loads the DLL with a remote thread on LoadLibraryA, writes a Block into a page it
// allocates in HALV (VirtualAllocEx), and runs the export kAnswerExport on a second remote
// thread with the block's address as its parameter. The probe writes its answer into the same
// block; the thread's exit code is 1 when the question was understood.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace halvprobe {

inline constexpr char kDllName[] = "halv_probe.dll";
inline constexpr char kAnswerExport[] = "HalvProbeAnswer";

enum Question : uint32_t {
    // The items of menu arg[0] (an HMENU of HALV's process) as text, see AppendMenuText.
    // result: 1, or 0 when arg[0] is no menu there.
    kMenuText = 1,
    // The items of the system menu of window arg[0]. result as kMenuText.
    kSystemMenuText = 2,
    // result: 1 when window arg[0] answers WM_QUERYDRAGICON with its own large icon.
    kDragIconIsWindowIcon = 3,
    // Minimises window arg[0], has it paint itself at once and restores it; result: 1 when it
    // was minimised while it painted. (Without a window manager a minimise from outside is
    // undone or ignored unpredictably under Wine.)
    kMinimisedPaint = 4,
    // The normal image list of tree arg[0] and the small one of list arg[1], one line each:
    // "<tree|list>|<count>|<width>x<height>|<masked 1 or 0>", or "<tree|list>|none".
    kImageLists = 5,
};

inline constexpr size_t kBlockSize = 16384;

// One question and its answer. Both sides are built by the same compiler for the same
// processor, so the layout is the same on both; it is pinned below all the same.
struct Block {
    uint32_t question;
    uint32_t textLength;  // answer: bytes of text, without the terminating zero
    uint64_t arg[2];
    int64_t result;
    char text[kBlockSize - 32];  // answer: zero-terminated
};
static_assert(offsetof(Block, arg) == 8 && offsetof(Block, result) == 24 &&
              offsetof(Block, text) == 32 && sizeof(Block) == kBlockSize);

}  // namespace halvprobe
