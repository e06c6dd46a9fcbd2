// What halvctl prints of an inventory: the adapter tree, HALV's information-list rows, the
// JSON document and the health lines with their exit code.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manager/cli/core/inventory.h"
#include "manager/core/info_list.h"

namespace halvctl {

// The tree as indented text, two blanks a level, with HALV's labels; adapters and devices
// carry their address in front ("0 Velo300 Duo Plus", "0/0/0 KESTREL KD160S").
std::string ListText(Inventory& inventory);

// The rows HALV's information list shows for this adapter or device, filled by HALV's own
// list filler (with its fresh BIOS, S.M.A.R.T. and enclosure requests).
std::vector<halv::InfoRow> Rows(Inventory& inventory, const Address& address);
// "Label: value" lines, the label without its leading blank, the values aligned.
std::string RowsText(const std::vector<halv::InfoRow>& rows);
// The rows of one adapter or device, or, without an address, of every adapter and device in
// tree order, each under its list line.
std::string ShowText(Inventory& inventory, const std::optional<Address>& address);

// The JSON document (docs/halvctl.schema.json): every adapter, its ports and devices, or only
// the branch that leads to `address`. Texts that are not UTF-8 have their odd bytes replaced.
std::string JsonDocument(Inventory& inventory, const std::optional<Address>& address);

struct HealthReport {
    int exitCode = 0;
    std::string text;  // one line per device, and per adapter or slot that could not be read
};
HealthReport CheckHealth(Inventory& inventory);

}  // namespace halvctl
