// The modes the transfer-mode dialog offers for a device, from the TransferModeCode that the
// information list wrote when it showed the device.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace halv {

// code > 0 (UDMA n): "UDMA-n" .. "UDMA-0", then "DMA-2", "DMA-1", "DMA-0".
// code < 0 (multiword DMA -code): "DMA-<-code>" .. "DMA-0". code 0: nothing (PIO only).
std::vector<std::string> DmaModeChoices(int8_t code);

}  // namespace halv
