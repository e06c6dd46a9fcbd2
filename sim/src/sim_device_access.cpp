#include "sim/sim_device_access.h"

#include <string>
#include <vector>

namespace sim {

channel::DeviceHandle SimDeviceAccess::Open(const char* name) {
    attempts_.emplace_back(name ? name : "");
    const int position = PositionFromName(name);
    if (position == kNoPosition || !OpenPosition(pop_, position)) {
        const bool exists = position == kLegacyPosition ? pop_.legacyDevice != 0
                            : position >= 0 && position < kPositions
                                ? pop_.adapters[position].exists != 0
                                : false;
        lastOpenError_ =
            exists ? channel::OpenError{channel::OpenError::kAccessDenied, 5, "Access is denied."}
                   : channel::OpenError{};
        return channel::kInvalidDevice;
    }
    const channel::DeviceHandle h = next_++;
    open_[h] = position;
    return h;
}

bool SimDeviceAccess::MiniportControl(channel::DeviceHandle device, std::span<uint8_t> buffer) {
    auto it = open_.find(device);
    if (it == open_.end()) return false;
    return HandleRequest(pop_, it->second, buffer.data(), buffer.size(), buffer.size(), &hook_);
}

void SimDeviceAccess::Close(channel::DeviceHandle device) {
    auto it = open_.find(device);
    if (it == open_.end()) return;
    ClosePosition(pop_, it->second);
    open_.erase(it);
}

}  // namespace sim
