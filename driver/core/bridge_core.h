// The bridge driver's logic: request dispatch, the slot table, the deferred routine's work and
// the load and unload order. Freestanding C++ (no library, no allocation, no exceptions), so the
// same code runs inside XAPHLINK.sys and in native tests against a recording fake.
//
// All kernel access goes through a Kernel type supplied by the caller:
//   Kernel::Extension       the device extension, with the fields SignalDpc[4], SlotEvent[4]
//                           (event objects, null while the slot is free), SlotEventHandle[4]
//                           and SlotLock
//   Kernel::Event, Kernel::Handle, Kernel::Irql, Kernel::Dpc, Kernel::Lock
//   bool OpenOrCreateEvent(const char16_t* name, size_t units, uint32_t access,
//                          uint32_t attributes, Event& event, Handle& handle)
//       opens the named event with that access and those object attributes, creating a
//       notification event when the name does not exist; the event reference and the handle
//       both stay valid until CloseEvent
//   uint8_t EventHeaderType(Event event)
//       the type byte of the event's dispatcher header, read once, as the kernel keeps it
//   void CloseEvent(Event event, Handle handle)
//   void InitializeLock(Lock&)  /  void AcquireLock(Lock&)  /  void ReleaseLock(Lock&)
//       a lock for passive-level callers; the holder may not close handles
//   void InitializeDpc(Dpc& dpc, void* context)     routine: the driver's deferred routine
//   Event ReadSlotEvent(Event& cell)                 an atomic load with acquire order
//   void PublishSlotEvent(Event& cell, Event event)  an atomic store with release order
//   Event EmptySlotEvent(Event& cell)                an atomic exchange with null
//       the slot pointers are shared with the deferred routine, which runs at DISPATCH_LEVEL
//       on any processor while registrations and the unload run on another
//   Irql RaiseIrqlToHigh()  /  void LowerIrql(Irql previous)
//   void QueueDpc(Dpc& dpc, const void* argument1, const void* argument2)
//   void SetEvent(Event event)
//   void FlushQueuedDpcs()                           waits for every queued or running DPC
//   Status CreateDevice(uint32_t characteristics, Extension*& extension)
//   Status ProtectDevice(const uint8_t* descriptor, size_t size)
//       sets the DACL of the self-relative security descriptor on the device
//   Status CreateSymbolicLink()  /  void InstallRoutines()
//   void DeleteSymbolicLink()  /  void DeleteDevice()   (DeleteDevice frees the extension)
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "bridge/bridge_public.h"

namespace bridge {

// Completion statuses, with the kernel's NTSTATUS values; negative means failure.
using Status = int32_t;
inline constexpr Status kStatusSuccess = 0;
inline constexpr Status kStatusUnsuccessful = static_cast<Status>(0xC0000001u);
inline constexpr Status kStatusInfoLengthMismatch = static_cast<Status>(0xC0000004u);
inline constexpr Status kStatusInvalidParameter = static_cast<Status>(0xC000000Du);
inline constexpr Status kStatusObjectTypeMismatch = static_cast<Status>(0xC0000024u);
inline constexpr Status kStatusObjectNameInvalid = static_cast<Status>(0xC0000033u);

constexpr bool IsSuccess(Status status) {
    return status >= 0;
}

// The full event name lives in a 256-byte buffer: the object directory, then the caller's name.
inline constexpr size_t kNameBufferUnits = 128;
inline constexpr char16_t kNamePrefix[] = u"\\BaseNamedObjects\\";
inline constexpr size_t kNamePrefixUnits = sizeof(kNamePrefix) / sizeof(char16_t) - 1;
static_assert(kNamePrefixUnits == 18);
static_assert(kNamePrefixUnits + BRIDGE_MAX_EVENT_NAME_UNITS == kNameBufferUnits);

// How a registered event is opened. The rights are the ones the deferred routine needs to set
// the event, and no more. The requester's own access to the event is checked although the
// open runs in kernel mode: otherwise any caller of the bridge could have the kernel open, and
// then set, an event that the caller itself may not touch. OBJ_OPENIF reaches the service's
// existing event; OBJ_KERNEL_HANDLE keeps the handle out of the requester's handle table.
inline constexpr uint32_t kEventModifyState = 0x00000002;
inline constexpr uint32_t kSynchronize = 0x00100000;
inline constexpr uint32_t kEventAccess = kEventModifyState | kSynchronize;
inline constexpr uint32_t kObjOpenIf = 0x00000080;
inline constexpr uint32_t kObjKernelHandle = 0x00000200;
inline constexpr uint32_t kObjForceAccessCheck = 0x00000400;
inline constexpr uint32_t kEventAttributes = kObjOpenIf | kObjKernelHandle | kObjForceAccessCheck;

// The bridge device. Opens of names below the device get the device's own access check
// (FILE_DEVICE_SECURE_OPEN); that is its only characteristic.
inline constexpr uint32_t kFileDeviceSecureOpen = 0x00000100;
inline constexpr uint32_t kDeviceCharacteristics = kFileDeviceSecureOpen;

// The device's security descriptor, in self-relative form: a protected DACL that allows
// everything to LocalSystem (S-1-5-18, the service) and to the Administrators group
// (S-1-5-32-544), and nothing to anyone else. The bridge hands out kernel addresses and lets
// its caller decide which events the kernel sets, so no other user may open it. There is no
// owner, group or SACL: only the DACL is set on the device.
namespace device_sd {
inline constexpr uint8_t kRevision = 1;
inline constexpr uint16_t kSeDaclPresent = 0x0004;
inline constexpr uint16_t kSeDaclProtected = 0x1000;
inline constexpr uint16_t kSeSelfRelative = 0x8000;
inline constexpr uint16_t kControl = kSeSelfRelative | kSeDaclProtected | kSeDaclPresent;
inline constexpr uint8_t kAclRevision = 2;
inline constexpr uint8_t kAccessAllowedAceType = 0;
inline constexpr uint32_t kGenericAll = 0x10000000;
inline constexpr uint8_t kSidRevision = 1;
inline constexpr uint8_t kNtAuthority = 5;  // SECURITY_NT_AUTHORITY, the last of 6 bytes
inline constexpr uint32_t kLocalSystemRid = 18;
inline constexpr uint32_t kBuiltinDomainRid = 32;
inline constexpr uint32_t kAdministratorsRid = 544;

constexpr size_t SidSize(size_t sub_authorities) {
    return 8 + 4 * sub_authorities;
}
// Header: revision, padding, control, then the offsets of owner, group, SACL and DACL.
inline constexpr size_t kControlOffset = 2;
inline constexpr size_t kOwnerOffset = 4;
inline constexpr size_t kGroupOffset = 8;
inline constexpr size_t kSaclOffset = 12;
inline constexpr size_t kDaclOffsetField = 16;
inline constexpr size_t kHeaderSize = 20;
// ACL header: revision, padding, size, ACE count, padding. Each ACE: type, flags, size, mask,
// then the SID.
inline constexpr size_t kDacl = kHeaderSize;
inline constexpr size_t kAclHeaderSize = 8;
inline constexpr size_t kAceHeaderSize = 8;
inline constexpr size_t kSystemAce = kDacl + kAclHeaderSize;
inline constexpr size_t kSystemAceSize = kAceHeaderSize + SidSize(1);
inline constexpr size_t kAdminsAce = kSystemAce + kSystemAceSize;
inline constexpr size_t kAdminsAceSize = kAceHeaderSize + SidSize(2);
inline constexpr size_t kAclSize = kAclHeaderSize + kSystemAceSize + kAdminsAceSize;
inline constexpr size_t kSize = kDacl + kAclSize;
static_assert(kOwnerOffset + 4 == kGroupOffset && kGroupOffset + 4 == kSaclOffset);
static_assert(kSaclOffset + 4 == kDaclOffsetField && kDaclOffsetField + 4 == kHeaderSize);
static_assert(kSystemAce == 28 && kSystemAceSize == 20);
static_assert(kAdminsAce == 48 && kAdminsAceSize == 24);
static_assert(kAclSize == 52 && kSize == 72);
static_assert(kDacl % 4 == 0 && kSystemAce % 4 == 0 && kAdminsAce % 4 == 0);
}  // namespace device_sd

// The type byte of a dispatcher header. From Windows 8 on, its top bit is the object's
// dispatcher lock, set while any processor holds it; only the rest tells the type. A
// notification (manual-reset) event's type is 0, a synchronization event's 1.
inline constexpr uint8_t kDispatcherLockBit = 0x80;
inline constexpr uint8_t kNotificationEventType = 0;

constexpr bool IsNotificationEventType(uint8_t header_type) {
    return (header_type & static_cast<uint8_t>(~kDispatcherLockBit)) == kNotificationEventType;
}

// The test signal points its DPC at this slot index; it must outlive any queued DPC, so it is
// a constant of the image rather than a local.
inline constexpr BridgeDpcSlotIndex kTestSignalSlot = 0;

// Bounds-checked little-endian access to part of a request's system buffer. A failed access
// changes nothing.
class ByteSpan {
  public:
    ByteSpan(uint8_t* data, size_t size) : data_(data), size_(data != nullptr ? size : 0) {}

    size_t size() const { return size_; }

    bool LoadLe16(size_t offset, uint16_t& value) const {
        if (!Fits(offset, 2)) return false;
        value = static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
        return true;
    }
    bool LoadLe64(size_t offset, uint64_t& value) const {
        if (!Fits(offset, 8)) return false;
        uint64_t v = 0;
        for (size_t i = 8; i-- > 0;) v = (v << 8) | data_[offset + i];
        value = v;
        return true;
    }
    bool StoreU8(size_t offset, uint8_t value) { return Store(offset, value, 1); }
    bool StoreLe16(size_t offset, uint16_t value) { return Store(offset, value, 2); }
    bool StoreLe32(size_t offset, uint32_t value) { return Store(offset, value, 4); }
    bool StoreLe64(size_t offset, uint64_t value) { return Store(offset, value, 8); }

  private:
    bool Fits(size_t offset, size_t width) const {
        return offset <= size_ && width <= size_ - offset;
    }
    bool Store(size_t offset, uint64_t value, size_t width) {
        if (!Fits(offset, width)) return false;
        for (size_t i = 0; i < width; ++i)
            data_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        return true;
    }

    uint8_t* data_;
    size_t size_;
};

// One request as the dispatch routine sees it. For METHOD_BUFFERED the system buffer holds the
// input on arrival and receives the reply; it is at least as long as either length.
struct Request {
    bool device_control;  // false for create and close
    uint32_t code;
    uint8_t* system_buffer;
    size_t input_length;
    size_t output_length;
};

struct Completion {
    Status status;
    size_t information;  // bytes returned; 0 on every failure
};

struct RegisterResult {
    uint32_t slot;  // 0..3, or BRIDGE_NO_SLOT
    Status status;
};

// Writes the device's security descriptor (device_sd) into the first device_sd::kSize bytes of
// `out`; false, with nothing written, when `out` is shorter.
inline bool BuildDeviceSecurityDescriptor(ByteSpan out) {
    using namespace device_sd;
    if (out.size() < kSize) return false;
    for (size_t i = 0; i < kSize; ++i) out.StoreU8(i, 0);
    out.StoreU8(0, kRevision);
    out.StoreLe16(kControlOffset, kControl);
    out.StoreLe32(kDaclOffsetField, kDacl);  // owner, group and SACL offsets stay 0: absent

    out.StoreU8(kDacl, kAclRevision);
    out.StoreLe16(kDacl + 2, kAclSize);
    out.StoreLe16(kDacl + 4, 2);

    // A SID: revision, count of sub-authorities, the 6-byte big-endian identifier authority,
    // then the sub-authorities as little-endian 32-bit values.
    auto ace = [&out](size_t at, size_t size, const uint32_t* rids, uint8_t rid_count) {
        out.StoreU8(at, kAccessAllowedAceType);
        out.StoreLe16(at + 2, static_cast<uint16_t>(size));
        out.StoreLe32(at + 4, kGenericAll);
        const size_t sid = at + kAceHeaderSize;
        out.StoreU8(sid, kSidRevision);
        out.StoreU8(sid + 1, rid_count);
        out.StoreU8(sid + 7, kNtAuthority);
        for (uint8_t i = 0; i < rid_count; ++i) out.StoreLe32(sid + 8 + 4 * i, rids[i]);
    };
    const uint32_t system[] = {kLocalSystemRid};
    const uint32_t admins[] = {kBuiltinDomainRid, kAdministratorsRid};
    ace(kSystemAce, kSystemAceSize, system, 1);
    ace(kAdminsAce, kAdminsAceSize, admins, 2);
    return true;
}

// Opens the event named by the UTF-16 name at the start of `name` and places it in a slot.
// The name is read up to its NUL and never beyond the input: a name without a NUL inside the
// input, an empty name, one longer than BRIDGE_MAX_EVENT_NAME_UNITS or one with a backslash
// gets no slot. So does a name that the requester may not open for kEventAccess, and one that
// names a synchronization event: such an event would be reset by whichever waiter it wakes,
// and the signal merging that the service relies on would be lost. A name registered before
// finds its old slot (the event object is the same), and only the slot's first handle stays
// open.
//
// Requests may come from several threads at once. The slot lock covers the scan and the
// taking of a slot, so two registrations never take the same slot and two registrations of
// one name never take two; the event is opened before and the spare handle closed after, both
// outside the lock. The deferred routine takes no lock: a producer may queue a slot's DPC at
// any time (also a free slot's, whose address the bridge hands out too), so the slot's DPC is
// initialised from the load on, and the slot's event is published with release order after
// its handle, for the routine to read with acquire order on any processor.
template <class Kernel>
RegisterResult BridgeRegisterEvent(Kernel& kernel, typename Kernel::Extension& ext,
                                   const ByteSpan& name) {
    char16_t full_name[kNameBufferUnits] = {};
    for (size_t i = 0; i < kNamePrefixUnits; ++i) full_name[i] = kNamePrefix[i];
    size_t name_units = 0;
    for (;;) {
        uint16_t unit = 0;
        if (!name.LoadLe16(2 * name_units, unit)) return {BRIDGE_NO_SLOT, kStatusObjectNameInvalid};
        if (unit == 0) break;
        if (name_units == BRIDGE_MAX_EVENT_NAME_UNITS) {
            return {BRIDGE_NO_SLOT, kStatusObjectNameInvalid};
        }
        // The event lies in \BaseNamedObjects itself: a backslash would let a caller reach
        // any other object directory.
        if (unit == u'\\') return {BRIDGE_NO_SLOT, kStatusObjectNameInvalid};
        full_name[kNamePrefixUnits + name_units++] = static_cast<char16_t>(unit);
    }
    if (name_units == 0) return {BRIDGE_NO_SLOT, kStatusObjectNameInvalid};

    typename Kernel::Event event{};
    typename Kernel::Handle handle{};
    if (!kernel.OpenOrCreateEvent(full_name, kNamePrefixUnits + name_units, kEventAccess,
                                  kEventAttributes, event, handle)) {
        return {BRIDGE_NO_SLOT, kStatusUnsuccessful};
    }
    if (!IsNotificationEventType(kernel.EventHeaderType(event))) {
        kernel.CloseEvent(event, handle);
        return {BRIDGE_NO_SLOT, kStatusObjectTypeMismatch};
    }

    RegisterResult result{BRIDGE_NO_SLOT, kStatusUnsuccessful};
    bool kept = false;
    kernel.AcquireLock(ext.SlotLock);
    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        const auto held = kernel.ReadSlotEvent(ext.SlotEvent[slot]);
        if (held == event) {
            result = {slot, kStatusSuccess};
            break;
        }
        if (held == nullptr) {
            // The handle is in place before the event marks the slot as taken. The slot's DPC
            // was initialised at load and is not touched: a producer may have queued it.
            ext.SlotEventHandle[slot] = handle;
            kernel.PublishSlotEvent(ext.SlotEvent[slot], event);
            kept = true;
            result = {slot, kStatusSuccess};
            break;
        }
    }
    kernel.ReleaseLock(ext.SlotLock);
    // Registered before (the slot keeps its first handle), or every slot holds another event.
    if (!kept) kernel.CloseEvent(event, handle);
    return result;
}

template <class Kernel>
Completion QueryDpc(typename Kernel::Extension& ext, const ByteSpan& input, ByteSpan& output) {
    if (output.size() < BRIDGE_DPC_REPLY_SIZE) return {kStatusInfoLengthMismatch, 0};
    uint64_t slot = 0;
    if (input.size() != 0) {
        // An index shorter than a pointer is refused rather than completed with whatever the
        // buffer holds beyond the input.
        if (!input.LoadLe64(0, slot) || slot >= BRIDGE_SLOT_COUNT) {
            return {kStatusInvalidParameter, 0};
        }
    }
    output.StoreLe64(0, reinterpret_cast<uintptr_t>(&ext.SignalDpc[slot]));
    return {kStatusSuccess, BRIDGE_DPC_REPLY_SIZE};
}

// Queues slot 0's DPC the way a producer may, from the highest IRQL, when slot 0 is taken.
template <class Kernel>
void TestSignal(Kernel& kernel, typename Kernel::Extension& ext) {
    if (kernel.ReadSlotEvent(ext.SlotEvent[0]) == nullptr) return;
    auto previous = kernel.RaiseIrqlToHigh();
    kernel.QueueDpc(ext.SignalDpc[0], &kTestSignalSlot, nullptr);
    kernel.LowerIrql(previous);
}

// Create, close and device control. Lengths are checked before the buffer is touched, and
// bytes are returned only on success.
template <class Kernel>
Completion Dispatch(Kernel& kernel, typename Kernel::Extension& ext, const Request& request) {
    if (!request.device_control) return {kStatusSuccess, 0};
    const ByteSpan input(request.system_buffer, request.input_length);
    ByteSpan output(request.system_buffer, request.output_length);
    switch (request.code) {
        case IOCTL_BRIDGE_QUERY_VERSION:
            if (output.size() < BRIDGE_VERSION_REPLY_SIZE) return {kStatusInfoLengthMismatch, 0};
            output.StoreLe32(0, BRIDGE_INTERFACE_VERSION);
            return {kStatusSuccess, BRIDGE_VERSION_REPLY_SIZE};
        case IOCTL_BRIDGE_QUERY_DPC:
            return QueryDpc<Kernel>(ext, input, output);
        case IOCTL_BRIDGE_REGISTER_EVENT: {
            if (input.size() == 0) {
                TestSignal(kernel, ext);
                return {kStatusSuccess, 0};
            }
            // The name is taken whatever the output length; its own status is not passed on,
            // the caller tells failure by BRIDGE_NO_SLOT.
            const RegisterResult result = BridgeRegisterEvent(kernel, ext, input);
            if (output.size() < BRIDGE_SLOT_REPLY_SIZE) return {kStatusInfoLengthMismatch, 0};
            output.StoreLe32(0, result.slot);
            return {kStatusSuccess, BRIDGE_SLOT_REPLY_SIZE};
        }
        default:
            return {kStatusInvalidParameter, 0};
    }
}

// The work of every slot's DPC: set the event of the slot that `dpc` is the DPC of. The slot
// belongs to the DPC object itself; the producer's system argument is not read at all, so a
// producer that passes a wrong or stale index can neither signal another slot nor make the
// routine read through a dangling pointer. A DPC that is not one of the extension's own, and
// one whose slot is free (never taken, or emptied by the unload), sets nothing.
template <class Kernel>
void SignalSlot(Kernel& kernel, typename Kernel::Extension* ext, const typename Kernel::Dpc* dpc) {
    if (ext == nullptr || dpc == nullptr) return;
    // Compared with each element rather than subtracted: the difference of pointers is only
    // defined inside one array, and that is what is being checked.
    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        if (dpc != &ext->SignalDpc[slot]) continue;
        const auto event = kernel.ReadSlotEvent(ext->SlotEvent[slot]);
        if (event != nullptr) kernel.SetEvent(event);
        return;
    }
}

// Creates the device, restricts it to SYSTEM and Administrators, then creates its link: the
// name that user mode opens exists only once the device is protected. A failure undoes what
// was done, in reverse order, and fails the load with its status.
template <class Kernel>
Status Load(Kernel& kernel) {
    typename Kernel::Extension* ext = nullptr;
    Status status = kernel.CreateDevice(kDeviceCharacteristics, ext);
    if (!IsSuccess(status)) return status;
    kernel.InitializeLock(ext->SlotLock);
    // Every slot's DPC, once and before the device can be opened: the address of any slot's
    // DPC may be handed out, also while the slot is free, and a producer may queue it from
    // then on. A DPC is never initialised again, as it might be queued at that moment.
    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot)
        kernel.InitializeDpc(ext->SignalDpc[slot], ext);

    alignas(8) uint8_t descriptor[device_sd::kSize];
    BuildDeviceSecurityDescriptor(ByteSpan(descriptor, sizeof descriptor));
    status = kernel.ProtectDevice(descriptor, sizeof descriptor);
    if (!IsSuccess(status)) {
        kernel.DeleteDevice();
        return status;
    }
    status = kernel.CreateSymbolicLink();
    if (!IsSuccess(status)) {
        kernel.DeleteDevice();
        return status;
    }
    kernel.InstallRoutines();
    return kStatusSuccess;
}

// Empties the slots, waits until no DPC of the bridge is queued or running, closes the slots'
// handles, then deletes the link and the device (which frees `ext`).
template <class Kernel>
void Unload(Kernel& kernel, typename Kernel::Extension& ext) {
    typename Kernel::Event events[BRIDGE_SLOT_COUNT];
    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        // A DPC that runs from here on finds the slot free and sets nothing: a signal still
        // queued is dropped. One that read the event before is waited for below.
        events[slot] = kernel.EmptySlotEvent(ext.SlotEvent[slot]);
    }
    kernel.FlushQueuedDpcs();
    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        if (ext.SlotEventHandle[slot]) {
            kernel.CloseEvent(events[slot], ext.SlotEventHandle[slot]);
            ext.SlotEventHandle[slot] = {};
        }
    }
    kernel.DeleteSymbolicLink();
    kernel.DeleteDevice();
}

}  // namespace bridge
