// The simulator as the request channel's device layer, in-process: what native tests and
// the native demo use in place of CreateFileA/DeviceIoControl.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "channel/device_access.h"
#include "sim/sim_core.h"

namespace sim {

class SimDeviceAccess final : public channel::DeviceAccess {
  public:
    explicit SimDeviceAccess(SimPopulation& pop, SignalHook hook = {}) : pop_(pop), hook_(hook) {}

    channel::DeviceHandle Open(const char* name) override;
    // A position with no device is "not found"; one whose device does not open refuses as
    // an unelevated caller is refused.
    channel::OpenError LastOpenError() const override { return lastOpenError_; }
    bool MiniportControl(channel::DeviceHandle device, std::span<uint8_t> buffer) override;
    void Close(channel::DeviceHandle device) override;

    // Handles opened and not yet closed: a leak shows here.
    size_t OpenHandles() const { return open_.size(); }
    // Names asked for, in order, whether they opened or not.
    const std::vector<std::string>& OpenAttempts() const { return attempts_; }

  private:
    SimPopulation& pop_;
    SignalHook hook_;
    std::map<channel::DeviceHandle, int> open_;  // handle -> position
    channel::DeviceHandle next_ = 0x100;
    std::vector<std::string> attempts_;
    channel::OpenError lastOpenError_;
};

class FixedSystemVersion final : public channel::SystemVersion {
  public:
    explicit FixedSystemVersion(uint32_t platformId) : id_(platformId) {}
    uint32_t PlatformId() const override { return id_; }

  private:
    uint32_t id_;
};

}  // namespace sim
