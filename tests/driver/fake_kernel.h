// A kernel for the bridge's logic that records what the driver asks of it: named events with
// their open handles and references, the access and attributes of every open, the slot lock,
// DPC objects with a queue that runs on demand, the IRQL, the device's characteristics and
// security descriptor, and the device, link, lock and handle calls in order.
//
// It flags what would crash or corrupt a real kernel: queueing a DPC that was never
// initialised, initialising a DPC while it is queued, a slot taken without the slot lock. An
// event's dispatcher header can be shown with the dispatcher lock bit set, as another
// processor holding the object's lock leaves it.
//
// Registrations may run on several threads at once: the fake's own records are guarded by a
// mutex of the fake, apart from the slot lock that the driver takes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge_core.h"

namespace bridge_test {

struct FakeEvent {
    std::u16string name;
    bool notification = true;    // false: a synchronization (auto-reset) event
    bool header_locked = false;  // another processor holds the event's dispatcher lock
    bool signalled = false;
    int handles = 0;
    int references = 0;
};

struct FakeDpc {
    int initializations = 0;
    void* context = nullptr;
    bool queued = false;
    const void* argument1 = nullptr;
    const void* argument2 = nullptr;
    int queued_at_irql = -1;
};

// The slot lock: a real mutex, so that threads that register at once really wait for each
// other, and a record of who holds it.
struct FakeLock {
    std::mutex mutex;
    std::atomic<bool> held{false};
    std::atomic<std::thread::id> owner{};
    bool initialized = false;
    int acquisitions = 0;  // written only while held
};

// Same field names as the driver's extension, with fake kernel types.
struct FakeExtension {
    FakeDpc SignalDpc[BRIDGE_SLOT_COUNT];
    FakeEvent* SlotEvent[BRIDGE_SLOT_COUNT];
    uintptr_t SlotEventHandle[BRIDGE_SLOT_COUNT];
    FakeLock SlotLock;
};

// One open as the driver asked for it.
struct FakeOpen {
    std::u16string name;
    uint32_t access;
    uint32_t attributes;
};

class FakeKernel {
  public:
    using Extension = FakeExtension;
    using Event = FakeEvent*;
    using Handle = uintptr_t;
    using Irql = int;
    using Dpc = FakeDpc;
    using Lock = FakeLock;

    static constexpr int kPassiveLevel = 0;
    static constexpr int kDispatchLevel = 2;
    static constexpr int kHighLevel = 15;

    // --- what the test arranges ---
    bool fail_open = false;
    bridge::Status device_status = bridge::kStatusSuccess;
    bridge::Status protect_status = bridge::kStatusSuccess;
    bridge::Status link_status = bridge::kStatusSuccess;
    // Runs after an event was opened, outside every lock, on the registering thread.
    std::function<void()> after_open;
    // Runs while a slot is being taken (the slot's handle is stored, the slot not yet
    // marked), on the registering thread.
    std::function<void()> while_taking;

    // An event that exists before the driver sees its name, as the service's events do.
    FakeEvent* CreateExistingEvent(const std::u16string& full_name, bool notification = true,
                                   bool header_locked = false) {
        std::lock_guard<std::mutex> guard(state_);
        FakeEvent* event = FindOrCreate(full_name);
        event->notification = notification;
        event->header_locked = header_locked;
        return event;
    }

    // --- what the test observes (read once the registering threads have ended) ---
    std::vector<std::string> journal;  // device, protection, link, lock, open and close in order
    std::vector<FakeOpen> opens;
    std::map<uintptr_t, FakeEvent*> open_handles;
    int handles_closed = 0;
    int irql = kPassiveLevel;
    std::unique_ptr<FakeExtension> device;  // the device extension while the device exists
    uint32_t device_characteristics = 0xFFFFFFFF;
    std::vector<uint8_t> device_descriptor;  // as ProtectDevice received it
    bool link_exists = false;
    bool descriptor_set_before_link = false;
    int lock_misuse = 0;  // a slot taken, or a handle closed, with the slot lock in a wrong state
    // A DPC queued before it was initialised, or initialised while queued.
    std::vector<std::string> dpc_misuse;

    FakeEvent* EventNamed(const std::u16string& full_name) {
        std::lock_guard<std::mutex> guard(state_);
        auto it = objects_.find(full_name);
        return it == objects_.end() ? nullptr : it->second.get();
    }

    // Runs every queued DPC at DISPATCH_LEVEL, as the kernel calls a deferred routine: with
    // the DPC object itself and the context it was initialised with.
    void RunQueuedDpcs() {
        std::vector<FakeDpc*> queue;
        queue.swap(queue_);
        for (FakeDpc* dpc : queue) {
            dpc->queued = false;
            const int previous = irql;
            irql = kDispatchLevel;
            bridge::SignalSlot(*this, static_cast<FakeExtension*>(dpc->context), dpc);
            irql = previous;
        }
    }

    // --- the kernel operations ---
    bool OpenOrCreateEvent(const char16_t* name, size_t units, uint32_t access, uint32_t attributes,
                           FakeEvent*& event, uintptr_t& handle) {
        {
            std::lock_guard<std::mutex> guard(state_);
            Record("open");
            opens.push_back({std::u16string(name, units), access, attributes});
            if (fail_open) return false;
            event = FindOrCreate(opens.back().name);
            handle = next_handle_ += 4;
            open_handles[handle] = event;
            ++event->handles;
            ++event->references;
        }
        if (after_open) after_open();
        return true;
    }

    // A KEVENT's header type: 0 for a notification event, 1 for a synchronization event,
    // with the dispatcher lock in the top bit.
    uint8_t EventHeaderType(FakeEvent* event) {
        return static_cast<uint8_t>((event->notification ? 0 : 1) |
                                    (event->header_locked ? 0x80 : 0));
    }

    void CloseEvent(FakeEvent* event, uintptr_t handle) {
        std::lock_guard<std::mutex> guard(state_);
        Record("close");
        // Closing a handle is a passive-level call that the slot lock's holder may not make.
        if (device && device->SlotLock.held && device->SlotLock.owner == std::this_thread::get_id())
            ++lock_misuse;
        auto it = open_handles.find(handle);
        if (it == open_handles.end() || it->second != event) {
            Record("close-mismatch");
            return;
        }
        open_handles.erase(it);
        ++handles_closed;
        --event->handles;
        --event->references;
    }

    void InitializeLock(FakeLock& lock) {
        std::lock_guard<std::mutex> guard(state_);
        Record("init-lock");
        lock.initialized = true;
    }
    void AcquireLock(FakeLock& lock) {
        lock.mutex.lock();
        lock.held = true;
        lock.owner = std::this_thread::get_id();
        ++lock.acquisitions;
        std::lock_guard<std::mutex> guard(state_);
        Record("lock");
        if (!lock.initialized) Record("lock-uninitialized");
    }
    void ReleaseLock(FakeLock& lock) {
        {
            std::lock_guard<std::mutex> guard(state_);
            Record("unlock");
        }
        lock.owner = std::thread::id();
        lock.held = false;
        lock.mutex.unlock();
    }

    void InitializeDpc(FakeDpc& dpc, void* context) {
        std::lock_guard<std::mutex> guard(state_);
        Record("init-dpc");
        // Re-initialising a queued DPC breaks the links of the processor's DPC queue.
        if (dpc.queued) dpc_misuse.push_back("initialised while queued");
        ++dpc.initializations;
        dpc.context = context;
    }

    // The slot pointers, shared with the deferred routine on other processors.
    FakeEvent* ReadSlotEvent(FakeEvent*& cell) {
        return std::atomic_ref<FakeEvent*>(cell).load(std::memory_order_acquire);
    }
    void PublishSlotEvent(FakeEvent*& cell, FakeEvent* event) {
        {
            std::lock_guard<std::mutex> guard(state_);
            Record("take-slot");
            if (device &&
                (!device->SlotLock.held || device->SlotLock.owner != std::this_thread::get_id()))
                ++lock_misuse;
        }
        if (while_taking) while_taking();
        std::atomic_ref<FakeEvent*>(cell).store(event, std::memory_order_release);
    }
    FakeEvent* EmptySlotEvent(FakeEvent*& cell) {
        {
            std::lock_guard<std::mutex> guard(state_);
            Record("empty-slot");
        }
        return std::atomic_ref<FakeEvent*>(cell).exchange(nullptr, std::memory_order_acq_rel);
    }

    int RaiseIrqlToHigh() {
        const int previous = irql;
        irql = kHighLevel;
        return previous;
    }
    void LowerIrql(int previous) { irql = previous; }

    // Also what a producer on the miniport's side does with an address the bridge gave it.
    void QueueDpc(FakeDpc& dpc, const void* argument1, const void* argument2) {
        // A zeroed KDPC has no routine: the processor that runs it jumps to address 0.
        if (dpc.initializations == 0) dpc_misuse.push_back("queued uninitialised");
        if (dpc.queued) return;  // a queued DPC is not queued twice
        dpc.queued = true;
        dpc.argument1 = argument1;
        dpc.argument2 = argument2;
        dpc.queued_at_irql = irql;
        queue_.push_back(&dpc);
    }

    void SetEvent(FakeEvent* event) { event->signalled = true; }

    void FlushQueuedDpcs() {
        journal.push_back("flush");
        RunQueuedDpcs();
    }

    bridge::Status CreateDevice(uint32_t characteristics, FakeExtension*& extension) {
        journal.push_back("create-device");
        if (!bridge::IsSuccess(device_status)) return device_status;
        device = std::make_unique<FakeExtension>();  // zero-filled, as the I/O manager does
        device_characteristics = characteristics;
        extension = device.get();
        return bridge::kStatusSuccess;
    }
    bridge::Status ProtectDevice(const uint8_t* descriptor, size_t size) {
        journal.push_back("protect-device");
        device_descriptor.assign(descriptor, descriptor + size);
        if (!bridge::IsSuccess(protect_status)) return protect_status;
        descriptor_set_before_link = !link_exists;
        return bridge::kStatusSuccess;
    }
    bridge::Status CreateSymbolicLink() {
        journal.push_back("create-link");
        if (!bridge::IsSuccess(link_status)) return link_status;
        link_exists = true;
        return bridge::kStatusSuccess;
    }
    void InstallRoutines() { journal.push_back("install"); }
    void DeleteSymbolicLink() {
        journal.push_back("delete-link");
        link_exists = false;
    }
    void DeleteDevice() {
        journal.push_back("delete-device");
        device.reset();
    }

  private:
    void Record(const char* what) { journal.push_back(what); }

    FakeEvent* FindOrCreate(const std::u16string& full_name) {
        auto& slot = objects_[full_name];
        if (!slot) {
            slot = std::make_unique<FakeEvent>();
            slot->name = full_name;
        }
        return slot.get();
    }

    std::mutex state_;  // the fake's own records
    std::map<std::u16string, std::unique_ptr<FakeEvent>> objects_;
    std::vector<FakeDpc*> queue_;
    uintptr_t next_handle_ = 0;
};

}  // namespace bridge_test
