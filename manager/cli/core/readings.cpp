#include "manager/cli/core/readings.h"

#include <string.h>

#include "manager/core/discovery.h"
#include "manager/core/info_list.h"

namespace halvctl {

namespace ss = channel::smart_status;
namespace es = channel::enclosure_status;

SmartReading ReadSmart(Inventory& inv, int a, int p, int d) {
    channel::Request r(channel::MPCMD_GET_SMART_STATUS);
    r.view().Put8(ss::Controller.offset, static_cast<uint8_t>(a));
    r.view().Put8(ss::Port.offset, static_cast<uint8_t>(p));
    r.view().Put8(ss::Device.offset, static_cast<uint8_t>(d));
    SmartReading reading;
    if (!inv.channel().SendOnce(a, r)) return reading;
    const uint8_t state = r.view().U8(ss::SmartState.offset);
    reading.state = state;
    switch (state) {
        case ss::kNotSupported:
            reading.health = SmartHealth::kNotSupported;
            break;
        case ss::kNotEnabled:
            reading.health = SmartHealth::kNotEnabled;
            break;
        case ss::kFunctional:
            reading.health = SmartHealth::kFunctional;
            break;
        case ss::kPredictiveError:
            reading.health = SmartHealth::kPredictiveError;
            break;
        default:  // an answer that means nothing is no answer
            reading.health = SmartHealth::kUnknown;
            break;
    }
    return reading;
}

std::string SmartHealthText(SmartHealth health) {
    switch (health) {
        case SmartHealth::kNotSupported:
            return "S.M.A.R.T. not supported";
        case SmartHealth::kNotEnabled:
            return "S.M.A.R.T. not enabled";
        case SmartHealth::kFunctional:
            return halv::SmartStateText(ss::kFunctional);
        case SmartHealth::kPredictiveError:
            return halv::SmartStateText(ss::kPredictiveError);
        case SmartHealth::kUnknown:
            break;
    }
    return channel::kTemporarilyUnknown;
}

EnclosureReading ReadEnclosure(Inventory& inv, int a, int p) {
    channel::Request r(channel::MPCMD_GET_ENCLOSURE_STATUS);
    r.view().Put8(es::Port.offset, static_cast<uint8_t>(p));
    EnclosureReading e;
    if (!inv.channel().SendOnce(a, r)) return e;
    e.known = true;
    e.reply.assign(r.bytes().begin(), r.bytes().end());
    const uint8_t type = e.view().U8(es::EnclosureType.offset);
    // The same test discovery makes for "this port has an enclosure".
    e.present = type != 0 && type != 255;
    e.result = channel::EnclosureTextsOf(e.view(), e.texts);
    return e;
}

Known<std::string> ReadBiosVersion(Inventory& inv, int a) {
    std::vector<uint8_t> buffer(channel::bios::kSize, 0);
    if (!inv.channel().TransferBiosImage(static_cast<uint8_t>(a), buffer, 0)) return std::nullopt;
    const std::string text = channel::FindBiosVersion(std::span<const uint8_t>(buffer).subspan(
        channel::bios::BiosImage.offset, channel::bios::kImageSize));
    if (text == channel::kTemporarilyUnknown) return std::nullopt;
    return text;
}

Known<std::string> DriverVersion(Inventory& inv, int a) {
    const halv::ControllerEntry& entry = inv.tables().ControllerEntries[a];
    const std::string text(entry.DriverVersion,
                           strnlen(entry.DriverVersion, sizeof entry.DriverVersion));
    // Discovery writes HALV's placeholder when the request failed; a version is digits.
    if (text.empty() || text == channel::kTemporarilyUnknown) return std::nullopt;
    return text;
}

}  // namespace halvctl
