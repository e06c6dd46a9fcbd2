// A kernel for the bridge's logic that records what the driver asks of it: named events with
// their open handles and references, DPC objects with a queue that runs on demand, the IRQL,
// and the device and link calls in order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bridge_core.h"

namespace bridge_test {

struct FakeEvent {
    std::u16string name;
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

// Same field names as the driver's extension, with fake kernel types.
struct FakeExtension {
    FakeDpc SignalDpc[BRIDGE_SLOT_COUNT];
    FakeEvent* SlotEvent[BRIDGE_SLOT_COUNT];
    uintptr_t SlotEventHandle[BRIDGE_SLOT_COUNT];
};

class FakeKernel {
  public:
    using Extension = FakeExtension;
    using Event = FakeEvent*;
    using Handle = uintptr_t;
    using Irql = int;
    using Dpc = FakeDpc;

    static constexpr int kPassiveLevel = 0;
    static constexpr int kDispatchLevel = 2;
    static constexpr int kHighLevel = 15;

    // --- what the test arranges ---
    bool fail_open = false;
    bridge::Status device_status = bridge::kStatusSuccess;
    bridge::Status link_status = bridge::kStatusSuccess;

    // An event that exists before the driver sees its name, as the service's events do.
    FakeEvent* CreateExistingEvent(const std::u16string& full_name) {
        return FindOrCreate(full_name);
    }

    // --- what the test observes ---
    std::vector<std::string> journal;  // device, link, flush and close calls in order
    std::vector<std::u16string> opened_names;
    std::map<uintptr_t, FakeEvent*> open_handles;
    int handles_closed = 0;
    int irql = kPassiveLevel;
    std::unique_ptr<FakeExtension> device;  // the device extension while the device exists

    FakeEvent* EventNamed(const std::u16string& full_name) {
        auto it = objects_.find(full_name);
        return it == objects_.end() ? nullptr : it->second.get();
    }

    // Runs every queued DPC at DISPATCH_LEVEL as the bridge's deferred routine does.
    void RunQueuedDpcs() {
        std::vector<FakeDpc*> queue;
        queue.swap(queue_);
        for (FakeDpc* dpc : queue) {
            dpc->queued = false;
            const int previous = irql;
            irql = kDispatchLevel;
            bridge::SignalSlot(*this, static_cast<FakeExtension*>(dpc->context), dpc->argument1);
            irql = previous;
        }
    }

    // --- the kernel operations ---
    bool OpenOrCreateEvent(const char16_t* name, size_t units, FakeEvent*& event,
                           uintptr_t& handle) {
        opened_names.emplace_back(name, units);
        if (fail_open) return false;
        event = FindOrCreate(opened_names.back());
        handle = next_handle_ += 4;
        open_handles[handle] = event;
        ++event->handles;
        ++event->references;
        return true;
    }

    void CloseEvent(FakeEvent* event, uintptr_t handle) {
        journal.push_back("close");
        auto it = open_handles.find(handle);
        if (it == open_handles.end() || it->second != event) {
            journal.push_back("close-mismatch");
            return;
        }
        open_handles.erase(it);
        ++handles_closed;
        --event->handles;
        --event->references;
    }

    void InitializeDpc(FakeDpc& dpc, void* context) {
        ++dpc.initializations;
        dpc.context = context;
    }

    int RaiseIrqlToHigh() {
        const int previous = irql;
        irql = kHighLevel;
        return previous;
    }
    void LowerIrql(int previous) { irql = previous; }

    void QueueDpc(FakeDpc& dpc, const void* argument1, const void* argument2) {
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

    bridge::Status CreateDevice() {
        journal.push_back("create-device");
        if (!bridge::IsSuccess(device_status)) return device_status;
        device = std::make_unique<FakeExtension>();  // zero-filled, as the I/O manager does
        return bridge::kStatusSuccess;
    }
    bridge::Status CreateSymbolicLink() {
        journal.push_back("create-link");
        return link_status;
    }
    void InstallRoutines() { journal.push_back("install"); }
    void DeleteSymbolicLink() { journal.push_back("delete-link"); }
    void DeleteDevice() {
        journal.push_back("delete-device");
        device.reset();
    }

  private:
    FakeEvent* FindOrCreate(const std::u16string& full_name) {
        auto& slot = objects_[full_name];
        if (!slot) {
            slot = std::make_unique<FakeEvent>();
            slot->name = full_name;
        }
        return slot.get();
    }

    std::map<std::u16string, std::unique_ptr<FakeEvent>> objects_;
    std::vector<FakeDpc*> queue_;
    uintptr_t next_handle_ = 0;
};

}  // namespace bridge_test
