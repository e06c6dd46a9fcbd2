// HALVSIM.sys: the adapter simulator as a kernel-mode driver, for end-to-end tests of the
// unchanged Windows programs. It serves one device per simulated adapter under the SCSI port
// name the population gives it (\\.\ScsiN:), the Windows 9x device \\.\KIRNDEV, and a control
// device \\.\HALVSIMCTL through which a test loads a population, injects faults, queues
// event records, reads the counters back and runs a deferred routine.
//
// Every miniport request is answered by the same freestanding core (sim_core) that native
// tests run in-process, so the two kinds of test cannot drift apart.
#include <ntddk.h>

#include "sim/sim_core.h"
#include "simctl_public.h"

namespace {

constexpr ULONG kPoolTag = 0x4D495348;  // "HSIM" in a pool dump
constexpr int kControlPosition = -2;

// One device object per place an adapter can appear, created once at load: positions
// 0..9 (\\.\Scsi0: .. \\.\Scsi9:), then the Windows 9x device. A population only decides
// which of them have a user-mode name, so a handle left open across a reload never points
// at a deleted device.
constexpr int kSimDevices = sim::kPositions + 1;
constexpr int kLegacyIndex = sim::kPositions;

struct DeviceContext {
    int position;  // sim position, sim::kLegacyPosition, or kControlPosition
};

struct DriverState {
    sim::SimPopulation* population;  // non-paged, allocated once; requests never allocate
    KMUTEX lock;                     // one request at a time touches the population
    PDEVICE_OBJECT control;
    bool controlLinked;
    PDEVICE_OBJECT devices[kSimDevices];
    bool linked[kSimDevices];
    // The probe DPC (IOCTL_SIMCTL_QUERY_PROBE_DPC) and what its routine saw.
    KDPC probeDpc;
    volatile LONG probeCalls;
    volatile LONG probeLastSlot;
    volatile LONG probeLastArgument2;
};

DriverState g_state;

int PositionOfIndex(int index) {
    return index == kLegacyIndex ? sim::kLegacyPosition : index;
}

// "\Device\HalvSimScsiN" / "\DosDevices\ScsiN:" for a position, "...Kirn" / "KIRNDEV" for the
// Windows 9x device. `buffer` holds 32 characters.
void FormatDeviceName(wchar_t* buffer, int index) {
    const wchar_t* base =
        index == kLegacyIndex ? L"\\Device\\HalvSimKirn" : L"\\Device\\HalvSimScsi";
    int n = 0;
    for (; base[n]; ++n) buffer[n] = base[n];
    if (index != kLegacyIndex) buffer[n++] = static_cast<wchar_t>(L'0' + index);
    buffer[n] = 0;
}

void FormatLinkName(wchar_t* buffer, int index) {
    const wchar_t* text =
        index == kLegacyIndex ? L"\\DosDevices\\KIRNDEV" : L"\\DosDevices\\Scsi0:";
    int n = 0;
    for (; text[n]; ++n) buffer[n] = text[n];
    buffer[n] = 0;
    if (index != kLegacyIndex) buffer[n - 2] = static_cast<wchar_t>(L'0' + index);
}

class LockGuard {
  public:
    LockGuard() { KeWaitForSingleObject(&g_state.lock, Executive, KernelMode, FALSE, nullptr); }
    ~LockGuard() { KeReleaseMutex(&g_state.lock, FALSE); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
};

// Runs the deferred routine of a KDPC that the bridge driver initialised, the way the
// miniport's queued DPC would run it. Wine's KeInsertQueueDpc never runs a DPC, so the
// simulator calls the routine itself. Only addresses that reached this driver through
// MPCMD_REGISTER_EVENT_DPC or a test's signal request are used; a driver in another
// winedevice process would hand out an address that is not valid here.
void RunDeferredRoutine(uint64_t address, void* argument1) {
    auto* dpc = reinterpret_cast<PKDPC>(static_cast<ULONG_PTR>(address));
    if (!dpc || (address & 7) != 0 || !dpc->DeferredRoutine) {
        DbgPrint("HALVSIM: no deferred routine at %p\n", dpc);
        return;
    }
    DbgPrint("HALVSIM: running deferred routine of %p, argument %p\n", dpc, argument1);
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, argument1, nullptr);
}

KDEFERRED_ROUTINE ProbeDeferredRoutine;

void NTAPI ProbeDeferredRoutine(PKDPC, PVOID, PVOID argument1, PVOID argument2) {
    g_state.probeLastSlot = argument1 ? *static_cast<const LONG*>(argument1) : -1;
    g_state.probeLastArgument2 = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(argument2));
    InterlockedIncrement(&g_state.probeCalls);
}

void SignalHookRoutine(void*, uint64_t dpcAddress, int32_t* slotIndex) {
    RunDeferredRoutine(dpcAddress, slotIndex);
}

const sim::SignalHook kSignalHook = {SignalHookRoutine, nullptr};

// Gives each device of the population its user-mode name and takes it away from each device
// that the population leaves out. A device that must fail to open gets no name: Wine lets an
// open succeed even when IRP_MJ_CREATE fails, so only a missing name makes it unopenable.
void SyncLinks() {
    const sim::SimPopulation& pop = *g_state.population;
    for (int i = 0; i < kSimDevices; ++i) {
        bool want;
        if (i == kLegacyIndex) {
            want = pop.legacyDevice && !pop.legacyOpenFails;
        } else {
            const sim::SimAdapter& a = pop.adapters[i];
            want = a.exists && !a.openFails;
        }
        if (want == g_state.linked[i] || !g_state.devices[i]) continue;
        wchar_t deviceText[32], linkText[32];
        FormatDeviceName(deviceText, i);
        FormatLinkName(linkText, i);
        UNICODE_STRING deviceName, linkName;
        RtlInitUnicodeString(&deviceName, deviceText);
        RtlInitUnicodeString(&linkName, linkText);
        NTSTATUS status =
            want ? IoCreateSymbolicLink(&linkName, &deviceName) : IoDeleteSymbolicLink(&linkName);
        if (NT_SUCCESS(status)) {
            g_state.linked[i] = want;
        } else {
            DbgPrint("HALVSIM: %s link %ls failed: 0x%08lx\n", want ? "create" : "delete", linkText,
                     status);
        }
    }
}

void RemoveAll(PDRIVER_OBJECT) {
    UNICODE_STRING name;
    for (int i = 0; i < kSimDevices; ++i) {
        if (g_state.linked[i]) {
            wchar_t linkText[32];
            FormatLinkName(linkText, i);
            RtlInitUnicodeString(&name, linkText);
            IoDeleteSymbolicLink(&name);
            g_state.linked[i] = false;
        }
        if (g_state.devices[i]) {
            IoDeleteDevice(g_state.devices[i]);
            g_state.devices[i] = nullptr;
        }
    }
    if (g_state.controlLinked) {
        RtlInitUnicodeString(&name, simctl::kControlLinkName);
        IoDeleteSymbolicLink(&name);
        g_state.controlLinked = false;
    }
    if (g_state.control) {
        IoDeleteDevice(g_state.control);
        g_state.control = nullptr;
    }
    if (g_state.population) {
        ExFreePoolWithTag(g_state.population, kPoolTag);
        g_state.population = nullptr;
    }
}

NTSTATUS CreateDevice(PDRIVER_OBJECT driver, const wchar_t* text, int position,
                      PDEVICE_OBJECT* out) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceContext), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        DbgPrint("HALVSIM: IoCreateDevice %ls failed: 0x%08lx\n", text, status);
        return status;
    }
    static_cast<DeviceContext*>(device->DeviceExtension)->position = position;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *out = device;
    return STATUS_SUCCESS;
}

int PositionOf(PDEVICE_OBJECT device) {
    return static_cast<const DeviceContext*>(device->DeviceExtension)->position;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Control requests of the test programs. Returns the status and, through `information`,
// how many bytes of the system buffer are the reply.
NTSTATUS HandleControl(ULONG code, uint8_t* buffer, ULONG inLength, ULONG outLength,
                       ULONG_PTR* information) {
    sim::SimPopulation& pop = *g_state.population;
    switch (code) {
        case simctl::IOCTL_SIMCTL_LOAD_POPULATION: {
            if (inLength != simctl::kPopulationSize) return STATUS_INFO_LENGTH_MISMATCH;
            wire::ByteView in(buffer, inLength);
            // The population's own header (magic, size) guards against a test program built
            // from another layout than this driver.
            if (in.U32(0) != sim::kPopulationMagic || in.U32(4) != simctl::kPopulationSize)
                return STATUS_REVISION_MISMATCH;
            LockGuard guard;
            RtlCopyMemory(&pop, buffer, simctl::kPopulationSize);
            SyncLinks();
            return STATUS_SUCCESS;
        }
        case simctl::IOCTL_SIMCTL_READ_POPULATION: {
            if (outLength < simctl::kPopulationSize) return STATUS_BUFFER_TOO_SMALL;
            LockGuard guard;
            RtlCopyMemory(buffer, &pop, simctl::kPopulationSize);
            *information = simctl::kPopulationSize;
            return STATUS_SUCCESS;
        }
        case simctl::IOCTL_SIMCTL_SET_FAULT: {
            if (inLength < simctl::fault_request::kSize) return STATUS_BUFFER_TOO_SMALL;
            wire::ByteView in(buffer, inLength);
            const uint32_t position = in.U32(simctl::fault_request::Position.offset);
            const int index = sim::CommandIndex(in.U32(simctl::fault_request::Command.offset));
            const uint32_t kind = in.U32(simctl::fault_request::Kind.offset);
            if (position >= static_cast<uint32_t>(sim::kPositions) || index < 0 ||
                kind > sim::kFaultReturnCodeOff)
                return STATUS_INVALID_PARAMETER;
            LockGuard guard;
            sim::CommandFault& fault = pop.adapters[position].faults[index];
            fault.kind = static_cast<uint8_t>(kind);
            fault.delta = static_cast<int32_t>(in.U32(simctl::fault_request::Delta.offset));
            return STATUS_SUCCESS;
        }
        case simctl::IOCTL_SIMCTL_SET_SIGNALLING: {
            namespace r = simctl::signalling_request;
            if (inLength < r::kSize) return STATUS_BUFFER_TOO_SMALL;
            wire::ByteView in(buffer, inLength);
            const uint32_t position = in.U32(r::Position.offset);
            const uint32_t mode = in.U32(r::Mode.offset);
            if (position >= static_cast<uint32_t>(sim::kPositions) || mode >= sim::kSignalModeCount)
                return STATUS_INVALID_PARAMETER;
            LockGuard guard;
            pop.adapters[position].signalling = static_cast<uint8_t>(mode);
            return STATUS_SUCCESS;
        }
        case simctl::IOCTL_SIMCTL_QUEUE_EVENT: {
            if (inLength < simctl::queue_event_request::kSize) return STATUS_BUFFER_TOO_SMALL;
            wire::ByteView in(buffer, inLength);
            const uint32_t position = in.U32(simctl::queue_event_request::Position.offset);
            if (position >= static_cast<uint32_t>(sim::kPositions)) return STATUS_INVALID_PARAMETER;
            LockGuard guard;
            const bool queued =
                sim::QueueEvent(pop, static_cast<int>(position),
                                buffer + simctl::queue_event_request::Record.offset, &kSignalHook);
            return queued ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        }
        case simctl::IOCTL_SIMCTL_QUEUE_EVENTS: {
            namespace q = simctl::queue_events_request;
            if (inLength < q::kFirstRecord || outLength < q::kReplySize)
                return STATUS_BUFFER_TOO_SMALL;
            wire::ByteView in(buffer, inLength);
            const uint32_t position = in.U32(q::Position.offset);
            const uint32_t count = in.U32(q::Count.offset);
            if (position >= static_cast<uint32_t>(sim::kPositions) || count > q::kMaxRecords ||
                inLength < q::kFirstRecord + count * channel::events::kRecordSize)
                return STATUS_INVALID_PARAMETER;
            const bool signal = (in.U32(q::Flags.offset) & q::kSignalAfter) != 0;
            uint32_t queued;
            {
                LockGuard guard;
                queued = sim::QueueEvents(pop, static_cast<int>(position), buffer + q::kFirstRecord,
                                          count, signal, &kSignalHook);
            }
            wire::ByteView(buffer, q::kReplySize).Put32(0, queued);
            *information = q::kReplySize;
            return STATUS_SUCCESS;
        }
        case simctl::IOCTL_SIMCTL_SIGNAL_DPC: {
            if (inLength < simctl::signal_dpc_request::kSize) return STATUS_BUFFER_TOO_SMALL;
            wire::ByteView in(buffer, inLength);
            const uint64_t address = in.U64(simctl::signal_dpc_request::DpcAddress.offset);
            if (!address) return STATUS_INVALID_PARAMETER;
            // The routine reads the slot through its first argument while it runs; a copy on
            // this stack outlives the call.
            int32_t slot = static_cast<int32_t>(in.U32(simctl::signal_dpc_request::Slot.offset));
            RunDeferredRoutine(address, &slot);
            return STATUS_SUCCESS;
        }
        case simctl::IOCTL_SIMCTL_QUERY_PROBE_DPC: {
            namespace r = simctl::probe_dpc_reply;
            if (outLength < r::kSize) return STATUS_BUFFER_TOO_SMALL;
            wire::ByteView out(buffer, r::kSize);
            out.Put64(r::DpcAddress.offset, reinterpret_cast<ULONG_PTR>(&g_state.probeDpc));
            out.Put32(r::Calls.offset, static_cast<uint32_t>(g_state.probeCalls));
            out.Put32(r::LastSlot.offset, static_cast<uint32_t>(g_state.probeLastSlot));
            out.Put32(r::LastArgument2.offset, static_cast<uint32_t>(g_state.probeLastArgument2));
            *information = r::kSize;
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchControl;
DRIVER_UNLOAD DriverUnload;

// Opening an adapter's device is counted; a device whose population entry is gone or must
// not open fails the create (on Windows that fails the open; under Wine its name is gone).
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    const int position = PositionOf(device);
    if (position == kControlPosition) return Complete(irp, STATUS_SUCCESS, 0);
    bool opened;
    {
        LockGuard guard;
        opened = sim::OpenPosition(*g_state.population, position);
    }
    return Complete(irp, opened ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    const int position = PositionOf(device);
    if (position != kControlPosition) {
        LockGuard guard;
        sim::ClosePosition(*g_state.population, position);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

// IOCTL_SCSI_MINIPORT on an adapter's device goes to the simulator core with the system
// buffer; a request the core refuses (another signature, a foreign adapter, an injected
// failure) fails the call, as the miniport's does. Any other control code fails too.
NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const int position = PositionOf(device);

    if (position == kControlPosition) {
        ULONG_PTR information = 0;
        NTSTATUS status = buffer || (inLength == 0 && outLength == 0)
                              ? HandleControl(code, buffer, inLength, outLength, &information)
                              : STATUS_INVALID_PARAMETER;
        return Complete(irp, status, information);
    }
    if (code != channel::kIoctlScsiMiniport || !buffer)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    bool answered;
    {
        LockGuard guard;
        answered = sim::HandleRequest(*g_state.population, position, buffer, inLength, outLength,
                                      &kSignalHook);
    }
    return answered ? Complete(irp, STATUS_SUCCESS, outLength)
                    : Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

void NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    RemoveAll(driver);
    DbgPrint("HALVSIM: unloaded\n");
}

}  // namespace

extern "C" DRIVER_INITIALIZE DriverEntry;

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_state = DriverState{};
    KeInitializeMutex(&g_state.lock, 0);
    KeInitializeDpc(&g_state.probeDpc, ProbeDeferredRoutine, nullptr);
    g_state.probeLastSlot = -1;
    g_state.population = static_cast<sim::SimPopulation*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(sim::SimPopulation), kPoolTag));
    if (!g_state.population) return STATUS_INSUFFICIENT_RESOURCES;
    sim::ClearPopulation(*g_state.population);

    NTSTATUS status =
        CreateDevice(driver, simctl::kControlDeviceName, kControlPosition, &g_state.control);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING device, link;
        RtlInitUnicodeString(&device, simctl::kControlDeviceName);
        RtlInitUnicodeString(&link, simctl::kControlLinkName);
        status = IoCreateSymbolicLink(&link, &device);
        g_state.controlLinked = NT_SUCCESS(status);
    }
    for (int i = 0; NT_SUCCESS(status) && i < kSimDevices; ++i) {
        wchar_t text[32];
        FormatDeviceName(text, i);
        status = CreateDevice(driver, text, PositionOfIndex(i), &g_state.devices[i]);
    }
    if (!NT_SUCCESS(status)) {
        RemoveAll(driver);
        return status;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = DriverUnload;
    DbgPrint("HALVSIM: loaded, population of %u bytes\n",
             static_cast<unsigned>(sizeof(sim::SimPopulation)));
    return STATUS_SUCCESS;
}
