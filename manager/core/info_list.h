// The information list: the rows shown for the adapter or device selected in the tree, and the
// list's one interaction, the right-click that opens the transfer-mode dialog.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "channel/miniport_channel.h"
#include "manager/core/tables.h"
#include "manager/core/ui.h"

namespace halv {

// Small images of the list.
inline constexpr int kListImageInfo = 0;  // a page with a bar chart
inline constexpr int kListImageHand = 1;  // a raised hand: the row that can be changed

inline constexpr int kColumnValue = 1;
inline constexpr int kColumnInfoType = 2;

inline constexpr char kTransferModeLabel[] = " Transfer Mode";

// The chip of an adapter by its PCI device id (the whole 32-bit value); "Unknow" when unlisted.
std::string ChipNameFor(uint32_t pciDeviceId);

struct TransferMode {
    std::string text;  // "UDMA-n", "DMA-n" or "PIO-n"
    int8_t code = 0;   // n > 0: UDMA mode n; -n: multiword DMA mode n; 0: neither
};

// The transfer-mode row of a device from its highest modes (255 = none) and the mode last set
// through the transfer-mode dialog (0 = none), which is shown in place of the device's own.
TransferMode TransferModeOf(uint8_t pioMode, uint8_t dmaMode, uint8_t udmaMode, uint8_t chosen);

// "Functional", "Predictive Error" or "Temporarily Unknown" for any other state.
std::string SmartStateText(uint8_t smartState);

struct InfoRow {
    std::string item;
    std::string value;
    std::string infoType;
    int image = kListImageInfo;
};

// The enclosure rows for a QueryEnclosure result and the texts it produced.
std::vector<InfoRow> EnclosureRows(int result, const channel::EnclosureTexts& texts);

// "LBA = <sectors> ,  <G> GB", G being decimal gigabytes of 512-byte sectors, truncated.
std::string CapacityText(uint32_t sectors);

// Fills the list. It has no window of its own; it writes through the list it is attached to
// (nothing is written before that). The requests it sends (BIOS version, S.M.A.R.T. state,
// enclosure) are fresh each time.
class InfoListFiller {
  public:
    InfoListFiller(ManagerTables& tables, channel::MiniportChannel& channel,
                   ListView* list = nullptr)
        : tables_(tables), channel_(channel), list_(list) {}

    void AttachList(ListView* list) { list_ = list; }

    // The four adapter rows: model, chip, BIOS version, driver version.
    void ShowControllerInfo(uint8_t controller);
    // The device rows and, for a disk in a drive enclosure, the enclosure rows. Writes the
    // device's TransferModeCode, which the transfer-mode dialog reads.
    void ShowDeviceInfo(uint8_t controller, uint8_t port, uint8_t device);

  private:
    void AddRow(const InfoRow& row);

    ManagerTables& tables_;
    channel::MiniportChannel& channel_;
    ListView* list_;
};

// A right-click on the list opens the transfer-mode dialog only when the selected row is the
// transfer-mode row.
bool ListRightClickOpensTransferMode(const ListView& list);

}  // namespace halv
