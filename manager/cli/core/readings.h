// What halvctl knows of an adapter, a device or an enclosure, asked afresh: each value a
// request gave, or nothing where the request failed. The text, the JSON document, health and
// any other report read these and only these, so that one rule holds everywhere: a value whose
// request failed is unknown (null, "Temporarily Unknown", exit 2 for health), never a value.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "channel/miniport_channel.h"
#include "manager/cli/core/inventory.h"

namespace halvctl {

// A value a request gave; std::nullopt when the request failed or its answer means nothing.
template <class T>
using Known = std::optional<T>;

// A device's S.M.A.R.T. state, from a fresh MPCMD_GET_SMART_STATUS. HALV's discovery keeps
// only "supported" and "enabled" flags, which a failed request leaves clear, so a device that
// shows neither is asked again here: "not supported" must come from the device.
enum class SmartHealth { kNotSupported, kNotEnabled, kFunctional, kPredictiveError, kUnknown };
struct SmartReading {
    Known<uint8_t> state;  // SmartState as the device answered; nullopt: the request failed
    SmartHealth health = SmartHealth::kUnknown;
    bool known() const { return health != SmartHealth::kUnknown; }
};
SmartReading ReadSmart(Inventory& inventory, int a, int p, int d);
// "Functional", "Predictive Error", "S.M.A.R.T. not supported", "S.M.A.R.T. not enabled" or
// "Temporarily Unknown", as HALV words them.
std::string SmartHealthText(SmartHealth health);

// The enclosure on one port, from a fresh MPCMD_GET_ENCLOSURE_STATUS.
struct EnclosureReading {
    bool known = false;    // the request answered
    bool present = false;  // an enclosure type other than none (0) and absent (255)
    int result = channel::kEnclosureFailed;  // EnclosureTextsOf's result when known
    channel::EnclosureTexts texts;
    std::vector<uint8_t> reply;  // the whole reply when known
    wire::ByteView view() { return {reply.data(), reply.size()}; }
};
EnclosureReading ReadEnclosure(Inventory& inventory, int a, int p);

// The BIOS version text in the adapter's flash; nullopt when the read failed or the image has
// no version text.
Known<std::string> ReadBiosVersion(Inventory& inventory, int a);
// The miniport's driver version as discovery asked for it; nullopt when that request failed.
Known<std::string> DriverVersion(Inventory& inventory, int a);

// What could not be read while a report was made, in the order it was asked, for standard
// error ("S.M.A.R.T. state of device 0/1/0") and the exit code.
struct Unknowns {
    std::vector<std::string> what;
    void Add(std::string text) { what.push_back(std::move(text)); }
    bool empty() const { return what.empty(); }
};

}  // namespace halvctl
