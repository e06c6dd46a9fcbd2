// What the simulator test driver HALVSIM.sys and the Windows test programs share: the names
// of its control device, its control codes and the layout of every control request.
//
// The simulator driver stands in for the adapters' miniport in end-to-end tests: it answers
// IOCTL_SCSI_MINIPORT on \\.\ScsiN: and \\.\KIRNDEV from a population of simulated adapters
// that a test loads through the control device below. It is a test artefact and never ships.
//
// Freestanding: included by kernel-mode code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "channel/wire.h"
#include "sim/sim_core.h"

namespace simctl {

// Kernel names and the user-mode name of the control device.
inline constexpr wchar_t kControlDeviceName[] = L"\\Device\\HalvSimCtl";
inline constexpr wchar_t kControlLinkName[] = L"\\DosDevices\\HALVSIMCTL";
inline constexpr char kControlPath[] = "\\\\.\\HALVSIMCTL";

// The kernel driver service the test programs install.
inline constexpr char kServiceName[] = "HalvSim";
inline constexpr char kDriverFile[] = "HALVSIM.sys";

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS): the request
// bytes travel in the system buffer, and any handle to the control device may send them.
constexpr uint32_t ControlCode(uint32_t function) {
    return (0x22u << 16) | (function << 2);
}

// Input: a whole SimPopulation as the test built it (magic and size checked). The driver
// copies it over its own, then makes the adapters' device names match it.
inline constexpr uint32_t IOCTL_SIMCTL_LOAD_POPULATION = ControlCode(0x900);
// Output: the driver's SimPopulation as it stands (counters, written BIOS images, ...).
inline constexpr uint32_t IOCTL_SIMCTL_READ_POPULATION = ControlCode(0x901);
// Input: FaultRequest. Sets (or with kind 0 clears) one command's fault on one adapter.
inline constexpr uint32_t IOCTL_SIMCTL_SET_FAULT = ControlCode(0x902);
// Input: QueueEventRequest. Queues one event record on an adapter and, while the adapter has a
// registered notification, signals it at once.
inline constexpr uint32_t IOCTL_SIMCTL_QUEUE_EVENT = ControlCode(0x903);
// Input: SignalDpcRequest. Runs the deferred routine of the KDPC at DpcAddress with its first
// argument pointing at a copy of Slot, as the miniport does when it queues that DPC. The
// address must be one that a driver of the same process handed out.
inline constexpr uint32_t IOCTL_SIMCTL_SIGNAL_DPC = ControlCode(0x904);

// Output: ProbeDpcReply. The driver keeps a KDPC of its own whose deferred routine only counts
// its calls and the slot index its first argument points at. A test registers its address with
// MPCMD_REGISTER_EVENT_DPC to watch the miniport's notifications without the bridge driver.
inline constexpr uint32_t IOCTL_SIMCTL_QUERY_PROBE_DPC = ControlCode(0x905);

// Input: QueueEventsRequest with Count records. Queues them on an adapter without a signal per
// record and, with kSignalAfter in Flags, signals the adapter once afterwards (while it has a
// registered notification). Count 0 with kSignalAfter only signals. Output: 4 bytes, how many
// records were queued (the queue refuses records once it holds sim::kEventQueue).
inline constexpr uint32_t IOCTL_SIMCTL_QUEUE_EVENTS = ControlCode(0x906);

// Input: SignallingRequest. Sets how the adapter at Position announces its records
// (sim::SignalMode); the population's own field, so that a test can change it on a running
// service without loading a population (which would drop the registration).
inline constexpr uint32_t IOCTL_SIMCTL_SET_SIGNALLING = ControlCode(0x907);

static_assert(IOCTL_SIMCTL_LOAD_POPULATION == 0x00222400);
static_assert(IOCTL_SIMCTL_SIGNAL_DPC == 0x00222410);

namespace fault_request {
inline constexpr size_t kSize = 16;
inline constexpr wire::Field Position{0, 4};  // 0..9
inline constexpr wire::Field Command{4, 4};   // an MPCMD_ number
inline constexpr wire::Field Kind{8, 4};      // sim::FaultKind
inline constexpr wire::Field Delta{12, 4};    // signed; for kFaultReturnCodeOff
static_assert(Delta.End() == kSize);
}  // namespace fault_request

namespace queue_event_request {
inline constexpr size_t kSize = 44;
inline constexpr wire::Field Position{0, 4};
inline constexpr wire::Field Record{4, 40};  // one event record as MPCMD_READ_EVENTS returns it
static_assert(Record.End() == kSize && Record.width == channel::events::kRecordSize);
}  // namespace queue_event_request

namespace queue_events_request {
inline constexpr uint32_t kMaxRecords = 16;
inline constexpr uint32_t kSignalAfter = 1;
inline constexpr wire::Field Position{0, 4};
inline constexpr wire::Field Count{4, 4};  // records that follow, at most kMaxRecords
inline constexpr wire::Field Flags{8, 4};
inline constexpr size_t kFirstRecord = 12;
inline constexpr size_t kMaxSize = kFirstRecord + kMaxRecords * channel::events::kRecordSize;
inline constexpr size_t kReplySize = 4;  // records queued
static_assert(Flags.End() == kFirstRecord);
}  // namespace queue_events_request

namespace signalling_request {
inline constexpr size_t kSize = 8;
inline constexpr wire::Field Position{0, 4};  // 0..9
inline constexpr wire::Field Mode{4, 4};      // sim::SignalMode
static_assert(Mode.End() == kSize);
}  // namespace signalling_request

namespace signal_dpc_request {
inline constexpr size_t kSize = 12;
inline constexpr wire::Field DpcAddress{0, 8};
inline constexpr wire::Field Slot{8, 4};
static_assert(Slot.End() == kSize);
}  // namespace signal_dpc_request

namespace probe_dpc_reply {
inline constexpr size_t kSize = 20;
inline constexpr wire::Field DpcAddress{0, 8};      // the probe KDPC's kernel address
inline constexpr wire::Field Calls{8, 4};           // how often its deferred routine ran
inline constexpr wire::Field LastSlot{12, 4};       // *SystemArgument1 at the last call
inline constexpr wire::Field LastArgument2{16, 4};  // low half of SystemArgument2 then (NULL)
static_assert(LastArgument2.End() == kSize);
}  // namespace probe_dpc_reply

inline constexpr size_t kPopulationSize = sizeof(sim::SimPopulation);

}  // namespace simctl
