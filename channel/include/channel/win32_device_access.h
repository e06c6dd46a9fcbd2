// The real platform layer of the request channel (Windows builds only).
#pragma once

#include "channel/device_access.h"

namespace channel {

// CreateFileA / DeviceIoControl(IOCTL_SCSI_MINIPORT) / CloseHandle.
class Win32DeviceAccess final : public DeviceAccess {
  public:
    DeviceHandle Open(const char* name) override;
    OpenError LastOpenError() const override { return lastOpenError_; }
    bool MiniportControl(DeviceHandle device, std::span<uint8_t> buffer) override;
    void Close(DeviceHandle device) override;

  private:
    OpenError lastOpenError_;
};

// GetVersionExA's dwPlatformId.
class Win32SystemVersion final : public SystemVersion {
  public:
    uint32_t PlatformId() const override;
};

}  // namespace channel
