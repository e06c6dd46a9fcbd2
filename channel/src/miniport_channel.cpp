#include "channel/miniport_channel.h"

#include <algorithm>
#include <cstring>

namespace channel {

Request::Request(uint32_t command) : command_(command) {
    const CommandSpec* info = FindCommand(command);
    buffer_.assign(info ? info->size : env::kHeaderLength, 0);
    BuildEnvelope(view(), command);
}

const char* MiniportChannel::AdapterName(int controller) const {
    if (controller < 0 || controller >= kMaxAdapters) return "";
    return names_[controller].data();
}

void MiniportChannel::SetAdapterName(int controller, const char* name) {
    if (controller < 0 || controller >= kMaxAdapters) return;
    auto& slot = names_[controller];
    slot.fill('\0');
    // A bounded copy that always leaves the last byte a terminator.
    const char* text = name ? name : "";
    std::memcpy(slot.data(), text, strnlen(text, slot.size() - 1));
}

void MiniportChannel::ForgetAdapters() {
    for (auto& n : names_) n.fill('\0');
}

OpenDevice MiniportChannel::OpenAdapter(int controller) {
    if (legacy_) return OpenDevice(io_, kLegacyDeviceName);
    const char* name = AdapterName(controller);
    if (!*name) return OpenDevice(io_, nullptr);
    return OpenDevice(io_, name);
}

bool MiniportChannel::Send(const OpenDevice& device, Request& request) {
    if (!device.Control(request.bytes())) return false;
    return ReplySucceeded(request.view(), request.command());
}

bool MiniportChannel::SendOnce(int controller, Request& request) {
    OpenDevice device = OpenAdapter(controller);
    return Send(device, request);
}

int MiniportChannel::ProbeNt(const std::function<void(const OpenDevice&)>& onFirstAdapter) {
    ForgetAdapters();
    int count = 0;
    char name[kDevicePathSize] = "\\\\.\\Scsi :";
    static_assert(sizeof name == kDevicePathSize);
    for (char digit = '0'; digit <= '8' && count < kMaxAdapters; ++digit) {
        name[8] = digit;
        OpenDevice device(io_, name);
        if (!device) continue;
        Request probe(MPCMD_GET_ADAPTER_COUNT);
        // Another vendor's adapter refuses our signature, so the call itself fails; the
        // count in ReturnCode is not needed here.
        if (!device.Control(probe.bytes())) continue;
        SetAdapterName(count, name);
        if (count == 0 && onFirstAdapter) onFirstAdapter(device);
        ++count;
    }
    return count;
}

int MiniportChannel::ProbeLegacy(const std::function<void(const OpenDevice&)>& onOpen) {
    SetLegacyPlatform();
    ForgetAdapters();
    OpenDevice device(io_, kLegacyDeviceName);
    if (!device) return 0;
    Request probe(MPCMD_GET_ADAPTER_COUNT);
    if (!device.Control(probe.bytes())) return 0;
    const uint32_t reported = probe.view().U32(env::ReturnCode.offset);
    if (reported == 0) return 0;
    // The tables hold four adapters; the surplus is not addressed.
    const int count = static_cast<int>(std::min<uint32_t>(reported, kMaxAdapters));
    if (onOpen) onOpen(device);
    return count;
}

std::string MiniportChannel::ReadBiosVersion(uint8_t controller) {
    std::vector<uint8_t> buffer(bios::kSize, 0);
    if (!TransferBiosImage(controller, buffer, 0)) return kTemporarilyUnknown;
    return FindBiosVersion(
        std::span<const uint8_t>(buffer).subspan(bios::BiosImage.offset, bios::kImageSize));
}

int MiniportChannel::TransferBiosImage(uint8_t controller, std::span<uint8_t> buffer,
                                       int direction) {
    if (buffer.size() != bios::kSize) return 0;
    const uint32_t command = direction == 0 ? MPCMD_READ_BIOS : MPCMD_WRITE_BIOS;
    wire::ByteView view(buffer.data(), buffer.size());
    // The image area is the caller's; every byte before it is rebuilt for this request.
    for (size_t i = 0; i < bios::BiosImage.offset; ++i) view.Put8(i, 0);
    BuildEnvelope(view, command);
    view.Put8(bios::Controller.offset, controller);
    view.Put32(bios::FlashOffset.offset, 0);
    view.Put32(bios::FlashSizeKb.offset, bios::kFlashSizeKb);
    OpenDevice device = OpenAdapter(controller);
    if (!device.Control(buffer)) return 0;
    return ReplySucceeded(view, command) ? 1 : 0;
}

uint8_t MiniportChannel::QuerySmartState(uint8_t controller, uint8_t port, uint8_t device) {
    Request r(MPCMD_GET_SMART_STATUS);
    r.view().Put8(smart_status::Controller.offset, controller);
    r.view().Put8(smart_status::Port.offset, port);
    r.view().Put8(smart_status::Device.offset, device);
    if (!SendOnce(controller, r)) return smart_status::kNotSupported;
    return r.view().U8(smart_status::SmartState.offset);
}

int MiniportChannel::QueryEnclosure(uint8_t controller, uint8_t port) {
    Request r(MPCMD_GET_ENCLOSURE_STATUS);
    r.view().Put8(enclosure_status::Port.offset, port);
    if (!SendOnce(controller, r)) return 0;
    const uint8_t type = r.view().U8(enclosure_status::EnclosureType.offset);
    return (type != 0 && type != 255) ? 1 : 0;
}

int MiniportChannel::QueryEnclosure(uint8_t controller, uint8_t port, EnclosureTexts& texts) {
    Request r(MPCMD_GET_ENCLOSURE_STATUS);
    r.view().Put8(enclosure_status::Port.offset, port);
    if (!SendOnce(controller, r)) return kEnclosureFailed;
    return EnclosureTextsOf(r.view(), texts);
}

int MiniportChannel::SetTransferMode(uint8_t controller, uint8_t port, uint8_t device, int kind,
                                     uint8_t mode) {
    Request r(MPCMD_ATA_COMMAND);
    wire::ByteView v = r.view();
    v.Put8(ata::Port.offset, port);
    v.Put8(ata::Device.offset, device);
    v.Put8(ata::AlwaysOne.offset, 1);
    v.Put8(ata::AtaFeatures.offset, ata::kSetTransferMode);
    v.Put16(ata::AtaSectorCount.offset, TransferModeSectorCount(kind, mode));
    v.Put8(ata::AtaCommand.offset, ata::kSetFeatures);
    return SendOnce(controller, r) ? 0 : 1;
}

uint32_t MiniportChannel::ReadEvents(uint8_t controller, std::span<uint8_t> buffer) {
    if (buffer.size() != events::kSize) return 0;
    wire::ByteView view(buffer.data(), buffer.size());
    view.Zero();
    BuildEnvelope(view, MPCMD_READ_EVENTS);
    OpenDevice device = OpenAdapter(controller);
    if (!device.Control(buffer) || !ReplySucceeded(view, MPCMD_READ_EVENTS)) return 0;
    return EventRecordCount(view);
}

// ---- Reply texts ----------------------------------------------------------------------

std::string DriverVersionText(const wire::ByteView& reply) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i) text += '.';
        text += std::to_string(reply.U16(driver_version::VersionPart[i].offset));
    }
    return text;
}

std::string FindBiosVersion(std::span<const uint8_t> image) {
    constexpr size_t kTextOffset = 8;  // "Version " before the text
    constexpr size_t kMaxText = 19;
    const size_t size = std::min(image.size(), bios::kImageSize);
    for (size_t p = 0; p + kTextOffset < size; ++p) {
        // "Version" is known by its 'V', 's' and 'n' alone, whatever the other letters are.
        if (image[p] != 'V' || image[p + 3] != 's' || image[p + 6] != 'n') continue;
        std::string text;
        for (size_t i = p + kTextOffset; i < size && text.size() < kMaxText; ++i) {
            const uint8_t c = image[i];
            // A zero byte ends the text as it would end it on screen.
            if (c == '\r' || c == '\n' || c == 0) break;
            text += static_cast<char>(c);
        }
        return text;
    }
    return kTemporarilyUnknown;
}

std::string FormatVoltage(uint16_t millivolts) {
    // Four significant digits of the exact value in volts, the fifth rounded half up.
    // Readings below one volt print no leading zero before the point; below 0.1 V the
    // zeros after the point are kept so that the text still reads the right value.
    if (millivolts == 0) return ".0000";
    unsigned digits = 0;
    for (unsigned v = millivolts; v; v /= 10) ++digits;
    // The value is millivolts x 10^-3; keep four significant digits.
    unsigned significant = millivolts;
    int exponent = -3;  // value = significant x 10^exponent
    if (digits > 4) {
        const unsigned drop = digits - 4;
        unsigned scale = 1;
        for (unsigned i = 0; i < drop; ++i) scale *= 10;
        significant = (millivolts + scale / 2) / scale;
        exponent += static_cast<int>(drop);
        if (significant >= 10000) {  // 99995 rounds to 10000: one digit more in front
            significant /= 10;
            ++exponent;
        }
    } else {
        for (unsigned i = digits; i < 4; ++i) {
            significant *= 10;
            --exponent;
        }
    }
    // significant has exactly four digits; the point sits `exponent` places from the right.
    const std::string s = std::to_string(significant);
    const int intDigits = 4 + exponent;  // digits before the point
    std::string text;
    text.reserve(16);
    if (intDigits >= 4) {
        text.append(s).append(static_cast<size_t>(intDigits - 4), '0').push_back('.');
    } else if (intDigits > 0) {
        text.append(s, 0, static_cast<size_t>(intDigits)).append(1, '.');
        text.append(s, static_cast<size_t>(intDigits), std::string::npos);
    } else {
        text.append(1, '.').append(static_cast<size_t>(-intDigits), '0').append(s);
    }
    return text;
}

unsigned FahrenheitOf(unsigned celsius) {
    return 9 * celsius / 5 + 32;
}

int EnclosureTextsOf(const wire::ByteView& reply, EnclosureTexts& texts) {
    using namespace enclosure_status;
    const uint8_t type = reply.U8(EnclosureType.offset);
    const char* name = type == 1   ? "Drivecove"
                       : type == 2 ? "Drivecove2200"
                       : type == 4 ? "Drivecove5200"
                                   : nullptr;
    if (!name) return kEnclosureUnsupported;
    const unsigned t1 = reply.U16(Temperature1.offset);
    texts.type = name;
    texts.fan1 = std::to_string(reply.U16(Fan1Rpm.offset));
    texts.celsius1 = std::to_string(t1);
    texts.fahrenheit1 = std::to_string(FahrenheitOf(t1));
    texts.volts5 = FormatVoltage(reply.U16(Voltage5.offset));
    texts.volts12 = FormatVoltage(reply.U16(Voltage12.offset));
    if (type != 4) return kEnclosureOneFan;
    const unsigned t2 = reply.U16(Temperature2.offset);
    texts.location = "Bay-" + std::to_string(reply.U8(BayLocation.offset) >> 4);
    texts.fan2 = std::to_string(reply.U16(Fan2Rpm.offset));
    texts.celsius2 = std::to_string(t2);
    texts.fahrenheit2 = std::to_string(FahrenheitOf(t2));
    return kEnclosureTwoFans;
}

uint32_t EventRecordCount(const wire::ByteView& reply) {
    if (reply.size() < events::kSize) return 0;
    return std::min(reply.U32(events::EventCount.offset), events::kMaxRecords);
}

uint16_t TransferModeSectorCount(int kind, uint8_t mode) {
    switch (kind) {
        case 0:
            return static_cast<uint16_t>(mode | 0x08);
        case 1:
            return static_cast<uint16_t>(mode | 0x20);
        case 2:
            return static_cast<uint16_t>(mode | 0x40);
        default:
            return 0;
    }
}

}  // namespace channel
