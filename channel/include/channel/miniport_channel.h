// The miniport request channel: adapter device names, probing, the one-request operations
// both programs use, and the texts they make of replies.
#pragma once

#include <stdint.h>

#include <array>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "channel/device_access.h"
#include "channel/protocol.h"

namespace channel {

// A zeroed request buffer of one command's size, with its envelope written.
class Request {
  public:
    explicit Request(uint32_t command);
    std::span<uint8_t> bytes() { return buffer_; }
    wire::ByteView view() { return {buffer_.data(), buffer_.size()}; }
    uint32_t command() const { return command_; }

  private:
    uint32_t command_;
    std::vector<uint8_t> buffer_;
};

// The texts of one enclosure reply.
struct EnclosureTexts {
    std::string type;
    std::string location;
    std::string fan1, fan2;
    std::string celsius1, fahrenheit1;
    std::string celsius2, fahrenheit2;
    std::string volts5, volts12;
};

// The result of QueryEnclosure with texts.
inline constexpr int kEnclosureFailed = 0;
inline constexpr int kEnclosureOneFan = 1;
inline constexpr int kEnclosureTwoFans = 2;
inline constexpr int kEnclosureUnsupported = 3;

class MiniportChannel {
  public:
    explicit MiniportChannel(DeviceAccess& io) : io_(io) {}

    DeviceAccess& io() { return io_; }

    // Windows 9x mode: every request opens \\.\KIRNDEV. Set once, never cleared.
    bool LegacyPlatform() const { return legacy_; }
    void SetLegacyPlatform() { legacy_ = true; }

    // The device name of adapter `controller` ("" when none is known).
    const char* AdapterName(int controller) const;
    void SetAdapterName(int controller, const char* name);
    void ForgetAdapters();

    // Opens adapter `controller`'s device (\\.\KIRNDEV in Windows 9x mode).
    OpenDevice OpenAdapter(int controller);

    // Sends one request on an open device: true when the call succeeded and the reply
    // passes the command's success test.
    static bool Send(const OpenDevice& device, Request& request);
    // Opens the adapter, sends one request, closes the device on every path.
    bool SendOnce(int controller, Request& request);

    // NT probe: opens \\.\Scsi0: .. \\.\Scsi8: in turn; a device that accepts
    // MPCMD_GET_ADAPTER_COUNT is the next adapter. At most kMaxAdapters are recorded; the
    // probe stops there. `onFirstAdapter` runs once, on the first adapter's still-open device.
    // Returns the count; the names are kept here.
    int ProbeNt(const std::function<void(const OpenDevice&)>& onFirstAdapter = {});
    // Windows 9x: sets LegacyPlatform and asks \\.\KIRNDEV for the adapter count (capped at
    // kMaxAdapters); `onOpen` runs on the open device when the count is not zero.
    int ProbeLegacy(const std::function<void(const OpenDevice&)>& onOpen = {});

    // ---- One-request operations -------------------------------------------------------
    // The BIOS version text of the adapter's image, or "Temporarily Unknown".
    std::string ReadBiosVersion(uint8_t controller);
    // Reads (direction 0) or writes (any other) the BIOS image in `buffer`, which must be
    // bios::kSize bytes; writes the request fields and leaves BiosImage as the caller put it.
    // 1 on success, 0 on failure.
    int TransferBiosImage(uint8_t controller, std::span<uint8_t> buffer, int direction);
    // SmartState, or 3 when the device cannot be opened or the request fails.
    uint8_t QuerySmartState(uint8_t controller, uint8_t port, uint8_t device);
    // 1 when the port has an enclosure, else 0.
    int QueryEnclosure(uint8_t controller, uint8_t port);
    // 0 (failed), 1, 2 or 3; fills `texts` for 1 and 2.
    int QueryEnclosure(uint8_t controller, uint8_t port, EnclosureTexts& texts);
    // 0 on success, 1 on failure. Kind 0 = PIO, 1 = multiword DMA, 2 = UDMA.
    int SetTransferMode(uint8_t controller, uint8_t port, uint8_t device, int kind, uint8_t mode);
    // MPCMD_READ_EVENTS into `buffer` (events::kSize bytes): the number of records it holds,
    // 0 when the device cannot be opened or the request fails.
    uint32_t ReadEvents(uint8_t controller, std::span<uint8_t> buffer);

  private:
    DeviceAccess& io_;
    bool legacy_ = false;
    std::array<std::array<char, kDevicePathSize>, kMaxAdapters> names_{};
};

// ---- Reply texts (pure) ----------------------------------------------------------------
// "a.b.c.d" from the four VersionPart fields of a MPCMD_GET_DRIVER_VERSION reply.
std::string DriverVersionText(const wire::ByteView& reply);
// The version text after "Version" in a BIOS image (first 'V'..'s'..'n' match), at most 19
// characters, up to CR, LF or a zero byte; "Temporarily Unknown" when there is none.
std::string FindBiosVersion(std::span<const uint8_t> image);
// Millivolts as volts with four significant digits: 5012 -> "5.012", 980 -> ".9800".
std::string FormatVoltage(uint16_t millivolts);
// 9 * T / 5 + 32, truncating.
unsigned FahrenheitOf(unsigned celsius);
// Fills the texts of an enclosure reply; returns 1, 2 or 3 by EnclosureType.
int EnclosureTextsOf(const wire::ByteView& reply, EnclosureTexts& texts);
// The records a MPCMD_READ_EVENTS reply holds: its EventCount, but never more than the
// twenty the buffer has room for, whatever the miniport claims.
uint32_t EventRecordCount(const wire::ByteView& reply);
// The ATA sector count that sets transfer mode `mode` of `kind` (0 for an unknown kind).
uint16_t TransferModeSectorCount(int kind, uint8_t mode);

}  // namespace channel
