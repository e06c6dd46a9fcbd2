#include "manager/core/main_window.h"

#include "manager/core/resource_ids.h"

namespace halv {

namespace {

void ExpandOrCollapse(TreeView& tree, TreeItem item, int mode) {
    if (mode == kTreeExpand)
        tree.Expand(item);
    else if (mode == kTreeCollapse)
        tree.Collapse(item);
}

}  // namespace

void ExpandTree(TreeView& tree, int mode) {
    const TreeItem root = tree.Root();
    if (root == kNoItem || tree.FirstChild(root) == kNoItem) return;

    tree.Expand(root);
    for (TreeItem adapter = tree.FirstChild(root); adapter != kNoItem;
         adapter = tree.NextSibling(adapter)) {
        const TreeItem firstPort = tree.FirstChild(adapter);
        if (firstPort == kNoItem) continue;
        ExpandOrCollapse(tree, adapter, mode);
        for (TreeItem port = firstPort; port != kNoItem; port = tree.NextSibling(port))
            if (tree.FirstChild(port) != kNoItem) ExpandOrCollapse(tree, port, mode);
    }
}

void UpdateQueuedCommandMenu(MenuItems& menu, uint8_t setting) {
    if (setting == kQueuedCommandUnreadable) return;
    const bool on = setting != 0;
    menu.SetEnabled(ID_OPTION_DISABLE_TCQ, on);
    menu.SetEnabled(ID_OPTION_ENABLE_TCQ, !on);
}

bool ShouldAddAboutToSystemMenu(bool systemMenuExists, const std::string& aboutText) {
    return systemMenuExists && !aboutText.empty();
}

bool IsAboutSystemCommand(unsigned commandId) {
    return (commandId & ~0xFu) == IDM_ABOUTBOX;
}

Point MinimisedIconPosition(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
    return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

}  // namespace halv
