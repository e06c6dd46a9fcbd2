// The manager's process-wide tables: what the last discovery found, kept in fixed arrays
// that every other part of the manager reads by adapter, port and device number.
#pragma once

#include <stdint.h>

#include <array>
#include <string>

#include "channel/protocol.h"
#include "channel/wire.h"
#include "manager/core/ui.h"

namespace halv {

using channel::kMaxAdapters;
using channel::kMaxDevicesPerPort;
using channel::kMaxPorts;

inline constexpr size_t kDriverVersionTextSize = 20;   // 19 characters and the zero
inline constexpr size_t kEntryDriverVersionSize = 23;  // ControllerEntry.DriverVersion

struct ControllerEntry {
    TreeItem Item = kNoItem;
    uint8_t Controller = 0;
    char DevicePath[channel::kDevicePathSize] = {};
    char DriverVersion[kEntryDriverVersionSize] = {};
};

struct DeviceEntry {
    TreeItem Item = kNoItem;
    uint8_t Controller = 0, Port = 0, Device = 0;
    int32_t IsPacket = 0;
    uint8_t SmartFlags = 0;  // bit 0: supported, bit 1: enabled
    int32_t HasEnclosure = 0;
    int8_t TransferModeCode = 0;
};

inline constexpr uint8_t kSmartSupported = 0x01;
inline constexpr uint8_t kSmartEnabled = 0x02;

using ControllerInfoRecord = std::array<uint8_t, channel::controller_info::kSize>;
using DeviceInfoRecord = std::array<uint8_t, channel::device_info::kSize>;

struct ManagerTables {
    std::array<ControllerEntry, kMaxAdapters> ControllerEntries{};
    std::array<std::array<TreeItem, kMaxPorts>, kMaxAdapters> PortItems{};
    std::array<std::array<std::array<DeviceEntry, kMaxDevicesPerPort>, kMaxPorts>, kMaxAdapters>
        DeviceEntries{};
    std::array<ControllerInfoRecord, kMaxAdapters> ControllerInfoTable{};
    std::array<std::array<std::array<DeviceInfoRecord, kMaxDevicesPerPort>, kMaxPorts>,
               kMaxAdapters>
        DeviceInfoTable{};
    // The adapter texts: the ControllerName each adapter reported, or empty.
    std::array<std::string, kMaxAdapters> ControllerNames{};
    char DriverVersionText[kDriverVersionTextSize] = {};
    TreeItem RootItem = kNoItem;

    // The device last selected in the tree (SelectedController also by a right-click on an
    // adapter). Kept across refreshes.
    uint8_t SelectedController = 0, SelectedPort = 0, SelectedDevice = 0;

    // The transfer mode last set through the transfer-mode dialog, per device slot; 0 = none.
    // Lives for the process: a refresh does not clear it.
    std::array<std::array<std::array<uint8_t, kMaxDevicesPerPort>, kMaxPorts>, kMaxAdapters>
        ChosenModeNumbers{};

    wire::ByteView ControllerInfo(int a) {
        return {ControllerInfoTable[a].data(), ControllerInfoTable[a].size()};
    }
    wire::ByteView DeviceInfo(int a, int p, int d) {
        return {DeviceInfoTable[a][p][d].data(), DeviceInfoTable[a][p][d].size()};
    }
};

// Reads a zero-terminated text field of a stored record, never past the field's end.
std::string FieldText(const wire::ByteView& record, wire::Field field);

}  // namespace halv
