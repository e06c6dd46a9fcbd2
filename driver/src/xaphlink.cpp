// XAPHLINK: the bridge between the adapters' miniport and the message service. The miniport
// queues a slot's DPC when it holds event records; the DPC sets that slot's named event, on
// which the service waits. No event data passes through here.
//
// This file is the WDM side only: the device extension, the driver's routines and the kernel
// calls. What the routines decide lives in bridge_core.h, which is tested natively.
#include <ntifs.h>  // ZwCreateEvent, ObOpenObjectByPointer, ZwSetSecurityObject; includes wdm.h

#include <stddef.h>

#include "bridge/bridge_public.h"
#include "bridge_core.h"

// The only state of the driver. SignalDpc comes first, so slot 0's DPC address is also the
// address of the extension.
typedef struct _BRIDGE_DEVICE_EXTENSION {
    KDPC SignalDpc[BRIDGE_SLOT_COUNT];
    PKEVENT SlotEvent[BRIDGE_SLOT_COUNT];  // null while the slot is free
    HANDLE SlotEventHandle[BRIDGE_SLOT_COUNT];
    FAST_MUTEX SlotLock;  // held while a registration scans and takes the slots
} BRIDGE_DEVICE_EXTENSION, *PBRIDGE_DEVICE_EXTENSION;

static_assert(offsetof(BRIDGE_DEVICE_EXTENSION, SignalDpc) == 0);
static_assert(sizeof(KDPC) == 64);
static_assert(offsetof(BRIDGE_DEVICE_EXTENSION, SlotEvent) == 256);
static_assert(offsetof(BRIDGE_DEVICE_EXTENSION, SlotEventHandle) == 288);
static_assert(offsetof(BRIDGE_DEVICE_EXTENSION, SlotLock) == 320);
static_assert(sizeof(void*) == BRIDGE_DPC_REPLY_SIZE, "the bridge is a 64-bit driver");
static_assert(sizeof(WCHAR) == sizeof(char16_t));
static_assert(bridge::kStatusSuccess == STATUS_SUCCESS);
static_assert(bridge::kStatusUnsuccessful == STATUS_UNSUCCESSFUL);
static_assert(bridge::kStatusInfoLengthMismatch == STATUS_INFO_LENGTH_MISMATCH);
static_assert(bridge::kStatusInvalidParameter == STATUS_INVALID_PARAMETER);
static_assert(bridge::kStatusObjectNameInvalid == STATUS_OBJECT_NAME_INVALID);
static_assert(bridge::kStatusObjectTypeMismatch == STATUS_OBJECT_TYPE_MISMATCH);
static_assert(bridge::kEventAccess == (EVENT_MODIFY_STATE | SYNCHRONIZE));
static_assert(bridge::kEventAttributes ==
              (OBJ_OPENIF | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK));
static_assert(bridge::kDeviceCharacteristics == FILE_DEVICE_SECURE_OPEN);
static_assert(bridge::device_sd::kControl ==
              (SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT));
static_assert(bridge::device_sd::kAclRevision == ACL_REVISION);
static_assert(bridge::device_sd::kGenericAll == GENERIC_ALL);
static_assert(bridge::device_sd::kAccessAllowedAceType == ACCESS_ALLOWED_ACE_TYPE);
static_assert(bridge::device_sd::kLocalSystemRid == SECURITY_LOCAL_SYSTEM_RID);
static_assert(bridge::device_sd::kBuiltinDomainRid == SECURITY_BUILTIN_DOMAIN_RID);
static_assert(bridge::device_sd::kAdministratorsRid == DOMAIN_ALIAS_RID_ADMINS);

// ntoskrnl exports ExEventObjectType as data: a variable that holds the event type's
// POBJECT_TYPE. The import library names the image's import-address entry for it
// __imp_ExEventObjectType; once the loader has bound the image, that entry holds the
// variable's address, so one dereference gives the type. MinGW's wdm.h declares the export
// itself as a dllimport POBJECT_TYPE*, one level too deep: `*ExEventObjectType` through that
// declaration reads the first bytes of the type object instead, a wrong address that
// Windows would reject at best and that crashed Wine's ntoskrnl.
extern "C" POBJECT_TYPE* __imp_ExEventObjectType;

extern "C" DRIVER_INITIALIZE DriverEntry;
static DRIVER_DISPATCH BridgeDispatch;
static DRIVER_UNLOAD BridgeUnload;
static KDEFERRED_ROUTINE BridgeSignalDpcRoutine;

namespace {

// The kernel operations the bridge's logic needs, over the WDM interfaces.
class WdmKernel {
  public:
    using Extension = BRIDGE_DEVICE_EXTENSION;
    using Event = PKEVENT;
    using Handle = HANDLE;
    using Irql = KIRQL;
    using Dpc = KDPC;
    using Lock = FAST_MUTEX;

    explicit WdmKernel(PDRIVER_OBJECT driver) : driver_(driver) {}

    // Opens "\BaseNamedObjects\<name>", creating a notification event when it does not exist:
    // the service creates its events before it registers them, and a name registered a second
    // time must reach the same object. IoCreateNotificationEvent would do this on Windows, but
    // it asks for every right and checks none of the requester's, and Wine's version creates
    // without OBJ_OPENIF and fails on an existing name. ZwCreateEvent with the core's access
    // and attributes (OBJ_OPENIF, OBJ_KERNEL_HANDLE and OBJ_FORCE_ACCESS_CHECK) followed by
    // ObReferenceObjectByHandle behaves alike on both. The dispatch routine runs in the
    // requester's thread, so the forced check is made against the requester's token.
    // ZwCreateEvent already fails on a name that belongs to another type; the event type is
    // passed all the same, so that the pointer taken is an event by the object manager's word,
    // whatever reached the handle. The reference taken here is dropped in CloseEvent, after
    // the handle.
    bool OpenOrCreateEvent(const char16_t* name, size_t units, uint32_t access, uint32_t attributes,
                           PKEVENT& event, HANDLE& handle) {
        UNICODE_STRING full_name;
        full_name.Buffer = const_cast<PWCH>(reinterpret_cast<const WCHAR*>(name));
        full_name.Length = static_cast<USHORT>(units * sizeof(WCHAR));
        full_name.MaximumLength = full_name.Length;
        OBJECT_ATTRIBUTES object_attributes;
        InitializeObjectAttributes(&object_attributes, &full_name, attributes, nullptr, nullptr);
        HANDLE opened = nullptr;
        NTSTATUS status =
            ZwCreateEvent(&opened, access, &object_attributes, NotificationEvent, FALSE);
        if (!NT_SUCCESS(status)) return false;
        PVOID object = nullptr;
        status = ObReferenceObjectByHandle(opened, EVENT_MODIFY_STATE, *__imp_ExEventObjectType,
                                           KernelMode, &object, nullptr);
        if (!NT_SUCCESS(status)) {
            ZwClose(opened);
            return false;
        }
        event = static_cast<PKEVENT>(object);
        handle = opened;
        return true;
    }

    // KeInitializeEvent stores the event's type in its dispatcher header, and the type is read
    // there. ZwQueryEvent would tell it too, but Wine's ntoskrnl does not export it, and a driver
    // that imports it does not load there. (Under Wine the header shows the type only when
    // Wine could query the event through the handle, which the handle's rights do not allow:
    // there every event passes as a notification event.) The byte shares its place with the
    // header's lock, which another processor may hold and release at any moment: it is read
    // once, and the core masks the lock bit.
    UCHAR EventHeaderType(PKEVENT event) {
        return *reinterpret_cast<volatile UCHAR*>(&event->Header.Type);
    }

    void CloseEvent(PKEVENT event, HANDLE handle) {
        ZwClose(handle);
        ObDereferenceObject(event);
    }

    // A fast mutex: registrations come at passive level, and the holder only fills in a slot.
    void InitializeLock(FAST_MUTEX& lock) { ExInitializeFastMutex(&lock); }
    void AcquireLock(FAST_MUTEX& lock) { ExAcquireFastMutex(&lock); }
    void ReleaseLock(FAST_MUTEX& lock) { ExReleaseFastMutex(&lock); }

    void InitializeDpc(KDPC& dpc, void* context) {
        KeInitializeDpc(&dpc, BridgeSignalDpcRoutine, context);
    }

    // The slot pointers are aligned pointer-wide fields; on x64 the load and store below are
    // single moves (ordered for the compiler) and the exchange a locked xchg, so the deferred
    // routine on another processor sees either the old or the new event, never a torn value.
    PKEVENT ReadSlotEvent(PKEVENT& cell) { return __atomic_load_n(&cell, __ATOMIC_ACQUIRE); }
    void PublishSlotEvent(PKEVENT& cell, PKEVENT event) {
        __atomic_store_n(&cell, event, __ATOMIC_RELEASE);
    }
    PKEVENT EmptySlotEvent(PKEVENT& cell) {
        return __atomic_exchange_n(&cell, static_cast<PKEVENT>(nullptr), __ATOMIC_ACQ_REL);
    }

    KIRQL RaiseIrqlToHigh() {
        KIRQL previous;
        KeRaiseIrql(HIGH_LEVEL, &previous);
        return previous;
    }

    void LowerIrql(KIRQL previous) { KeLowerIrql(previous); }

    // Wine's KeInsertQueueDpc only answers TRUE: the DPC never runs there, so under Wine the
    // test signal sets no event. Windows runs it at DISPATCH_LEVEL once the IRQL drops.
    void QueueDpc(KDPC& dpc, const void* argument1, const void* argument2) {
        KeInsertQueueDpc(&dpc, const_cast<void*>(argument1), const_cast<void*>(argument2));
    }

    void SetEvent(PKEVENT event) { KeSetEvent(event, IO_NO_INCREMENT, FALSE); }

    // KeRemoveQueueDpc would drop a queued signal, but it raises an exception under Wine; and
    // it does not wait for a DPC already running on another processor. Flushing covers both:
    // the slots are emptied first, so a DPC that still runs sets nothing.
    void FlushQueuedDpcs() { KeFlushQueuedDpcs(); }

    NTSTATUS CreateDevice(uint32_t characteristics, BRIDGE_DEVICE_EXTENSION*& extension) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, BRIDGE_KERNEL_DEVICE_NAME);
        PDEVICE_OBJECT device = nullptr;
        const NTSTATUS status = IoCreateDevice(driver_, sizeof(BRIDGE_DEVICE_EXTENSION), &name,
                                               BRIDGE_DEVICE_TYPE, characteristics, FALSE, &device);
        if (NT_SUCCESS(status)) {
            extension = static_cast<BRIDGE_DEVICE_EXTENSION*>(device->DeviceExtension);
        }
        return status;
    }

    // Replaces the device's DACL with the one of `descriptor` (self-relative). Without the
    // wdmsec library, IoCreateDeviceSecure is out of reach; a kernel handle to the device object
    // with WRITE_DAC and ZwSetSecurityObject do the same through the object manager.
    NTSTATUS ProtectDevice(const uint8_t* descriptor, size_t size) {
        UNREFERENCED_PARAMETER(size);
        HANDLE handle = nullptr;
        NTSTATUS status = ObOpenObjectByPointer(driver_->DeviceObject, OBJ_KERNEL_HANDLE, nullptr,
                                                WRITE_DAC, nullptr, KernelMode, &handle);
        if (!NT_SUCCESS(status)) return status;
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION,
                                     const_cast<uint8_t*>(descriptor));
        ZwClose(handle);
        return status;
    }

    NTSTATUS CreateSymbolicLink() {
        UNICODE_STRING link;
        UNICODE_STRING name;
        RtlInitUnicodeString(&link, BRIDGE_KERNEL_LINK_NAME);
        RtlInitUnicodeString(&name, BRIDGE_KERNEL_DEVICE_NAME);
        return IoCreateSymbolicLink(&link, &name);
    }

    void InstallRoutines() {
        driver_->MajorFunction[IRP_MJ_CREATE] = BridgeDispatch;
        driver_->MajorFunction[IRP_MJ_CLOSE] = BridgeDispatch;
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BridgeDispatch;
        driver_->DriverUnload = BridgeUnload;
    }

    void DeleteSymbolicLink() {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, BRIDGE_KERNEL_LINK_NAME);
        IoDeleteSymbolicLink(&link);
    }

    // The bridge has exactly one device, at the head of the driver's list.
    void DeleteDevice() { IoDeleteDevice(driver_->DeviceObject); }

  private:
    PDRIVER_OBJECT driver_;
};

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    UNREFERENCED_PARAMETER(registry_path);
    WdmKernel kernel(driver);
    return bridge::Load(kernel);
}

// Create, close and device control; every request is completed here, at once.
static NTSTATUS BridgeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bridge::Request request{};
    request.device_control = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL;
    if (request.device_control) {
        request.code = stack->Parameters.DeviceIoControl.IoControlCode;
        request.system_buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        request.input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
        request.output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    }
    WdmKernel kernel(device->DriverObject);
    const bridge::Completion done = bridge::Dispatch(
        kernel, *static_cast<BRIDGE_DEVICE_EXTENSION*>(device->DeviceExtension), request);
    irp->IoStatus.Status = done.status;
    irp->IoStatus.Information = done.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return done.status;
}

// Runs at DISPATCH_LEVEL on any processor. The kernel passes the DPC object itself, which
// tells the slot; `argument1` (the producer's pointer to a slot index) is not read.
static VOID BridgeSignalDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    WdmKernel kernel(nullptr);
    bridge::SignalSlot(kernel, static_cast<BRIDGE_DEVICE_EXTENSION*>(context), dpc);
}

static VOID BridgeUnload(PDRIVER_OBJECT driver) {
    WdmKernel kernel(driver);
    bridge::Unload(kernel,
                   *static_cast<BRIDGE_DEVICE_EXTENSION*>(driver->DeviceObject->DeviceExtension));
}
