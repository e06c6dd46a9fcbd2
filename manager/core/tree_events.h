// What the adapter tree does when its selection changes and when it is right-clicked.
#pragma once

#include <stdint.h>

#include <optional>

#include "manager/core/info_list.h"
#include "manager/core/tables.h"
#include "manager/core/ui.h"

namespace halv {

// Empties the list, then fills it for the selected adapter or device. A device first becomes
// the selected device (SelectedController/Port/Device). The root, a port or no selection leave
// the list empty.
void OnTreeSelectionChanged(ManagerTables& tables, const TreeView& tree, ListView& list,
                            InfoListFiller& filler);

// The adapter whose Card menu a right-click opens: the adapter that is the tree's current
// selection (not the item under the cursor), which also becomes SelectedController. Nothing
// when the selection is not an adapter.
std::optional<uint8_t> CardMenuAdapter(ManagerTables& tables, const TreeView& tree);

}  // namespace halv
