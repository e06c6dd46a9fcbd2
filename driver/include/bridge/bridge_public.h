// What the bridge driver XAPHLINK and its user-mode callers share: the device names, the three
// control codes, the reply sizes and the slot values. Included by the kernel build (after the
// WDM headers) and by C++ user mode (with or without windows.h); it needs nothing but <stdint.h>.
#pragma once

#include <stdint.h>

// Device type of the bridge device, and the device-type field of every bridge control code.
inline constexpr uint32_t BRIDGE_DEVICE_TYPE = 0x8300;

// A bridge control code: METHOD_BUFFERED (0) and FILE_ANY_ACCESS (0), so the request and its
// reply share the one system buffer.
constexpr uint32_t BridgeControlCode(uint32_t function) {
    return (BRIDGE_DEVICE_TYPE << 16) | (function << 2);
}

// Input ignored; output at least 4 bytes: BRIDGE_INTERFACE_VERSION as 32 bits.
inline constexpr uint32_t IOCTL_BRIDGE_QUERY_VERSION = BridgeControlCode(0x830);
// Input empty (slot 0) or a slot index of BRIDGE_DPC_QUERY_INPUT_SIZE bytes; output at least 8
// bytes: the kernel address of that slot's DPC object.
inline constexpr uint32_t IOCTL_BRIDGE_QUERY_DPC = BridgeControlCode(0x831);
// Input a NUL-terminated UTF-16 event name (empty input: test signal of slot 0); output at
// least 4 bytes when a name is given: the slot index, BRIDGE_NO_SLOT when the name got none.
inline constexpr uint32_t IOCTL_BRIDGE_REGISTER_EVENT = BridgeControlCode(0x840);

static_assert(IOCTL_BRIDGE_QUERY_VERSION == 0x830020C0u);
static_assert(IOCTL_BRIDGE_QUERY_DPC == 0x830020C4u);
static_assert(IOCTL_BRIDGE_REGISTER_EVENT == 0x83002100u);

inline constexpr uint32_t BRIDGE_INTERFACE_VERSION = 0x00010002;

// Slots are taken in the order 0..3 and kept until the driver unloads.
inline constexpr uint32_t BRIDGE_SLOT_COUNT = 4;
// The register reply when the name got no slot (bad name, no event, or all slots taken).
inline constexpr uint32_t BRIDGE_NO_SLOT = 0xFFFFFFFF;

// Reply and request sizes in bytes (all values little-endian).
inline constexpr uint32_t BRIDGE_VERSION_REPLY_SIZE = 4;
inline constexpr uint32_t BRIDGE_SLOT_REPLY_SIZE = 4;
// A DPC address and the slot index of IOCTL_BRIDGE_QUERY_DPC are as wide as a kernel pointer;
// the driver is built for 64-bit Windows only.
inline constexpr uint32_t BRIDGE_DPC_REPLY_SIZE = 8;
inline constexpr uint32_t BRIDGE_DPC_QUERY_INPUT_SIZE = 8;

// The driver opens "\BaseNamedObjects\<name>" in a 256-byte buffer: a registered name may have
// at most this many UTF-16 units before its NUL. Longer names get BRIDGE_NO_SLOT.
inline constexpr uint32_t BRIDGE_MAX_EVENT_NAME_UNITS = 110;

// Contract with the producer that queues a slot's DPC: system argument 1 points to a signed
// 32-bit slot index that stays valid until the DPC has run; system argument 2 is unused.
using BridgeDpcSlotIndex = int32_t;

inline constexpr char BRIDGE_USER_DEVICE_PATH[] = "\\\\.\\XAPHLINK";
// Kernel names; wchar_t is UTF-16 in the Windows builds that use them.
inline constexpr wchar_t BRIDGE_KERNEL_DEVICE_NAME[] = L"\\Device\\XAPHLINK";
inline constexpr wchar_t BRIDGE_KERNEL_LINK_NAME[] = L"\\DosDevices\\XAPHLINK";
