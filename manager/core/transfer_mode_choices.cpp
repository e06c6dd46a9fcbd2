#include "manager/core/transfer_mode_choices.h"

#include <optional>

#include "manager/core/resource_ids.h"

namespace halv {

namespace {

// Kinds of SetTransferMode.
constexpr int kKindPio = 0;
constexpr int kKindMultiwordDma = 1;
constexpr int kKindUdma = 2;
constexpr int kMultiwordDmaChoices = 3;  // DMA-2, DMA-1, DMA-0 after a device's UDMA modes

struct Selected {
    uint8_t controller, port, device;
};

// The device the list shows, or nothing when the selection names no device of the tables: a
// SET FEATURES must never reach a device the user did not pick.
std::optional<Selected> SelectedDevice(const ManagerTables& tables) {
    if (tables.SelectedController >= kMaxAdapters || tables.SelectedPort >= kMaxPorts ||
        tables.SelectedDevice >= kMaxDevicesPerPort)
        return std::nullopt;
    return Selected{tables.SelectedController, tables.SelectedPort, tables.SelectedDevice};
}

}  // namespace

std::vector<std::string> DmaModeChoices(int8_t code) {
    std::vector<std::string> choices;
    if (code > 0) {
        for (int m = code; m >= 0; --m) choices.push_back("UDMA-" + std::to_string(m));
        for (int m = 2; m >= 0; --m) choices.push_back("DMA-" + std::to_string(m));
    } else if (code < 0) {
        for (int m = -static_cast<int>(code); m >= 0; --m)
            choices.push_back("DMA-" + std::to_string(m));
    }
    return choices;
}

int8_t SelectedTransferModeCode(const ManagerTables& tables) {
    const std::optional<Selected> s = SelectedDevice(tables);
    if (!s) return 0;  // no device: only the PIO list, and its OK is refused
    return tables.DeviceEntries[s->controller][s->port][s->device].TransferModeCode;
}

void ApplyTransferModeChoice(ManagerTables& tables, channel::MiniportChannel& channel,
                             MessageBoxes& messages, int dmaSelection, int pioSelection) {
    const std::optional<Selected> s = SelectedDevice(tables);
    const int code = SelectedTransferModeCode(tables);
    uint8_t unused = 0;
    uint8_t& chosen = s ? tables.ChosenModeNumbers[s->controller][s->port][s->device] : unused;
    // Without a device every choice counts as a failed request and nothing is sent.
    auto send = [&](int kind, int mode) {
        return s && channel.SetTransferMode(s->controller, s->port, s->device, kind,
                                            static_cast<uint8_t>(mode)) == 0;
    };

    bool tried = false, failed = false;
    // Only indices the lists can hold: anything else would make a mode number out of range.
    const int dmaChoices = static_cast<int>(DmaModeChoices(static_cast<int8_t>(code)).size());
    if (dmaSelection >= 0 && dmaSelection < dmaChoices) {
        tried = true;
        if (code <= 0) {
            const int m = -code - dmaSelection;
            if (send(kKindMultiwordDma, m))
                chosen = static_cast<uint8_t>(m);
            else
                failed = true;
        } else if (dmaSelection <= code) {
            const int m = code - dmaSelection;
            if (send(kKindUdma, m))
                chosen = static_cast<uint8_t>(m);
            else
                failed = true;
        } else {
            // A multiword DMA mode on a UDMA device: the list keeps showing its UDMA mode.
            const int m = code + kMultiwordDmaChoices - dmaSelection;
            if (!send(kKindMultiwordDma, m)) failed = true;
        }
    }
    if (pioSelection >= 0 && pioSelection < kPioModeChoices) {
        tried = true;
        const int m = kPioModeChoices - 1 - pioSelection;
        if (!send(kKindPio, m))
            failed = true;
        else if (code == 0)
            chosen = static_cast<uint8_t>(m);
    }
    if (tried) messages.Show(failed ? IDS_TRANSFER_MODE_FAILED : IDS_TRANSFER_MODE_SET);
}

}  // namespace halv
