// The transfer-mode dialog's logic: the modes it offers for a device, from the
// TransferModeCode that the information list wrote when it showed the device, and what its OK
// sends to the device.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "channel/miniport_channel.h"
#include "manager/core/tables.h"
#include "manager/core/ui.h"

namespace halv {

// code > 0 (UDMA n): "UDMA-n" .. "UDMA-0", then "DMA-2", "DMA-1", "DMA-0".
// code < 0 (multiword DMA -code): "DMA-<-code>" .. "DMA-0". code 0: nothing (PIO only).
std::vector<std::string> DmaModeChoices(int8_t code);

// The PIO list, as the dialog's template fills it: index i is PIO mode 4 - i.
inline constexpr int kPioModeChoices = 5;

// The TransferModeCode of the device the list shows (SelectedController/Port/Device).
int8_t SelectedTransferModeCode(const ManagerTables& tables);

// OK of the dialog, with the DMA and PIO lists' selection indices (-1: none). Sends the DMA
// choice, then the PIO choice, to the selected device (a failure of the first does not stop
// the second), records the mode set in ChosenModeNumbers where the list will show it, and
// reports the outcome once. No selection in either list: nothing is sent or shown. A device
// selection outside the tables sends nothing and reports any choice as failed.
void ApplyTransferModeChoice(ManagerTables& tables, channel::MiniportChannel& channel,
                             MessageBoxes& messages, int dmaSelection, int pioSelection);

}  // namespace halv
