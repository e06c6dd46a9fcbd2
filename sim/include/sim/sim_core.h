// The adapter simulator's request-handling core: what the adapters' miniport does for every
// command the programs send, over a population of simulated adapters.
//
// Freestanding by design (no exceptions, no standard library, no allocation per request):
// the same core answers in-process for native tests and inside a kernel-mode test driver
// under Wine. The population is one plain struct that a caller allocates once.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "channel/protocol.h"

namespace sim {

inline constexpr int kPositions = 10;        // \\.\Scsi0: .. \\.\Scsi9: (9 is never probed)
inline constexpr int kLegacyPosition = 100;  // \\.\KIRNDEV, serving every adapter
inline constexpr int kNoPosition = -1;
inline constexpr int kPorts = 8;  // more than the programs hold, to test bounds
inline constexpr int kDevicesPerPort = 12;
// Room for a real backlog: more than the monitor reads in one burst of full replies.
inline constexpr int kEventQueue = 512;
inline constexpr size_t kBiosSize = channel::bios::kImageSize;

struct SimDevice {
    uint8_t present;
    uint8_t packet;
    uint16_t extraFlags;  // further DeviceFlags bits, which the programs must ignore
    uint8_t pioMode;
    uint8_t dmaMode;     // 255 = none
    uint8_t udmaMode;    // 255 = none
    uint8_t smartState;  // 0 not enabled, 1 functional, 2 predictive error, 3 not supported
    char model[22];      // copied to the reply as it stands: may be left unterminated
    char serial[21];
    char firmware[10];
    uint16_t cylinders;
    uint8_t heads;
    uint8_t sectorsPerTrack;
    uint32_t capacitySectors;
    uint16_t lastAtaSectorCount;  // what the last SET FEATURES (set transfer mode) carried
    uint16_t ataCommands;         // how many such commands arrived
};

struct SimEnclosure {
    uint8_t type;  // 0 or 255: none; 1, 2, 4: known models; other values: another model
    uint8_t bayLocation;
    uint16_t temperature1, temperature2;
    uint16_t fan1Rpm, fan2Rpm;
    uint16_t voltage5, voltage12;
};

enum FaultKind : uint8_t {
    kFaultNone = 0,
    kFaultCallFails = 1,      // DeviceIoControl returns FALSE
    kFaultReturnCodeOff = 2,  // the call succeeds but ReturnCode is the success value + delta
};

// When the miniport queues an adapter's notification. The contract promises only a
// notification when records arrive while one is registered; a miniport may do no more.
enum SignalMode : uint8_t {
    // Every queued record (or batch), again after a read that leaves records behind, and at
    // registration when records wait.
    kSignalGenerous = 0,
    // Only when a record lands in an empty queue while registered: nothing at registration,
    // nothing after a read, nothing for a record queued behind others.
    kSignalEdge = 1,
    // As kSignalGenerous, but nothing at registration: records queued before it wait unseen.
    kSignalNoRegistration = 2,
};
inline constexpr uint8_t kSignalModeCount = 3;

struct CommandFault {
    uint8_t kind;   // FaultKind
    int32_t delta;  // for kFaultReturnCodeOff
};

struct SimCounters {
    uint32_t opens;
    uint32_t failedOpens;
    uint32_t closes;
    uint32_t requests;                           // every control request that arrived
    uint32_t byCommand[channel::kCommandCount];  // accepted requests, per command
};

struct SimAdapter {
    uint8_t exists;              // a SCSI port device at this position
    uint8_t foreign;             // another vendor's adapter: opens, but refuses our signature
    uint8_t openFails;           // the device does not open
    uint8_t replyControllerSet;  // answer MPCMD_GET_CONTROLLER_INFO with replyController
    uint8_t replyController;     // in place of the Controller byte sent (hostile replies)
    uint8_t signalling;          // SignalMode
    uint8_t reserved[2];
    uint32_t pciDeviceId;
    char name[64];  // reported ControllerName; may be empty
    uint16_t versionPart[4];
    uint16_t portCount;       // reported; may exceed kPorts
    uint16_t devicesPerPort;  // reported; may exceed kDevicesPerPort
    SimDevice devices[kPorts][kDevicesPerPort];
    SimEnclosure enclosures[kPorts];
    uint8_t bios[kBiosSize];
    CommandFault faults[channel::kCommandCount];  // indexed like channel::kCommands

    // Event records waiting to be read, oldest first.
    uint32_t queuedEvents;
    uint8_t eventRecords[kEventQueue][channel::events::kRecordSize];
    uint32_t eventCountOverride;  // non-zero: report this EventCount (hostile replies)

    // Notification registered by MPCMD_REGISTER_EVENT_DPC.
    uint8_t dpcRegistered;
    uint64_t dpcAddress;
    int32_t dpcSlot;  // the slot index the notification points at; stays valid while registered
    uint32_t signalsSent;

    SimCounters counters;
};

struct SimPopulation {
    uint32_t magic;        // kPopulationMagic: guards the kernel driver against a stale layout
    uint32_t size;         // sizeof(SimPopulation)
    uint8_t legacyDevice;  // \\.\KIRNDEV exists (Windows 9x)
    uint8_t legacyOpenFails;
    uint8_t reserved[2];
    int32_t legacyCountOverride;  // >= 0: MPCMD_GET_ADAPTER_COUNT answers this on \\.\KIRNDEV
    SimAdapter adapters[kPositions];
    SimCounters legacyCounters;
};

inline constexpr uint32_t kPopulationMagic = 0x4D495348;  // "HSIM"

// Called when an adapter with queued events has a registered notification: the kernel test
// driver runs the bridge's deferred routine here, native tests record the call.
struct SignalHook {
    void (*signal)(void* context, uint64_t dpcAddress, int32_t* slotIndex);
    void* context;
};

// Index of `command` in channel::kCommands, or -1.
int CommandIndex(uint32_t command);

// Empties a population: no adapters, no legacy device, valid header.
void ClearPopulation(SimPopulation& pop);

// Fills a 32768-byte image that passes the manager's update checks for `pciDeviceId`
// and carries "Version <version>\r\n".
void FillBiosImage(uint8_t* image, uint16_t pciDeviceId, const char* version);

// "\\.\ScsiN:" -> N, "\\.\KIRNDEV" -> kLegacyPosition, anything else -> kNoPosition.
// Case-insensitive, as the object manager compares names.
int PositionFromName(const char* name);

// Opening and closing a device by position; counted. Returns false when it does not open.
bool OpenPosition(SimPopulation& pop, int position);
void ClosePosition(SimPopulation& pop, int position);

// One IOCTL_SCSI_MINIPORT request on the device at `position`. `buffer` holds `inputLength`
// request bytes and has room for `outputLength`; the reply is written in place. Returns
// whether DeviceIoControl succeeds.
bool HandleRequest(SimPopulation& pop, int position, uint8_t* buffer, size_t inputLength,
                   size_t outputLength, const SignalHook* hook);

// Queues an event record for the adapter at `position` and, when the adapter has a
// registered notification, signals it as its SignalMode says. Returns false when the queue is
// full.
bool QueueEvent(SimPopulation& pop, int position, const uint8_t* record40, const SignalHook* hook);

// Queues up to `count` event records (40 bytes each, one after the other) for the adapter at
// `position` without signalling each; with `signal`, signals once afterwards when the adapter
// has a registered notification, as a miniport does after a batch (in kSignalEdge only when the
// batch landed in an empty queue). Returns how many records
// were queued: the queue holds kEventQueue, later records are refused.
uint32_t QueueEvents(SimPopulation& pop, int position, const uint8_t* records, uint32_t count,
                     bool signal, const SignalHook* hook);

// Builds a 40-byte event record.
void MakeEventRecord(uint8_t* record40, uint32_t eventCode, uint32_t severity, uint32_t portIndex,
                     uint32_t diskIndex, uint32_t eventValue);

// The adapter the miniport numbers `controller` (its adapters in position order, foreign
// ones left out), or kNoPosition.
int PositionOfController(const SimPopulation& pop, uint32_t controller);

}  // namespace sim
