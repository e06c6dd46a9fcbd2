#include "manager/core/tree_events.h"

namespace halv {

void OnTreeSelectionChanged(ManagerTables& tables, const TreeView& tree, ListView& list,
                            InfoListFiller& filler) {
    if (list.RowCount() > 0) list.DeleteAllRows();

    // Absent adapters and devices have null items, so a null selection must match nothing.
    const TreeItem selection = tree.Selection();
    if (selection == kNoItem) return;

    for (const ControllerEntry& entry : tables.ControllerEntries) {
        if (entry.Item == selection) {
            filler.ShowControllerInfo(entry.Controller);
            return;
        }
    }
    for (int a = 0; a < kMaxAdapters; ++a)
        for (int p = 0; p < kMaxPorts; ++p)
            for (int d = 0; d < kMaxDevicesPerPort; ++d) {
                const DeviceEntry& entry = tables.DeviceEntries[a][p][d];
                if (entry.Item != selection) continue;
                tables.SelectedController = static_cast<uint8_t>(a);
                tables.SelectedPort = static_cast<uint8_t>(p);
                tables.SelectedDevice = static_cast<uint8_t>(d);
                filler.ShowDeviceInfo(entry.Controller, entry.Port, entry.Device);
                return;
            }
}

std::optional<uint8_t> CardMenuAdapter(ManagerTables& tables, const TreeView& tree) {
    const TreeItem selection = tree.Selection();
    if (selection == kNoItem) return std::nullopt;
    for (int a = 0; a < kMaxAdapters; ++a) {
        if (tables.ControllerEntries[a].Item == selection) {
            tables.SelectedController = static_cast<uint8_t>(a);
            return static_cast<uint8_t>(a);
        }
    }
    return std::nullopt;
}

}  // namespace halv
