// The miniport request envelope, the command set and the field layout of every request and
// reply record exchanged with the adapters' miniport driver.
//
// Both programs build requests from these constants, and the adapter simulator parses them
// with the same constants, so a layout mistake cannot hide behind matching mistakes on the
// two sides: every offset and size is pinned below by static_assert against the documented
// wire values. Freestanding: usable in kernel-mode code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "channel/wire.h"

namespace channel {

// IOCTL_SCSI_MINIPORT: CTL_CODE(IOCTL_SCSI_BASE, 0x0402, METHOD_BUFFERED, FILE_READ_ACCESS |
// FILE_WRITE_ACCESS). MinGW's headers do not define it.
inline constexpr uint32_t kIoctlScsiMiniport = 0x0004D008;
static_assert(kIoctlScsiMiniport == ((0x00000004u << 16) | (3u << 14) | (0x0402u << 2) | 0u));

// ---- The envelope (an SRB_IO_CONTROL header followed by Command and DataLength) ----------
namespace env {
inline constexpr wire::Field HeaderLength{0, 4};
inline constexpr wire::Field Signature{4, 8};
inline constexpr wire::Field Timeout{12, 4};
inline constexpr wire::Field ControlCode{16, 4};
inline constexpr wire::Field ReturnCode{20, 4};
inline constexpr wire::Field Length{24, 4};
inline constexpr wire::Field Command{28, 4};
inline constexpr wire::Field DataLength{32, 4};
inline constexpr size_t kPayload = 36;  // first command field

inline constexpr uint32_t kHeaderLength = 28;  // sizeof(SRB_IO_CONTROL)
inline constexpr char kSignature[8] = {'Q', 'E', 'L', 'N', 'I', 'X', '2', '\0'};
inline constexpr uint32_t kTimeoutSeconds = 30;
inline constexpr uint32_t kControlCode = 0x888;

static_assert(ReturnCode.End() == Length.offset && Length.End() == kHeaderLength);
static_assert(Command.offset == kHeaderLength && DataLength.End() == kPayload);
}  // namespace env

// ---- Commands --------------------------------------------------------------------------
inline constexpr uint32_t MPCMD_GET_DRIVER_VERSION = 1;
inline constexpr uint32_t MPCMD_GET_ADAPTER_COUNT = 2;
inline constexpr uint32_t MPCMD_GET_CONTROLLER_INFO = 3;
inline constexpr uint32_t MPCMD_GET_DEVICE_INFO = 4;
inline constexpr uint32_t MPCMD_GET_ENCLOSURE_STATUS = 5;
inline constexpr uint32_t MPCMD_GET_SMART_STATUS = 6;
inline constexpr uint32_t MPCMD_READ_EVENTS = 10;
inline constexpr uint32_t MPCMD_GET_CONTROLLER_NAME = 12;
inline constexpr uint32_t MPCMD_WRITE_BIOS = 258;
inline constexpr uint32_t MPCMD_READ_BIOS = 259;
inline constexpr uint32_t MPCMD_REGISTER_EVENT_DPC = 263;
inline constexpr uint32_t MPCMD_UNREGISTER_EVENT_DPC = 264;
inline constexpr uint32_t MPCMD_ATA_COMMAND = 265;

// How a reply is judged: the commands that return data answer with the DataLength they
// were sent, the commands that only act answer 1, and the adapter count answers with a count.
enum class Success : uint8_t { DataLength, One, AdapterCount };

struct CommandSpec {
    uint32_t command;
    uint32_t size;       // N: the whole buffer, sent as input and output
    bool hasDataLength;  // the adapter-count buffer ends before DataLength
    Success success;
    constexpr uint32_t Length() const { return size - env::kHeaderLength; }
    constexpr uint32_t DataLength() const { return hasDataLength ? size - env::kPayload + 4 : 0; }
    // The ReturnCode a successful reply carries (not meaningful for the adapter count).
    constexpr uint32_t SuccessCode() const { return success == Success::One ? 1 : DataLength(); }
};

inline constexpr CommandSpec kCommands[] = {
    {MPCMD_GET_DRIVER_VERSION, 44, true, Success::DataLength},
    {MPCMD_GET_ADAPTER_COUNT, 32, false, Success::AdapterCount},
    {MPCMD_GET_CONTROLLER_INFO, 106, true, Success::DataLength},
    {MPCMD_GET_DEVICE_INFO, 110, true, Success::DataLength},
    {MPCMD_GET_ENCLOSURE_STATUS, 64, true, Success::DataLength},
    {MPCMD_GET_SMART_STATUS, 41, true, Success::DataLength},
    {MPCMD_READ_EVENTS, 840, true, Success::DataLength},
    {MPCMD_GET_CONTROLLER_NAME, 100, true, Success::One},
    {MPCMD_WRITE_BIOS, 32834, true, Success::DataLength},
    {MPCMD_READ_BIOS, 32834, true, Success::DataLength},
    {MPCMD_REGISTER_EVENT_DPC, 48, true, Success::One},
    {MPCMD_UNREGISTER_EVENT_DPC, 48, true, Success::One},
    {MPCMD_ATA_COMMAND, 66, true, Success::One},
};
inline constexpr size_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);

constexpr const CommandSpec* FindCommand(uint32_t command) {
    for (const CommandSpec& c : kCommands)
        if (c.command == command) return &c;
    return nullptr;
}
constexpr const CommandSpec& CommandOf(uint32_t command) {
    return *FindCommand(command);
}

// Pin the documented success values: a reply is only trusted when ReturnCode matches.
static_assert(CommandOf(MPCMD_GET_DRIVER_VERSION).SuccessCode() == 12);
static_assert(CommandOf(MPCMD_GET_CONTROLLER_INFO).SuccessCode() == 74);
static_assert(CommandOf(MPCMD_GET_DEVICE_INFO).SuccessCode() == 78);
static_assert(CommandOf(MPCMD_GET_ENCLOSURE_STATUS).SuccessCode() == 32);
static_assert(CommandOf(MPCMD_GET_SMART_STATUS).SuccessCode() == 9);
static_assert(CommandOf(MPCMD_READ_EVENTS).SuccessCode() == 808);
static_assert(CommandOf(MPCMD_GET_CONTROLLER_NAME).SuccessCode() == 1);
static_assert(CommandOf(MPCMD_READ_BIOS).SuccessCode() == 32802);
static_assert(CommandOf(MPCMD_WRITE_BIOS).SuccessCode() == 32802);
static_assert(CommandOf(MPCMD_REGISTER_EVENT_DPC).SuccessCode() == 1);
static_assert(CommandOf(MPCMD_UNREGISTER_EVENT_DPC).SuccessCode() == 1);
static_assert(CommandOf(MPCMD_ATA_COMMAND).SuccessCode() == 1);
static_assert(CommandOf(MPCMD_GET_ADAPTER_COUNT).size == 32 &&
              !CommandOf(MPCMD_GET_ADAPTER_COUNT).hasDataLength);

// ---- Limits shared by both programs -----------------------------------------------------
inline constexpr int kMaxAdapters = 4;         // per-adapter tables of both programs
inline constexpr int kMaxPorts = 4;            // ports held per adapter
inline constexpr int kMaxDevicesPerPort = 8;   // devices held per port
inline constexpr int kProbeNames = 9;          // \\.\Scsi0: .. \\.\Scsi8:
inline constexpr size_t kDevicePathSize = 11;  // "\\.\ScsiN:" and its zero
inline constexpr char kLegacyDeviceName[] = "\\\\.\\KIRNDEV";
inline constexpr char kTemporarilyUnknown[] = "Temporarily Unknown";

// ---- Records -----------------------------------------------------------------------------
// Offsets are from the start of the whole request buffer.

namespace driver_version {  // MPCMD_GET_DRIVER_VERSION
inline constexpr size_t kSize = 44;
inline constexpr wire::Field VersionPart[4] = {{36, 2}, {38, 2}, {40, 2}, {42, 2}};
static_assert(VersionPart[3].End() == kSize && kSize == 44);
}  // namespace driver_version

namespace controller_info {  // MPCMD_GET_CONTROLLER_INFO, record ControllerInfo
inline constexpr size_t kSize = 106;
inline constexpr wire::Field Controller{36, 1};
inline constexpr wire::Field PciDeviceId{41, 4};
inline constexpr wire::Field PortCount{102, 2};
inline constexpr wire::Field DevicesPerPort{104, 2};
static_assert(PciDeviceId.offset == 41 && PortCount.offset == 102 && DevicesPerPort.End() == kSize);
}  // namespace controller_info

namespace device_info {  // MPCMD_GET_DEVICE_INFO, record DeviceInfo
inline constexpr size_t kSize = 110;
inline constexpr wire::Field Controller{36, 1};
inline constexpr wire::Field Port{37, 1};
inline constexpr wire::Field Device{38, 1};
inline constexpr wire::Field DeviceFlags{39, 2};
inline constexpr wire::Field PioMode{41, 1};
inline constexpr wire::Field DmaMode{42, 1};
inline constexpr wire::Field UdmaMode{43, 1};
inline constexpr wire::Field ModelName{44, 22};
inline constexpr wire::Field Cylinders{66, 2};
inline constexpr wire::Field Heads{68, 1};
inline constexpr wire::Field SectorsPerTrack{69, 1};
inline constexpr wire::Field CapacitySectors{70, 4};
inline constexpr wire::Field SerialNumber{79, 21};
inline constexpr wire::Field FirmwareVersion{100, 10};
inline constexpr uint16_t kFlagPresent = 0x0001;
inline constexpr uint16_t kFlagPacket = 0x0004;
inline constexpr uint8_t kModeNone = 255;
static_assert(ModelName.End() == Cylinders.offset && CapacitySectors.End() == 74);
static_assert(SerialNumber.End() == FirmwareVersion.offset && FirmwareVersion.End() == kSize);
}  // namespace device_info

namespace enclosure_status {  // MPCMD_GET_ENCLOSURE_STATUS, record EnclosureStatus
inline constexpr size_t kSize = 64;
inline constexpr wire::Field Port{36, 1};
inline constexpr wire::Field BayLocation{37, 1};
inline constexpr wire::Field EnclosureType{38, 1};
inline constexpr wire::Field Temperature1{46, 2};
inline constexpr wire::Field Temperature2{48, 2};
inline constexpr wire::Field Fan1Rpm{52, 2};
inline constexpr wire::Field Fan2Rpm{54, 2};
inline constexpr wire::Field Voltage5{60, 2};
inline constexpr wire::Field Voltage12{62, 2};
static_assert(Voltage12.End() == kSize && Temperature1.offset == 46 && Fan1Rpm.offset == 52);
}  // namespace enclosure_status

namespace smart_status {  // MPCMD_GET_SMART_STATUS
inline constexpr size_t kSize = 41;
inline constexpr wire::Field Controller{36, 1};
inline constexpr wire::Field Port{37, 1};
inline constexpr wire::Field Device{38, 1};
inline constexpr wire::Field SmartState{40, 1};
inline constexpr uint8_t kNotEnabled = 0, kFunctional = 1, kPredictiveError = 2, kNotSupported = 3;
static_assert(SmartState.End() == kSize);
}  // namespace smart_status

namespace controller_name {  // MPCMD_GET_CONTROLLER_NAME
inline constexpr size_t kSize = 100;
inline constexpr wire::Field ControllerName{36, 64};
static_assert(ControllerName.End() == kSize);
}  // namespace controller_name

namespace bios {  // MPCMD_READ_BIOS and MPCMD_WRITE_BIOS
inline constexpr size_t kSize = 32834;
inline constexpr size_t kImageSize = 32768;
inline constexpr wire::Field Controller{36, 1};
inline constexpr wire::Field FlashOffset{58, 4};
inline constexpr wire::Field FlashSizeKb{62, 4};
inline constexpr wire::Field BiosImage{66, kImageSize};
inline constexpr uint32_t kFlashSizeKb = 32;
static_assert(BiosImage.End() == kSize && kFlashSizeKb * 1024 == kImageSize);
}  // namespace bios

namespace events {  // MPCMD_READ_EVENTS
inline constexpr size_t kSize = 840;
inline constexpr wire::Field EventCount{36, 4};
inline constexpr size_t kFirstRecord = 40;
inline constexpr size_t kRecordSize = 40;
inline constexpr uint32_t kMaxRecords = 20;
// Fields within one 40-byte record.
inline constexpr wire::Field EventCode{4, 4};
inline constexpr wire::Field Severity{16, 4};
inline constexpr wire::Field PortIndex{20, 4};
inline constexpr wire::Field DiskIndex{24, 4};
inline constexpr wire::Field EventValue{28, 4};
inline constexpr wire::Field VersionText{24, 16};  // BIOS-flash events: text from DiskIndex on
static_assert(kFirstRecord + kMaxRecords * kRecordSize == kSize);
static_assert(VersionText.End() == kRecordSize && EventValue.End() == 32);
}  // namespace events

namespace event_dpc {  // MPCMD_REGISTER_EVENT_DPC and MPCMD_UNREGISTER_EVENT_DPC
inline constexpr size_t kSize = 48;
inline constexpr wire::Field DpcAddress{36, 8};
inline constexpr wire::Field DpcSlot{44, 4};
static_assert(DpcSlot.End() == kSize);
}  // namespace event_dpc

namespace ata {  // MPCMD_ATA_COMMAND
inline constexpr size_t kSize = 66;
inline constexpr wire::Field Port{36, 1};
inline constexpr wire::Field Device{37, 1};
inline constexpr wire::Field AlwaysOne{38, 1};
inline constexpr wire::Field AtaFeatures{51, 1};
inline constexpr wire::Field AtaSectorCount{52, 2};
inline constexpr wire::Field AtaCommand{62, 1};
inline constexpr uint8_t kSetTransferMode = 3;  // SET FEATURES subcommand
inline constexpr uint8_t kSetFeatures = 0xEF;
static_assert(AtaCommand.End() <= kSize && kSize == 66);
}  // namespace ata

// Every request and reply field at the offset the miniport expects it, as literal values: the
// simulator parses with these same constants, so only literals catch a shifted field.
static_assert(driver_version::VersionPart[0].offset == 36 &&
              driver_version::VersionPart[2].offset == 40);
static_assert(controller_info::Controller.offset == 36 && controller_info::PciDeviceId.width == 4 &&
              controller_info::PortCount.width == 2 &&
              controller_info::DevicesPerPort.offset == 104);
static_assert(device_info::Controller.offset == 36 && device_info::Port.offset == 37 &&
              device_info::Device.offset == 38 && device_info::DeviceFlags.offset == 39 &&
              device_info::DeviceFlags.width == 2 && device_info::PioMode.offset == 41 &&
              device_info::DmaMode.offset == 42 && device_info::UdmaMode.offset == 43 &&
              device_info::ModelName.offset == 44 && device_info::ModelName.width == 22 &&
              device_info::Cylinders.offset == 66 && device_info::Heads.offset == 68 &&
              device_info::SectorsPerTrack.offset == 69 &&
              device_info::CapacitySectors.offset == 70 && device_info::SerialNumber.offset == 79 &&
              device_info::SerialNumber.width == 21 && device_info::FirmwareVersion.offset == 100 &&
              device_info::FirmwareVersion.width == 10);
static_assert(enclosure_status::Port.offset == 36 && enclosure_status::BayLocation.offset == 37 &&
              enclosure_status::EnclosureType.offset == 38 &&
              enclosure_status::Temperature1.offset == 46 &&
              enclosure_status::Temperature2.offset == 48 &&
              enclosure_status::Fan1Rpm.offset == 52 && enclosure_status::Fan2Rpm.offset == 54 &&
              enclosure_status::Voltage5.offset == 60 && enclosure_status::Voltage12.offset == 62);
static_assert(smart_status::Controller.offset == 36 && smart_status::Port.offset == 37 &&
              smart_status::Device.offset == 38 && smart_status::SmartState.offset == 40);
static_assert(controller_name::ControllerName.offset == 36 &&
              controller_name::ControllerName.width == 64);
static_assert(bios::Controller.offset == 36 && bios::FlashOffset.offset == 58 &&
              bios::FlashSizeKb.offset == 62 && bios::BiosImage.offset == 66);
static_assert(events::EventCount.offset == 36 && events::kFirstRecord == 40 &&
              events::EventCode.offset == 4 && events::Severity.offset == 16 &&
              events::PortIndex.offset == 20 && events::DiskIndex.offset == 24 &&
              events::EventValue.offset == 28);
static_assert(event_dpc::DpcAddress.offset == 36 && event_dpc::DpcAddress.width == 8 &&
              event_dpc::DpcSlot.offset == 44 && event_dpc::DpcSlot.width == 4);
static_assert(ata::Port.offset == 36 && ata::Device.offset == 37 && ata::AlwaysOne.offset == 38 &&
              ata::AtaFeatures.offset == 51 && ata::AtaSectorCount.offset == 52 &&
              ata::AtaSectorCount.width == 2 && ata::AtaCommand.offset == 62);
static_assert(env::HeaderLength.offset == 0 && env::Signature.offset == 4 &&
              env::Timeout.offset == 12 && env::ControlCode.offset == 16 &&
              env::ReturnCode.offset == 20 && env::Length.offset == 24 &&
              env::Command.offset == 28 && env::DataLength.offset == 32);

static_assert(CommandOf(MPCMD_GET_DRIVER_VERSION).size == driver_version::kSize);
static_assert(CommandOf(MPCMD_GET_CONTROLLER_INFO).size == controller_info::kSize);
static_assert(CommandOf(MPCMD_GET_DEVICE_INFO).size == device_info::kSize);
static_assert(CommandOf(MPCMD_GET_ENCLOSURE_STATUS).size == enclosure_status::kSize);
static_assert(CommandOf(MPCMD_GET_SMART_STATUS).size == smart_status::kSize);
static_assert(CommandOf(MPCMD_GET_CONTROLLER_NAME).size == controller_name::kSize);
static_assert(CommandOf(MPCMD_READ_BIOS).size == bios::kSize);
static_assert(CommandOf(MPCMD_READ_EVENTS).size == events::kSize);
static_assert(CommandOf(MPCMD_REGISTER_EVENT_DPC).size == event_dpc::kSize);
static_assert(CommandOf(MPCMD_ATA_COMMAND).size == ata::kSize);

// Writes the envelope of `command` into `buf`, which must be exactly the command's size.
// Returns false (and writes nothing) for an unknown command or a buffer of the wrong size.
inline bool BuildEnvelope(wire::ByteView buf, uint32_t command) {
    const CommandSpec* info = FindCommand(command);
    if (!info || buf.size() != info->size) return false;
    buf.Put32(env::HeaderLength.offset, env::kHeaderLength);
    for (size_t i = 0; i < sizeof env::kSignature; ++i)
        buf.Put8(env::Signature.offset + i, static_cast<uint8_t>(env::kSignature[i]));
    buf.Put32(env::Timeout.offset, env::kTimeoutSeconds);
    buf.Put32(env::ControlCode.offset, env::kControlCode);
    buf.Put32(env::Length.offset, info->Length());
    buf.Put32(env::Command.offset, info->command);
    if (info->hasDataLength) buf.Put32(env::DataLength.offset, info->DataLength());
    return true;
}

// The reply test applied after DeviceIoControl returned TRUE: ReturnCode must be exactly
// the command's success value. The adapter count has no fixed value; see its callers.
inline bool ReplySucceeded(wire::ByteView buf, uint32_t command) {
    const CommandSpec* info = FindCommand(command);
    if (!info || buf.size() < env::kHeaderLength) return false;
    if (info->success == Success::AdapterCount) return true;
    return buf.U32(env::ReturnCode.offset) == info->SuccessCode();
}

}  // namespace channel
