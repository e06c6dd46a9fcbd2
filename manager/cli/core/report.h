// What halvctl prints of an inventory: the adapter tree, HALV's information-list rows, the
// JSON document and the health lines with their exit code. Every value comes from the
// readings (readings.h): where a request failed the text shows "Temporarily Unknown", the
// document null, and the failure is added to the caller's Unknowns.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "manager/cli/core/inventory.h"
#include "manager/cli/core/readings.h"
#include "manager/core/info_list.h"

namespace halvctl {

// The tree as indented text, two blanks a level, with HALV's labels; adapters carry their
// number and SCSI port in front ("0 scsi1 Velo300 Duo Plus"), devices their address
// ("0/0/0 KESTREL KD160S").
std::string ListText(Inventory& inventory);

// The rows HALV's information list shows for this adapter or device, with the same labels
// and texts, the values asked afresh; an adapter's rows end with its SCSI port. What could
// not be read shows HALV's "Temporarily Unknown" and is added to `unknowns`.
std::vector<halv::InfoRow> Rows(Inventory& inventory, const Address& address,
                                Unknowns* unknowns = nullptr);
// "Label: value" lines, the label without its leading blank, the values aligned.
std::string RowsText(const std::vector<halv::InfoRow>& rows);
// The rows of one adapter or device, or, without an address, of every adapter and device in
// tree order, each under its list line.
std::string ShowText(Inventory& inventory, const std::optional<Address>& address,
                     Unknowns* unknowns = nullptr);

// Where and when a document was made.
struct DocumentFacts {
    std::string toolVersion;
    std::string host;
    std::string collectedAt;  // RFC 3339, UTC
};
// "2026-12-09T13:07:41Z".
std::string Rfc3339Utc(std::chrono::system_clock::time_point when);

// The JSON document (docs/halvctl.schema.json, schema_version 2): every adapter, its ports and
// devices, or only the branch that leads to `address`; null wherever a request failed. Texts
// that are not UTF-8 have their odd bytes replaced.
std::string JsonDocument(Inventory& inventory, const std::optional<Address>& address,
                         const DocumentFacts& facts, Unknowns* unknowns = nullptr);

struct HealthReport {
    int exitCode = 0;
    // A summary line in the monitoring plug-ins' style ("OK: ...", "CRITICAL: ...",
    // "UNKNOWN: ..."), then one line per device with its serial, and per adapter, device slot
    // or port that could not be read.
    std::string text;
};
HealthReport CheckHealth(Inventory& inventory);

// "adapter 0 (scsi1, Velo300 Duo Plus)": what a command that writes names as its target.
std::string AdapterTarget(Inventory& inventory, int a);

}  // namespace halvctl
