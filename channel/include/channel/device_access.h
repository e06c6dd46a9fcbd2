// The platform boundary of the request channel: opening an adapter's device by name,
// sending it one miniport control request, closing it. The Win32 implementation uses
// CreateFileA/DeviceIoControl(IOCTL_SCSI_MINIPORT)/CloseHandle; tests use the adapter
// simulator in-process.
#pragma once

#include <stdint.h>

#include <span>
#include <string>
#include <utility>

namespace channel {

using DeviceHandle = uintptr_t;
inline constexpr DeviceHandle kInvalidDevice = ~static_cast<DeviceHandle>(0);

// Why a device did not open: no device has the name, or it exists and the system refused it
// (with the system's own error code and text, to be shown to whoever can fix it).
struct OpenError {
    enum Kind : uint8_t { kNotFound, kAccessDenied, kOther };
    Kind kind = kNotFound;
    uint32_t code = 0;   // the system's error number, 0 when it gave none
    std::string reason;  // the system's text for it, without a line end
};

class DeviceAccess {
  public:
    virtual ~DeviceAccess() = default;
    // Opens the named device for reading and writing, shared for reading and writing.
    // Returns kInvalidDevice when it cannot be opened.
    virtual DeviceHandle Open(const char* name) = 0;
    // Why the last Open on this object that returned kInvalidDevice failed. A layer that
    // cannot tell says "not found", which is what every caller assumed before it was asked.
    virtual OpenError LastOpenError() const { return {}; }
    // One synchronous IOCTL_SCSI_MINIPORT request with `buffer` as both input and output.
    // Returns whether the call itself succeeded (DeviceIoControl's result).
    virtual bool MiniportControl(DeviceHandle device, std::span<uint8_t> buffer) = 0;
    virtual void Close(DeviceHandle device) = 0;
};

// Which Windows family the program runs on, as GetVersionExA reports it.
class SystemVersion {
  public:
    virtual ~SystemVersion() = default;
    // 1 = Windows 9x (VER_PLATFORM_WIN32_WINDOWS), 2 = NT family; anything else is unknown.
    virtual uint32_t PlatformId() const = 0;
};

// Owns one open device; closes it on every path out of the scope that opened it.
class OpenDevice {
  public:
    // A null name opens nothing (an adapter whose name is not known).
    OpenDevice(DeviceAccess& io, const char* name)
        : io_(&io), handle_(name ? io.Open(name) : kInvalidDevice) {}
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
    OpenDevice(OpenDevice&& other) noexcept
        : io_(other.io_), handle_(std::exchange(other.handle_, kInvalidDevice)) {}
    ~OpenDevice() { Reset(); }

    bool valid() const { return handle_ != kInvalidDevice; }
    explicit operator bool() const { return valid(); }
    DeviceHandle get() const { return handle_; }
    bool Control(std::span<uint8_t> buffer) const {
        return valid() && io_->MiniportControl(handle_, buffer);
    }
    void Reset() {
        if (valid()) io_->Close(std::exchange(handle_, kInvalidDevice));
    }

  private:
    DeviceAccess* io_;
    DeviceHandle handle_;
};

}  // namespace channel
