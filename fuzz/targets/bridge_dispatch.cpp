// The bridge's dispatch over sequences of requests against the fake kernel: create and close,
// device controls with any code, input and output length and buffer contents, registrations
// of good and bad names until the slots run out, producers queueing the slots' deferred
// routines and the routines running, and at the end the unload.
//
// Every completion is compared with a reference model of the slot table: statuses stay those
// of the table, bytes are returned only on success, nothing is written outside the reply the
// completion reports, a name is read only up to its NUL inside the input, only events in
// slots are ever set, and at unload every handle and reference the bridge took is given back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridge_core.h"
#include "fake_kernel.h"
#include "fuzz_check.h"

namespace {

using bridge_test::FakeEvent;
using bridge_test::FakeKernel;

const std::u16string kPrefix = u"\\BaseNamedObjects\\";

// What the slot table must hold after each request.
struct Model {
    std::u16string slotName[BRIDGE_SLOT_COUNT];
    bool taken[BRIDGE_SLOT_COUNT] = {};
    int opens = 0;  // successful event opens, each to be closed exactly once
    // Names whose object is a synchronization (auto-reset) event: they get no slot.
    std::set<std::u16string> autoReset;
};

uint32_t PickCode(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            return IOCTL_BRIDGE_QUERY_VERSION;
        case 1:
            return IOCTL_BRIDGE_QUERY_DPC;
        case 2:
        case 3:
            return IOCTL_BRIDGE_REGISTER_EVENT;
        case 4:  // one bit away from a real code: another function, method or access
            return (in.ConsumeBool() ? IOCTL_BRIDGE_QUERY_DPC : IOCTL_BRIDGE_REGISTER_EVENT) ^
                   (1u << in.ConsumeIntegralInRange<int>(0, 31));
        default:
            return in.ConsumeIntegral<uint32_t>();
    }
}

// The input of a register request: mostly a name as the service forms it, sometimes bytes.
std::vector<uint8_t> PickInput(FuzzedDataProvider& in, uint32_t code) {
    if (code == IOCTL_BRIDGE_REGISTER_EVENT && in.ConsumeBool()) {
        std::u16string name = u"VEXMOND-";
        name += static_cast<char16_t>(u'0' + in.ConsumeIntegralInRange<int>(0, 6));
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
            name.append(in.ConsumeIntegralInRange<size_t>(90, 120), u'x');
        std::vector<uint8_t> bytes;
        for (char16_t u : name) bytes.insert(bytes.end(), {uint8_t(u), uint8_t(u >> 8)});
        if (in.ConsumeIntegralInRange<int>(0, 7) != 0) bytes.insert(bytes.end(), {0, 0});
        return bytes;
    }
    if (code == IOCTL_BRIDGE_QUERY_DPC && in.ConsumeBool()) {
        std::vector<uint8_t> bytes(8, 0);
        bytes[0] = in.ConsumeIntegralInRange<uint8_t>(0, 5);
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
            bytes[in.ConsumeIntegralInRange<int>(1, 7)] = 1;
        return bytes;
    }
    return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 260));
}

// The name a register request carries, or false when it carries none that may get a slot.
bool NameOf(const std::vector<uint8_t>& input, std::u16string& name) {
    name.clear();
    for (size_t i = 0; i + 1 < input.size(); i += 2) {
        const char16_t u = static_cast<char16_t>(input[i] | (input[i + 1] << 8));
        if (u == 0)
            return !name.empty() && name.size() <= BRIDGE_MAX_EVENT_NAME_UNITS &&
                   name.find(u'\\') == std::u16string::npos;
        name += u;
    }
    return false;  // no NUL inside the input
}

class Session {
  public:
    explicit Session(FuzzedDataProvider& in) : in_(in) {
        FUZZ_CHECK(bridge::Load(kernel_) == bridge::kStatusSuccess, "load failed");
        kernel_.journal.clear();
    }

    void Run() {
        for (int step = 0; step < 64 && in_.remaining_bytes() > 0; ++step) {
            switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
                case 0:
                    CreateOrClose();
                    break;
                case 1:
                    Queue();
                    break;
                case 2:
                    RunDpcs();
                    break;
                case 3:
                    kernel_.fail_open = in_.ConsumeIntegralInRange<int>(0, 3) == 0;
                    break;
                case 4: {
                    // An event the service made before the bridge sees its name.
                    std::u16string name = u"VEXMOND-";
                    name += static_cast<char16_t>(u'0' + in_.ConsumeIntegralInRange<int>(0, 6));
                    // Mostly a notification event; now and then an auto-reset one, which
                    // the bridge must refuse a slot (a name already in a slot keeps it).
                    const bool notification = in_.ConsumeIntegralInRange<int>(0, 3) != 0;
                    // Now and then another processor holds the event's dispatcher lock.
                    kernel_.CreateExistingEvent(kPrefix + name, notification, in_.ConsumeBool());
                    if (notification)
                        model_.autoReset.erase(name);
                    else
                        model_.autoReset.insert(name);
                    break;
                }
                default:
                    Control();
                    break;
            }
            CheckSlots();
        }
        Unload();
    }

  private:
    bridge_test::FakeExtension& ext() { return *kernel_.device; }

    void CreateOrClose() {
        bridge::Request request{};
        request.device_control = false;
        request.code = in_.ConsumeIntegral<uint32_t>();
        const bridge::Completion done = bridge::Dispatch(kernel_, ext(), request);
        FUZZ_CHECK(done.status == bridge::kStatusSuccess && done.information == 0,
                   "create/close completed %#x with %zu bytes", unsigned(done.status),
                   done.information);
    }

    void Control() {
        const uint32_t code = PickCode(in_);
        const std::vector<uint8_t> input = PickInput(in_, code);
        const size_t output = in_.ConsumeIntegralInRange<int>(0, 3) == 0
                                  ? in_.ConsumeIntegralInRange<size_t>(0, 260)
                                  : in_.ConsumeIntegralInRange<size_t>(0, 9);
        // The I/O manager's system buffer: exactly as long as the longer of the two, the input
        // copied in, the rest left with what the pool held.
        const size_t size = std::max(input.size(), output);
        std::unique_ptr<uint8_t[]> buffer(size ? new uint8_t[size] : nullptr);
        for (size_t i = 0; i < size; ++i) buffer[i] = static_cast<uint8_t>(0xA5 ^ i);
        if (!input.empty()) std::memcpy(buffer.get(), input.data(), input.size());
        const std::vector<uint8_t> before(buffer.get(), buffer.get() + size);

        bridge::Request request{};
        request.device_control = true;
        request.code = code;
        request.system_buffer = buffer.get();
        request.input_length = input.size();
        request.output_length = output;
        const size_t namesBefore = kernel_.opens.size();
        const bool slot0Queued = ext().SignalDpc[0].queued;
        const bridge::Completion done = bridge::Dispatch(kernel_, ext(), request);

        FUZZ_CHECK(done.status == bridge::kStatusSuccess ||
                       done.status == bridge::kStatusInfoLengthMismatch ||
                       done.status == bridge::kStatusInvalidParameter,
                   "code %#x completed with %#x", code, unsigned(done.status));
        FUZZ_CHECK(done.information <= output, "%zu bytes returned into %zu", done.information,
                   output);
        if (done.status != bridge::kStatusSuccess)
            FUZZ_CHECK(done.information == 0, "%zu bytes returned with %#x", done.information,
                       unsigned(done.status));
        for (size_t i = done.information; i < size; ++i)
            FUZZ_CHECK(buffer[i] == before[i], "code %#x wrote byte %zu beyond its %zu-byte reply",
                       code, i, done.information);
        FUZZ_CHECK(kernel_.irql == FakeKernel::kPassiveLevel, "left at IRQL %d", kernel_.irql);

        bridge::Completion expected{bridge::kStatusInvalidParameter, 0};
        uint64_t reply = 0;
        if (code == IOCTL_BRIDGE_QUERY_VERSION) {
            expected = output < 4 ? bridge::Completion{bridge::kStatusInfoLengthMismatch, 0}
                                  : bridge::Completion{bridge::kStatusSuccess, 4};
            reply = BRIDGE_INTERFACE_VERSION;
        } else if (code == IOCTL_BRIDGE_QUERY_DPC) {
            uint64_t index = 0;
            for (size_t i = 0; i < 8 && i < input.size(); ++i)
                index |= uint64_t(input[i]) << (8 * i);
            if (output < 8)
                expected = {bridge::kStatusInfoLengthMismatch, 0};
            else if (!input.empty() && (input.size() < 8 || index >= 4))
                expected = {bridge::kStatusInvalidParameter, 0};
            else {
                expected = {bridge::kStatusSuccess, 8};
                reply = reinterpret_cast<uintptr_t>(&ext().SignalDpc[input.empty() ? 0 : index]);
            }
        } else if (code == IOCTL_BRIDGE_REGISTER_EVENT && input.empty()) {
            expected = {bridge::kStatusSuccess, 0};
            if (model_.taken[0]) {
                FUZZ_CHECK(ext().SignalDpc[0].queued, "test signal did not queue slot 0");
                if (!slot0Queued)
                    FUZZ_CHECK(ext().SignalDpc[0].queued_at_irql == FakeKernel::kHighLevel,
                               "test signal queued at IRQL %d", ext().SignalDpc[0].queued_at_irql);
            } else {
                // A producer may have queued it already; the test signal adds nothing.
                FUZZ_CHECK(ext().SignalDpc[0].queued == slot0Queued,
                           "test signal queued a free slot");
            }
        } else if (code == IOCTL_BRIDGE_REGISTER_EVENT) {
            std::u16string name;
            const bool valid = NameOf(input, name);
            uint32_t slot = BRIDGE_NO_SLOT;
            FUZZ_CHECK(kernel_.opens.size() == namesBefore + (valid ? 1 : 0),
                       "%zu opens for a %s name", kernel_.opens.size() - namesBefore,
                       valid ? "good" : "bad");
            if (valid) {
                const bridge_test::FakeOpen& open = kernel_.opens.back();
                FUZZ_CHECK(open.name == kPrefix + name,
                           "opened another name than the input's (%zu units, expected %zu)",
                           open.name.size(), kPrefix.size() + name.size());
                FUZZ_CHECK(open.access == bridge::kEventAccess &&
                               open.attributes == bridge::kEventAttributes,
                           "opened with access %#x and attributes %#x", unsigned(open.access),
                           unsigned(open.attributes));
                if (!kernel_.fail_open) ++model_.opens;
                if (!kernel_.fail_open && !model_.autoReset.count(name)) {
                    for (uint32_t s = 0; s < BRIDGE_SLOT_COUNT && slot == BRIDGE_NO_SLOT; ++s) {
                        if (model_.taken[s] && model_.slotName[s] == name) slot = s;
                        if (!model_.taken[s]) {
                            model_.taken[s] = true;
                            model_.slotName[s] = name;
                            slot = s;
                        }
                    }
                }
            }
            expected = output < 4 ? bridge::Completion{bridge::kStatusInfoLengthMismatch, 0}
                                  : bridge::Completion{bridge::kStatusSuccess, 4};
            reply = slot;
        }
        FUZZ_CHECK(done.status == expected.status && done.information == expected.information,
                   "code %#x in %zu out %zu: %#x/%zu, expected %#x/%zu", code, input.size(), output,
                   unsigned(done.status), done.information, unsigned(expected.status),
                   expected.information);
        for (size_t i = 0; i < done.information; ++i)
            FUZZ_CHECK(buffer[i] == static_cast<uint8_t>(reply >> (8 * i)),
                       "code %#x reply byte %zu", code, i);
    }

    // A producer queues the DPC whose address it learnt, pointing at a slot index of its own
    // that stays valid until the DPC has run. Any slot's address may have been handed out,
    // a free slot's too, and the index may be wrong: the routine does not read it.
    void Queue() {
        const uint32_t slot = in_.ConsumeIntegralInRange<uint32_t>(0, 3);
        const size_t k = in_.ConsumeIntegralInRange<size_t>(0, 3);
        indices_[k] = in_.ConsumeBool()
                          ? static_cast<int32_t>(in_.ConsumeIntegralInRange<int>(0, 3))
                          : in_.ConsumeIntegral<int32_t>();
        kernel_.QueueDpc(ext().SignalDpc[slot], &indices_[k], nullptr);
    }

    void RunDpcs() {
        // A queued DPC sets its own slot's event, when the slot is taken by the time it runs.
        bool expect[BRIDGE_SLOT_COUNT] = {};
        for (uint32_t s = 0; s < BRIDGE_SLOT_COUNT; ++s) {
            const bridge_test::FakeDpc& dpc = ext().SignalDpc[s];
            if (!dpc.queued) continue;
            FUZZ_CHECK(dpc.context == &ext(), "slot %u's DPC has another context", s);
            expect[s] = model_.taken[s];
        }
        kernel_.RunQueuedDpcs();
        for (uint32_t s = 0; s < BRIDGE_SLOT_COUNT; ++s) {
            FakeEvent* e = ext().SlotEvent[s];
            if (!e) continue;
            if (expect[s]) FUZZ_CHECK(e->signalled, "slot %u's event was not set", s);
            // Events that share a name share a slot, so an unexpected set shows here too.
            if (!expect[s]) FUZZ_CHECK(!e->signalled, "slot %u's event set without a signal", s);
            e->signalled = false;
        }
    }

    void CheckSlots() {
        // Every DPC was initialised once, at load, and none was queued uninitialised or
        // initialised while queued.
        FUZZ_CHECK(kernel_.dpc_misuse.empty(), "DPC misuse: %s",
                   kernel_.dpc_misuse.front().c_str());
        for (uint32_t s = 0; s < BRIDGE_SLOT_COUNT; ++s) {
            FUZZ_CHECK(
                ext().SignalDpc[s].initializations == 1 && ext().SignalDpc[s].context == &ext(),
                "slot %u's DPC initialised %d times", s, ext().SignalDpc[s].initializations);
            FakeEvent* e = ext().SlotEvent[s];
            FUZZ_CHECK((e != nullptr) == model_.taken[s], "slot %u taken %d, expected %d", s,
                       e != nullptr, model_.taken[s]);
            if (!e) {
                FUZZ_CHECK(ext().SlotEventHandle[s] == 0, "free slot %u holds a handle", s);
                continue;
            }
            FUZZ_CHECK(e->name == kPrefix + model_.slotName[s], "slot %u holds another event", s);
            FUZZ_CHECK(e->handles == 1 && e->references == 1,
                       "slot %u's event: %d handles, %d refs", s, e->handles, e->references);
            FUZZ_CHECK(kernel_.open_handles.count(ext().SlotEventHandle[s]) == 1 &&
                           kernel_.open_handles.at(ext().SlotEventHandle[s]) == e,
                       "slot %u's handle is not its event's", s);
        }
        // Only the slots' own handles stay open between requests.
        size_t taken = 0;
        for (bool t : model_.taken) taken += t;
        FUZZ_CHECK(kernel_.open_handles.size() == taken, "%zu handles open for %zu slots",
                   kernel_.open_handles.size(), taken);
    }

    void Unload() {
        std::vector<FakeEvent*> events;
        for (uint32_t s = 0; s < BRIDGE_SLOT_COUNT; ++s)
            if (ext().SlotEvent[s]) events.push_back(ext().SlotEvent[s]);
        kernel_.journal.clear();
        bridge::Unload(kernel_, ext());
        FUZZ_CHECK(!kernel_.device, "the device was not deleted");
        FUZZ_CHECK(kernel_.open_handles.empty(), "%zu handles open after unload",
                   kernel_.open_handles.size());
        FUZZ_CHECK(kernel_.handles_closed == model_.opens, "%d handles closed for %d opens",
                   kernel_.handles_closed, model_.opens);
        for (FakeEvent* e : events)
            FUZZ_CHECK(e->handles == 0 && e->references == 0, "an event keeps %d handles, %d refs",
                       e->handles, e->references);
        for (const std::string& j : kernel_.journal)
            FUZZ_CHECK(j != "close-mismatch", "a handle was closed with another event");
        // Every slot emptied, then the DPCs flushed, then handles closed, link and device.
        for (size_t i = 0; i < BRIDGE_SLOT_COUNT; ++i)
            FUZZ_CHECK(kernel_.journal.size() > i && kernel_.journal[i] == "empty-slot",
                       "unload order: slot %zu not emptied first", i);
        FUZZ_CHECK(kernel_.journal.size() >= BRIDGE_SLOT_COUNT + 3 &&
                       kernel_.journal[BRIDGE_SLOT_COUNT] == "flush" &&
                       kernel_.journal[kernel_.journal.size() - 2] == "delete-link" &&
                       kernel_.journal.back() == "delete-device",
                   "unload order");
    }

    FuzzedDataProvider& in_;
    FakeKernel kernel_;
    Model model_;
    int32_t indices_[4] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Session(in).Run();
    return 0;
}
