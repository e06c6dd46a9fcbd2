// The bridge driver's logic against a recording fake kernel: every completion of the control
// codes, the slot table and its lock, how events are opened, the deferred routine's guards,
// the device's security descriptor, and the load and unload order.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge_core.h"
#include "fake_kernel.h"

namespace {

using bridge::Completion;
using bridge_test::FakeEvent;
using bridge_test::FakeKernel;

constexpr uint8_t kPoison = 0xCD;

std::vector<uint8_t> Utf16(const std::u16string& text, bool terminate = true) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (terminate) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::vector<uint8_t> Le64(uint64_t value) {
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(offset + i);
    return value;
}

uint64_t Le64At(const std::vector<uint8_t>& bytes, size_t offset) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes.at(offset + i);
    return value;
}

std::u16string Full(const std::u16string& name) {
    return u"\\BaseNamedObjects\\" + name;
}

class BridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(bridge::Load(kernel_), bridge::kStatusSuccess);
        kernel_.journal.clear();
    }

    bridge_test::FakeExtension& ext() { return *kernel_.device; }

    // Sends one device control as the I/O manager does for METHOD_BUFFERED: one system buffer
    // of exactly max(input, output) bytes (so a read or write past it is caught by the address
    // sanitizer), the input copied in, the rest filled with `fill`. `system_buffer` receives
    // the whole buffer afterwards.
    Completion Control(uint32_t code, const std::vector<uint8_t>& input, size_t output_length,
                       std::vector<uint8_t>* system_buffer = nullptr, uint8_t fill = kPoison) {
        const size_t size = std::max(input.size(), output_length);
        auto buffer = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
        std::memset(buffer.get(), fill, size);
        if (!input.empty()) std::memcpy(buffer.get(), input.data(), input.size());
        bridge::Request request{true, code, size == 0 ? nullptr : buffer.get(), input.size(),
                                output_length};
        const Completion done = bridge::Dispatch(kernel_, ext(), request);
        if (system_buffer) system_buffer->assign(buffer.get(), buffer.get() + size);
        return done;
    }

    uint32_t Register(const std::u16string& name, Completion* completion = nullptr) {
        std::vector<uint8_t> reply;
        const Completion done = Control(IOCTL_BRIDGE_REGISTER_EVENT, Utf16(name), 4, &reply);
        if (completion) *completion = done;
        EXPECT_EQ(done.status, bridge::kStatusSuccess) << "registering";
        EXPECT_EQ(done.information, 4u);
        return Le32At(reply, 0);
    }

    // Registers raw input bytes, with room for the reply, and returns the slot.
    uint32_t RegisterBytes(const std::vector<uint8_t>& input, size_t output_length = 4) {
        std::vector<uint8_t> reply;
        const Completion done = Control(IOCTL_BRIDGE_REGISTER_EVENT, input, output_length, &reply);
        EXPECT_EQ(done.status, bridge::kStatusSuccess);
        EXPECT_EQ(done.information, 4u);
        return Le32At(reply, 0);
    }

    // Each slot's DPC was initialised exactly once, by the load, with the extension as its
    // context, and nothing queued or initialised a DPC the wrong way.
    void ExpectEveryDpcInitialisedOnce() {
        for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
            EXPECT_EQ(ext().SignalDpc[slot].initializations, 1) << slot;
            EXPECT_EQ(ext().SignalDpc[slot].context, &ext()) << slot;
        }
        EXPECT_EQ(kernel_.dpc_misuse, std::vector<std::string>{});
    }

    uint64_t DpcAddress(uint32_t slot) {
        return reinterpret_cast<uintptr_t>(&ext().SignalDpc[slot]);
    }

    FakeKernel kernel_;
};

// ---- create, close and codes that are not the bridge's ----

TEST_F(BridgeTest, CreateAndCloseSucceedWithoutTouchingAnything) {
    for (int i = 0; i < 2; ++i) {
        const Completion done =
            bridge::Dispatch(kernel_, ext(), bridge::Request{false, 0, nullptr, 0, 0});
        EXPECT_EQ(done.status, bridge::kStatusSuccess);
        EXPECT_EQ(done.information, 0u);
    }
    EXPECT_TRUE(kernel_.journal.empty());
    EXPECT_TRUE(kernel_.opens.empty());
}

TEST_F(BridgeTest, UnknownControlCodesAreInvalidParameters) {
    const uint32_t codes[] = {
        0,
        BridgeControlCode(0x832),  // device type 0x8300, next function
        BridgeControlCode(0x841),
        IOCTL_BRIDGE_QUERY_VERSION | 3,           // same function, METHOD_NEITHER
        IOCTL_BRIDGE_REGISTER_EVENT | (1 << 14),  // same function, read access
        (0x22u << 16) | (0x830u << 2),            // function 0x830 of another device type
    };
    for (uint32_t code : codes) {
        std::vector<uint8_t> buffer;
        const Completion done = Control(code, Utf16(u"VEXMOND-0"), 16, &buffer);
        EXPECT_EQ(done.status, bridge::kStatusInvalidParameter) << std::hex << code;
        EXPECT_EQ(done.information, 0u) << std::hex << code;
        EXPECT_EQ(buffer,
                  [] {
                      auto expected = Utf16(u"VEXMOND-0");
                      expected.resize(20, kPoison);
                      return expected;
                  }())
            << std::hex << code;
    }
    EXPECT_TRUE(kernel_.opens.empty());
}

// ---- IOCTL_BRIDGE_QUERY_VERSION ----

TEST_F(BridgeTest, VersionNeedsFourBytesAndIgnoresInput) {
    std::vector<uint8_t> buffer;
    Completion done = Control(IOCTL_BRIDGE_QUERY_VERSION, {}, 4, &buffer);
    EXPECT_EQ(done.status, bridge::kStatusSuccess);
    EXPECT_EQ(done.information, 4u);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0x02, 0x00, 0x01, 0x00}));

    done = Control(IOCTL_BRIDGE_QUERY_VERSION, {9, 9, 9, 9, 9, 9, 9, 9, 9, 9}, 6, &buffer);
    EXPECT_EQ(done.status, bridge::kStatusSuccess);
    EXPECT_EQ(done.information, 4u);
    EXPECT_EQ(Le32At(buffer, 0), BRIDGE_INTERFACE_VERSION);

    for (size_t short_output : {0u, 3u}) {
        done = Control(IOCTL_BRIDGE_QUERY_VERSION, {}, short_output, &buffer);
        EXPECT_EQ(done.status, bridge::kStatusInfoLengthMismatch) << short_output;
        EXPECT_EQ(done.information, 0u);
        EXPECT_EQ(buffer, std::vector<uint8_t>(short_output, kPoison));
    }
}

// ---- IOCTL_BRIDGE_QUERY_DPC ----

TEST_F(BridgeTest, DpcQueryChecksTheOutputBeforeTheIndex) {
    for (const auto& input : {std::vector<uint8_t>{}, Le64(0), Le64(4)}) {
        std::vector<uint8_t> buffer;
        const Completion done = Control(IOCTL_BRIDGE_QUERY_DPC, input, 4, &buffer);
        EXPECT_EQ(done.status, bridge::kStatusInfoLengthMismatch) << input.size();
        EXPECT_EQ(done.information, 0u);
    }
}

TEST_F(BridgeTest, DpcQueryGivesEachSlotsDpcAddressEvenWhileFree) {
    std::vector<uint8_t> buffer;
    Completion done = Control(IOCTL_BRIDGE_QUERY_DPC, {}, 8, &buffer);
    EXPECT_EQ(done.status, bridge::kStatusSuccess);
    EXPECT_EQ(done.information, 8u);
    EXPECT_EQ(Le64At(buffer, 0), reinterpret_cast<uintptr_t>(&ext()));
    EXPECT_EQ(Le64At(buffer, 0), DpcAddress(0));

    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        done = Control(IOCTL_BRIDGE_QUERY_DPC, Le64(slot), 12, &buffer);
        EXPECT_EQ(done.status, bridge::kStatusSuccess) << slot;
        EXPECT_EQ(done.information, 8u);
        EXPECT_EQ(Le64At(buffer, 0), DpcAddress(slot)) << slot;
        EXPECT_EQ(buffer[8], kPoison) << "nothing written beyond the reply";
    }
    // Only the first pointer-wide value of a longer input is the index.
    std::vector<uint8_t> longer(16, 0xFF);
    const auto index = Le64(2);
    std::copy(index.begin(), index.end(), longer.begin());
    done = Control(IOCTL_BRIDGE_QUERY_DPC, longer, 8, &buffer);
    EXPECT_EQ(done.status, bridge::kStatusSuccess);
    EXPECT_EQ(Le64At(buffer, 0), DpcAddress(2));
    EXPECT_TRUE(kernel_.opens.empty());
}

TEST_F(BridgeTest, DpcQueryRefusesBadIndexes) {
    // Index 4, an index whose low 32 bits are 0, and an index shorter than a pointer (its
    // upper bytes would come from beyond the input).
    const std::vector<std::vector<uint8_t>> inputs = {
        Le64(4), Le64(0xFFFFFFFFFFFFFFFFull), Le64(0x100000000ull), {1, 0, 0, 0}, {0}};
    for (const auto& input : inputs) {
        std::vector<uint8_t> buffer;
        const Completion done = Control(IOCTL_BRIDGE_QUERY_DPC, input, 8, &buffer);
        EXPECT_EQ(done.status, bridge::kStatusInvalidParameter) << input.size();
        EXPECT_EQ(done.information, 0u);
    }
}

// ---- IOCTL_BRIDGE_REGISTER_EVENT with a name ----

TEST_F(BridgeTest, RegisteringOpensTheServicesEventAndTakesSlotZero) {
    FakeEvent* existing = kernel_.CreateExistingEvent(Full(u"VEXMOND-0"));
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    ASSERT_EQ(kernel_.opens.size(), 1u);
    EXPECT_EQ(kernel_.opens[0].name, Full(u"VEXMOND-0"));
    EXPECT_EQ(ext().SlotEvent[0], existing);
    EXPECT_NE(ext().SlotEventHandle[0], 0u);
    EXPECT_EQ(kernel_.open_handles.at(ext().SlotEventHandle[0]), existing);
    for (uint32_t slot = 1; slot < BRIDGE_SLOT_COUNT; ++slot) {
        EXPECT_EQ(ext().SlotEvent[slot], nullptr);
    }
    ExpectEveryDpcInitialisedOnce();
}

TEST_F(BridgeTest, SameNameTwiceKeepsOneSlotAndOneHandle) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    const uintptr_t first_handle = ext().SlotEventHandle[0];
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(ext().SlotEventHandle[0], first_handle);
    EXPECT_EQ(ext().SlotEvent[1], nullptr);
    EXPECT_EQ(kernel_.handles_closed, 1);
    EXPECT_EQ(kernel_.open_handles.size(), 1u);
    EXPECT_EQ(kernel_.EventNamed(Full(u"VEXMOND-0"))->references, 1);
    EXPECT_EQ(ext().SignalDpc[0].initializations, 1);
}

TEST_F(BridgeTest, FiveNamesFillFourSlotsAndTheFifthGetsNone) {
    Completion done{};
    for (uint32_t n = 0; n < 4; ++n) {
        EXPECT_EQ(Register(u"VEXMOND-" + std::u16string(1, u'0' + n)), n);
    }
    EXPECT_EQ(Register(u"VEXMOND-4", &done), BRIDGE_NO_SLOT);
    EXPECT_EQ(done.status, bridge::kStatusSuccess);
    EXPECT_EQ(done.information, 4u);
    EXPECT_EQ(kernel_.open_handles.size(), 4u);
    EXPECT_EQ(kernel_.EventNamed(Full(u"VEXMOND-4"))->handles, 0);
    // The names still find their slots once the table is full.
    EXPECT_EQ(Register(u"VEXMOND-2"), 2u);
    EXPECT_EQ(kernel_.open_handles.size(), 4u);
}

TEST_F(BridgeTest, ShortOutputTakesTheSlotButReturnsNothing) {
    std::vector<uint8_t> buffer;
    const auto name = Utf16(u"VEXMOND-0");
    const Completion done = Control(IOCTL_BRIDGE_REGISTER_EVENT, name, 3, &buffer);
    EXPECT_EQ(done.status, bridge::kStatusInfoLengthMismatch);
    EXPECT_EQ(done.information, 0u);
    EXPECT_EQ(buffer, name) << "the buffer is left as it came";
    EXPECT_NE(ext().SlotEvent[0], nullptr);
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(Register(u"VEXMOND-1"), 1u);
}

// Also what the requester sees when the forced access check refuses the event.
TEST_F(BridgeTest, NoEventMeansNoSlotButSuccess) {
    kernel_.fail_open = true;
    EXPECT_EQ(Register(u"VEXMOND-0"), BRIDGE_NO_SLOT);
    EXPECT_EQ(kernel_.journal, std::vector<std::string>{"open"}) << "no lock, nothing to close";
    EXPECT_EQ(ext().SlotEvent[0], nullptr);
    kernel_.fail_open = false;
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
}

TEST_F(BridgeTest, NameIsReadUpToItsNulOnly) {
    auto input = Utf16(u"VEXMOND-1");
    const auto tail = Utf16(u"junk");
    input.insert(input.end(), tail.begin(), tail.end());
    input.push_back('x');  // an odd length does not matter once the NUL is found
    EXPECT_EQ(RegisterBytes(input), 0u);
    ASSERT_EQ(kernel_.opens.size(), 1u);
    EXPECT_EQ(kernel_.opens[0].name, Full(u"VEXMOND-1"));
}

TEST_F(BridgeTest, NamesThatCannotBeReadSafelyGetNoSlot) {
    // No NUL inside the input, though the output part of the buffer beyond it holds zeros.
    {
        const auto unterminated = Utf16(u"VEXMOND-0", false);
        std::vector<uint8_t> buffer;
        const Completion done = Control(IOCTL_BRIDGE_REGISTER_EVENT, unterminated,
                                        unterminated.size() + 32, &buffer, 0);
        EXPECT_EQ(done.status, bridge::kStatusSuccess);
        EXPECT_EQ(done.information, 4u);
        EXPECT_EQ(Le32At(buffer, 0), BRIDGE_NO_SLOT);
    }
    // Without a NUL and with the buffer exactly as long as the input (caught if read beyond).
    EXPECT_EQ(RegisterBytes(Utf16(u"VEXMOND-0", false)), BRIDGE_NO_SLOT);
    // The last byte of an odd-length input is no unit, so a half NUL does not end the name.
    auto half_nul = Utf16(u"VEX", false);
    half_nul.push_back(0);
    EXPECT_EQ(RegisterBytes(half_nul), BRIDGE_NO_SLOT);
    EXPECT_EQ(RegisterBytes({0}), BRIDGE_NO_SLOT);
    // An empty name would name the object directory itself.
    EXPECT_EQ(RegisterBytes({0, 0}), BRIDGE_NO_SLOT);
    // One unit more than the name buffer leaves.
    EXPECT_EQ(Register(std::u16string(BRIDGE_MAX_EVENT_NAME_UNITS + 1, u'N')), BRIDGE_NO_SLOT);
    // A backslash would reach beyond the named-object directory with the kernel's rights.
    EXPECT_EQ(Register(u"..\\Device\\XAPHLINK"), BRIDGE_NO_SLOT);
    EXPECT_EQ(Register(u"Global\\VEXMOND-0"), BRIDGE_NO_SLOT);

    EXPECT_TRUE(kernel_.opens.empty());
    EXPECT_EQ(ext().SlotEvent[0], nullptr);
}

TEST_F(BridgeTest, LongestNameFillsTheNameBuffer) {
    const std::u16string longest(BRIDGE_MAX_EVENT_NAME_UNITS, u'N');
    EXPECT_EQ(Register(longest), 0u);
    ASSERT_EQ(kernel_.opens.size(), 1u);
    EXPECT_EQ(kernel_.opens[0].name.size(), bridge::kNameBufferUnits);
    EXPECT_EQ(kernel_.opens[0].name, Full(longest));
}

// ---- the test signal (empty register input) and the deferred routine ----

TEST_F(BridgeTest, TestSignalWithSlotZeroFreeQueuesNothing) {
    std::vector<uint8_t> buffer;
    const Completion done = Control(IOCTL_BRIDGE_REGISTER_EVENT, {}, 4, &buffer);
    EXPECT_EQ(done.status, bridge::kStatusSuccess);
    EXPECT_EQ(done.information, 0u);
    EXPECT_EQ(buffer, std::vector<uint8_t>(4, kPoison));
    EXPECT_FALSE(ext().SignalDpc[0].queued);
    EXPECT_EQ(kernel_.irql, FakeKernel::kPassiveLevel);
}

TEST_F(BridgeTest, TestSignalQueuesSlotZeroFromHighLevelAndSetsItsEvent) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(Register(u"VEXMOND-1"), 1u);
    const Completion done = Control(IOCTL_BRIDGE_REGISTER_EVENT, {}, 0);
    EXPECT_EQ(done.status, bridge::kStatusSuccess);
    EXPECT_EQ(done.information, 0u);
    const auto& dpc = ext().SignalDpc[0];
    ASSERT_TRUE(dpc.queued);
    EXPECT_EQ(dpc.queued_at_irql, FakeKernel::kHighLevel);
    EXPECT_EQ(kernel_.irql, FakeKernel::kPassiveLevel) << "IRQL restored";
    ASSERT_NE(dpc.argument1, nullptr);
    // The index must outlive the request: the DPC may run long after the dispatch returned.
    EXPECT_EQ(dpc.argument1, &bridge::kTestSignalSlot);
    EXPECT_EQ(*static_cast<const int32_t*>(dpc.argument1), 0);
    EXPECT_EQ(dpc.argument2, nullptr);

    kernel_.RunQueuedDpcs();
    EXPECT_TRUE(ext().SlotEvent[0]->signalled);
    EXPECT_FALSE(ext().SlotEvent[1]->signalled);
}

// A producer queues a slot's DPC with a pointer to the slot index it was given; the routine
// must not depend on that pointer: it may be wrong, stale or null.
TEST_F(BridgeTest, TheDeferredRoutineSetsTheSlotOfItsOwnDpcWhateverTheArgument) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(Register(u"VEXMOND-1"), 1u);
    const int32_t zero = 0;
    const int32_t out_of_range = 7;
    kernel_.QueueDpc(ext().SignalDpc[1], &zero, nullptr);
    kernel_.RunQueuedDpcs();
    EXPECT_FALSE(ext().SlotEvent[0]->signalled) << "the argument chose the slot";
    EXPECT_TRUE(ext().SlotEvent[1]->signalled);

    ext().SlotEvent[1]->signalled = false;
    for (const int32_t* argument : {&out_of_range, static_cast<const int32_t*>(nullptr)}) {
        kernel_.QueueDpc(ext().SignalDpc[1], argument, nullptr);
        kernel_.RunQueuedDpcs();
        EXPECT_TRUE(ext().SlotEvent[1]->signalled);
        ext().SlotEvent[1]->signalled = false;
    }
    EXPECT_FALSE(ext().SlotEvent[0]->signalled);
}

TEST_F(BridgeTest, TheDeferredRoutineIgnoresFreeSlotsAndForeignDpcs) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    const int32_t zero = 0;
    for (uint32_t slot = 1; slot < BRIDGE_SLOT_COUNT; ++slot)
        kernel_.QueueDpc(ext().SignalDpc[slot], &zero, nullptr);
    kernel_.RunQueuedDpcs();
    EXPECT_FALSE(ext().SlotEvent[0]->signalled);

    // A DPC object that is not one of the extension's, also one right behind the array.
    bridge_test::FakeDpc foreign[2];
    bridge::SignalSlot(kernel_, &ext(), &foreign[0]);
    bridge::SignalSlot(kernel_, &ext(), &ext().SignalDpc[0] + BRIDGE_SLOT_COUNT);
    bridge::SignalSlot(kernel_, &ext(), static_cast<const bridge_test::FakeDpc*>(nullptr));
    bridge::SignalSlot<FakeKernel>(kernel_, nullptr, &ext().SignalDpc[0]);
    EXPECT_FALSE(ext().SlotEvent[0]->signalled);
}

// ---- the DPC objects ----

TEST_F(BridgeTest, EveryDpcIsInitialisedAtLoadAndNeverAgain) {
    ExpectEveryDpcInitialisedOnce();
    for (char16_t n = u'0'; n <= u'4'; ++n) Register(std::u16string(u"VEXMOND-") + n);
    EXPECT_EQ(Register(u"VEXMOND-2"), 2u);
    EXPECT_EQ(Control(IOCTL_BRIDGE_REGISTER_EVENT, {}, 0).status, bridge::kStatusSuccess);
    kernel_.RunQueuedDpcs();
    ExpectEveryDpcInitialisedOnce();
}

// The DPC query answers for a free slot too, as it always did. A producer that queues such a
// DPC runs the routine harmlessly, and a registration that then takes the slot while the DPC
// is still queued leaves the DPC alone.
TEST_F(BridgeTest, AFreeSlotsDpcMayBeQueuedAndTheSlotTakenWhileItWaits) {
    std::vector<uint8_t> buffer;
    ASSERT_EQ(Control(IOCTL_BRIDGE_QUERY_DPC, {}, 8, &buffer).status, bridge::kStatusSuccess);
    auto* handed_out = reinterpret_cast<bridge_test::FakeDpc*>(Le64At(buffer, 0));
    const int32_t zero = 0;
    kernel_.QueueDpc(*handed_out, &zero, nullptr);
    EXPECT_EQ(kernel_.dpc_misuse, std::vector<std::string>{}) << "a zeroed DPC was handed out";

    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(kernel_.dpc_misuse, std::vector<std::string>{}) << "a queued DPC re-initialised";
    kernel_.RunQueuedDpcs();
    EXPECT_TRUE(ext().SlotEvent[0]->signalled) << "the slot is taken by the time the DPC runs";
    ExpectEveryDpcInitialisedOnce();
}

// ---- how events are opened ----

TEST_F(BridgeTest, EventsAreOpenedWithTheRequestersAccessCheckedAndOnlyTheRightsToSetThem) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    ASSERT_EQ(kernel_.opens.size(), 2u);
    for (const auto& open : kernel_.opens) {
        // EVENT_MODIFY_STATE | SYNCHRONIZE, nothing more.
        EXPECT_EQ(open.access, 0x00100002u);
        // OBJ_OPENIF | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK.
        EXPECT_EQ(open.attributes, 0x00000680u);
    }
}

// While another processor holds an event's dispatcher lock, its header's type byte has the
// top bit set; the event is a notification event all the same.
TEST_F(BridgeTest, TheEventTypeTestIgnoresTheDispatcherLockBit) {
    kernel_.CreateExistingEvent(Full(u"VEXMOND-0"), true, true);
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    FakeEvent* locked_autoreset = kernel_.CreateExistingEvent(Full(u"VEXMOND-1"), false, true);
    EXPECT_EQ(Register(u"VEXMOND-1"), BRIDGE_NO_SLOT);
    EXPECT_EQ(locked_autoreset->handles, 0);

    EXPECT_TRUE(bridge::IsNotificationEventType(0x00));
    EXPECT_TRUE(bridge::IsNotificationEventType(0x80));
    EXPECT_FALSE(bridge::IsNotificationEventType(0x01));
    EXPECT_FALSE(bridge::IsNotificationEventType(0x81));
}

TEST_F(BridgeTest, ASynchronizationEventGetsNoSlotAndIsReleased) {
    FakeEvent* autoreset = kernel_.CreateExistingEvent(Full(u"VEXMOND-0"), false);
    Completion done{};
    EXPECT_EQ(Register(u"VEXMOND-0", &done), BRIDGE_NO_SLOT);
    EXPECT_EQ(done.status, bridge::kStatusSuccess);
    EXPECT_EQ(done.information, 4u);
    EXPECT_EQ(autoreset->handles, 0);
    EXPECT_EQ(autoreset->references, 0);
    EXPECT_TRUE(kernel_.open_handles.empty());
    EXPECT_EQ(ext().SlotEvent[0], nullptr);
    EXPECT_EQ(kernel_.journal, (std::vector<std::string>{"open", "close"}));
    // The slot is still there for a notification event.
    EXPECT_EQ(Register(u"VEXMOND-1"), 0u);
}

// ---- the slot lock ----

TEST_F(BridgeTest, TheSlotLockCoversTheScanAndTheTakingButNoClose) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(kernel_.journal, (std::vector<std::string>{"open", "lock", "take-slot", "unlock"}));
    kernel_.journal.clear();
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(kernel_.journal, (std::vector<std::string>{"open", "lock", "unlock", "close"}));

    for (char16_t n = u'1'; n <= u'3'; ++n) Register(std::u16string(u"VEXMOND-") + n);
    kernel_.journal.clear();
    EXPECT_EQ(Register(u"VEXMOND-4"), BRIDGE_NO_SLOT);
    EXPECT_EQ(kernel_.journal, (std::vector<std::string>{"open", "lock", "unlock", "close"}));
    EXPECT_EQ(kernel_.lock_misuse, 0);
    EXPECT_FALSE(ext().SlotLock.held);
}

TEST_F(BridgeTest, TheDeferredRoutineAndTheTestSignalTakeNoLock) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    const int acquisitions = ext().SlotLock.acquisitions;
    EXPECT_EQ(Control(IOCTL_BRIDGE_REGISTER_EVENT, {}, 0).status, bridge::kStatusSuccess);
    kernel_.RunQueuedDpcs();
    EXPECT_TRUE(ext().SlotEvent[0]->signalled);
    EXPECT_EQ(ext().SlotLock.acquisitions, acquisitions);
}

// Registrations on several threads at once. Every thread opens its event first and waits until
// all have done so, then they race for the slots; taking a slot is made slow, so that a scan
// that another registration can interleave with takes one slot twice.
class ConcurrentRegistrationTest : public BridgeTest {
  protected:
    std::vector<uint32_t> RegisterAtOnce(const std::vector<std::u16string>& names) {
        std::mutex mutex;
        std::condition_variable all_opened;
        size_t opened = 0;
        kernel_.after_open = [&] {
            std::unique_lock<std::mutex> lock(mutex);
            ++opened;
            all_opened.notify_all();
            // Bounded, so that a fault that serialises the opens cannot hang the test.
            all_opened.wait_for(lock, std::chrono::seconds(5),
                                [&] { return opened == names.size(); });
        };
        kernel_.while_taking = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
        std::vector<uint32_t> slots(names.size(), 0xDEADu);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < names.size(); ++i) {
            threads.emplace_back([&, i] {
                std::vector<uint8_t> reply;
                const Completion done =
                    Control(IOCTL_BRIDGE_REGISTER_EVENT, Utf16(names[i]), 4, &reply);
                if (done.status == bridge::kStatusSuccess && done.information == 4) {
                    slots[i] = Le32At(reply, 0);
                }
            });
        }
        for (auto& thread : threads) thread.join();
        kernel_.after_open = nullptr;
        kernel_.while_taking = nullptr;
        return slots;
    }
};

TEST_F(ConcurrentRegistrationTest, EachNameTakesOneSlotAndNoSlotIsTakenTwice) {
    // Four names, each registered by two threads.
    std::vector<std::u16string> names;
    for (int copy = 0; copy < 2; ++copy) {
        for (char16_t n = u'0'; n <= u'3'; ++n) names.push_back(std::u16string(u"VEXMOND-") + n);
    }
    const std::vector<uint32_t> slots = RegisterAtOnce(names);

    std::set<uint32_t> taken;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_LT(slots[i], BRIDGE_SLOT_COUNT) << "thread " << i;
        EXPECT_EQ(slots[i + 4], slots[i]) << "the two registrations of one name";
        taken.insert(slots[i]);
    }
    EXPECT_EQ(taken.size(), 4u) << "two names share a slot";
    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        ASSERT_NE(ext().SlotEvent[slot], nullptr) << slot;
        EXPECT_EQ(ext().SlotEvent[slot]->handles, 1) << "handle leaked or lost, slot " << slot;
        EXPECT_EQ(ext().SlotEvent[slot]->references, 1) << slot;
        EXPECT_EQ(kernel_.open_handles.at(ext().SlotEventHandle[slot]), ext().SlotEvent[slot]);
    }
    EXPECT_EQ(kernel_.open_handles.size(), 4u);
    EXPECT_EQ(kernel_.handles_closed, 4);
    EXPECT_EQ(kernel_.lock_misuse, 0);
}

TEST_F(ConcurrentRegistrationTest, MoreNamesThanSlotsLeaveExactlyTheSurplusWithout) {
    std::vector<std::u16string> names;
    for (char16_t n = u'0'; n <= u'5'; ++n) names.push_back(std::u16string(u"VEXMOND-") + n);
    const std::vector<uint32_t> slots = RegisterAtOnce(names);

    std::set<uint32_t> taken;
    size_t without = 0;
    for (uint32_t slot : slots) {
        if (slot == BRIDGE_NO_SLOT) {
            ++without;
        } else {
            EXPECT_LT(slot, BRIDGE_SLOT_COUNT);
            EXPECT_TRUE(taken.insert(slot).second) << "slot " << slot << " taken twice";
        }
    }
    EXPECT_EQ(without, 2u);
    EXPECT_EQ(taken.size(), 4u);
    EXPECT_EQ(kernel_.open_handles.size(), 4u);
    EXPECT_EQ(kernel_.handles_closed, 2);
}

// ---- the device's security descriptor ----

// Renders a self-relative security descriptor in the security descriptor definition language,
// as far as the bridge's needs go, checking every size and offset on the way; "" when the
// bytes are not a well-formed descriptor of that kind.
std::string DescriptorAsSddl(const std::vector<uint8_t>& sd) {
    auto u8 = [&](size_t at) { return at < sd.size() ? sd[at] : -1; };
    auto le16 = [&](size_t at) { return at + 2 <= sd.size() ? sd[at] | sd[at + 1] << 8 : -1; };
    auto le32 = [&](size_t at) -> int64_t {
        if (at + 4 > sd.size()) return -1;
        return int64_t{sd[at]} | int64_t{sd[at + 1]} << 8 | int64_t{sd[at + 2]} << 16 |
               int64_t{sd[at + 3]} << 24;
    };
    if (u8(0) != 1 || u8(1) != 0) return "";
    const int control = le16(2);
    if ((control & 0x8000) == 0 || (control & 0x0004) == 0) return "";  // self-relative, DACL
    if ((control & ~(0x8000 | 0x1000 | 0x0004)) != 0) return "";
    if (le32(4) != 0 || le32(8) != 0 || le32(12) != 0) return "";  // no owner, group or SACL
    const int64_t dacl = le32(16);
    if (dacl < 20 || dacl % 4 != 0) return "";
    const size_t acl = static_cast<size_t>(dacl);
    const int acl_size = le16(acl + 2);
    const int count = le16(acl + 4);
    if (u8(acl) != 2 || acl_size < 8 || acl + acl_size != sd.size() || le16(acl + 6) != 0) {
        return "";
    }
    std::string text = "D:";
    if (control & 0x1000) text += "P";
    size_t at = acl + 8;
    for (int i = 0; i < count; ++i) {
        const int type = u8(at);
        const int flags = u8(at + 1);
        const int size = le16(at + 2);
        const int64_t mask = le32(at + 4);
        const size_t sid = at + 8;
        const int sub_count = u8(sid + 1);
        if (type != 0 || flags != 0 || u8(sid) != 1 || sub_count < 0 ||
            size != 8 + 8 + 4 * sub_count || at + size > acl + acl_size) {
            return "";
        }
        int64_t authority = 0;
        for (size_t b = 0; b < 6; ++b) authority = authority << 8 | u8(sid + 2 + b);
        std::string sid_text = "S-1-" + std::to_string(authority);
        for (int r = 0; r < sub_count; ++r) sid_text += "-" + std::to_string(le32(sid + 8 + 4 * r));
        if (sid_text == "S-1-5-18") sid_text = "SY";
        if (sid_text == "S-1-5-32-544") sid_text = "BA";
        const std::string rights = mask == 0x10000000 ? "GA" : std::to_string(mask);
        text += "(A;;" + rights + ";;;" + sid_text + ")";
        at += size;
    }
    return at == acl + acl_size ? text : "";
}

TEST(BridgeSecurityTest, TheDeviceDescriptorAllowsSystemAndAdministratorsOnly) {
    std::vector<uint8_t> buffer(bridge::device_sd::kSize + 8, 0xCD);
    ASSERT_TRUE(bridge::BuildDeviceSecurityDescriptor(
        bridge::ByteSpan(buffer.data(), bridge::device_sd::kSize)));
    EXPECT_EQ(buffer[bridge::device_sd::kSize], 0xCD) << "written beyond the descriptor";
    buffer.resize(bridge::device_sd::kSize);
    EXPECT_EQ(DescriptorAsSddl(buffer), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    // The two SIDs byte for byte, as the kernel compares them.
    const std::vector<uint8_t> system(buffer.begin() + 36, buffer.begin() + 48);
    EXPECT_EQ(system, (std::vector<uint8_t>{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}));
    const std::vector<uint8_t> admins(buffer.begin() + 56, buffer.end());
    EXPECT_EQ(admins, (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0}));
}

TEST(BridgeSecurityTest, AShortBufferGetsNoDescriptor) {
    std::vector<uint8_t> buffer(bridge::device_sd::kSize - 1, 0xCD);
    EXPECT_FALSE(
        bridge::BuildDeviceSecurityDescriptor(bridge::ByteSpan(buffer.data(), buffer.size())));
    EXPECT_EQ(buffer, std::vector<uint8_t>(bridge::device_sd::kSize - 1, 0xCD));
}

// The renderer itself tells a broken descriptor from the right one.
TEST(BridgeSecurityTest, TheRendererRefusesMalformedDescriptors) {
    std::vector<uint8_t> good(bridge::device_sd::kSize);
    bridge::BuildDeviceSecurityDescriptor(bridge::ByteSpan(good.data(), good.size()));
    auto changed = [&](size_t at, uint8_t value) {
        auto bytes = good;
        bytes[at] = value;
        return DescriptorAsSddl(bytes);
    };
    EXPECT_EQ(changed(3, 0x80), "D:(A;;GA;;;SY)(A;;GA;;;BA)") << "not protected";
    EXPECT_EQ(changed(22, 51), "") << "ACL size";
    EXPECT_EQ(changed(30, 24), "") << "ACE size";
    EXPECT_EQ(changed(37, 2), "") << "sub-authority count";
    EXPECT_EQ(changed(44, 19), "D:P(A;;GA;;;S-1-5-19)(A;;GA;;;BA)");
    EXPECT_EQ(changed(35, 0x20), "D:P(A;;" + std::to_string(0x20000000) + ";;;SY)(A;;GA;;;BA)");
    EXPECT_EQ(DescriptorAsSddl({}), "");
}

// ---- load and unload ----

TEST(BridgeLoadTest, LoadProtectsTheDeviceBeforeItsLinkExists) {
    FakeKernel kernel;
    EXPECT_EQ(bridge::Load(kernel), bridge::kStatusSuccess);
    EXPECT_EQ(kernel.journal, (std::vector<std::string>{
                                  "create-device", "init-lock", "init-dpc", "init-dpc", "init-dpc",
                                  "init-dpc", "protect-device", "create-link", "install"}));
    EXPECT_TRUE(kernel.descriptor_set_before_link);
    EXPECT_EQ(kernel.device_characteristics, 0x00000100u) << "FILE_DEVICE_SECURE_OPEN only";
    EXPECT_EQ(DescriptorAsSddl(kernel.device_descriptor), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    ASSERT_NE(kernel.device, nullptr);
    EXPECT_TRUE(kernel.device->SlotLock.initialized);
    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        EXPECT_EQ(kernel.device->SlotEvent[slot], nullptr);
    }
}

TEST(BridgeLoadTest, EachFailedStepFailsTheLoadAndUndoesTheEarlierOnes) {
    FakeKernel no_device;
    no_device.device_status = bridge::kStatusUnsuccessful;
    EXPECT_EQ(bridge::Load(no_device), bridge::kStatusUnsuccessful);
    EXPECT_EQ(no_device.journal, std::vector<std::string>{"create-device"});

    FakeKernel unprotected;
    const bridge::Status denied = static_cast<bridge::Status>(0xC0000022u);
    unprotected.protect_status = denied;
    EXPECT_EQ(bridge::Load(unprotected), denied);
    EXPECT_EQ(unprotected.journal, (std::vector<std::string>{
                                       "create-device", "init-lock", "init-dpc", "init-dpc",
                                       "init-dpc", "init-dpc", "protect-device", "delete-device"}));
    EXPECT_EQ(unprotected.device, nullptr);
    EXPECT_FALSE(unprotected.link_exists);

    FakeKernel no_link;
    const bridge::Status collision = static_cast<bridge::Status>(0xC0000035u);
    no_link.link_status = collision;
    EXPECT_EQ(bridge::Load(no_link), collision);
    EXPECT_EQ(no_link.journal, (std::vector<std::string>{
                                   "create-device", "init-lock", "init-dpc", "init-dpc", "init-dpc",
                                   "init-dpc", "protect-device", "create-link", "delete-device"}));
    EXPECT_EQ(no_link.device, nullptr);
}

TEST_F(BridgeTest, UnloadClosesExactlyTheTakenSlotsHandlesThenLinkThenDevice) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(Register(u"VEXMOND-1"), 1u);
    FakeEvent* first = ext().SlotEvent[0];
    kernel_.journal.clear();

    bridge::Unload(kernel_, ext());
    EXPECT_EQ(kernel_.handles_closed, 2);
    EXPECT_TRUE(kernel_.open_handles.empty());
    EXPECT_EQ(first->references, 0);
    EXPECT_EQ(kernel_.journal, (std::vector<std::string>{"empty-slot", "empty-slot", "empty-slot",
                                                         "empty-slot", "flush", "close", "close",
                                                         "delete-link", "delete-device"}));
    EXPECT_EQ(kernel_.device, nullptr);
}

TEST_F(BridgeTest, UnloadDropsAQueuedSignalAndWaitsBeforeClosing) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    FakeEvent* event = ext().SlotEvent[0];
    EXPECT_EQ(Control(IOCTL_BRIDGE_REGISTER_EVENT, {}, 0).status, bridge::kStatusSuccess);
    kernel_.journal.clear();

    bridge::Unload(kernel_, ext());
    EXPECT_FALSE(event->signalled) << "a signal still queued at unload is dropped";
    EXPECT_EQ(kernel_.journal.at(BRIDGE_SLOT_COUNT), "flush") << "the slots are emptied first";
    EXPECT_EQ(kernel_.handles_closed, 1);
}

TEST_F(BridgeTest, UnloadWithNoSlotsClosesNothing) {
    bridge::Unload(kernel_, ext());
    EXPECT_EQ(kernel_.handles_closed, 0);
    EXPECT_EQ(kernel_.journal,
              (std::vector<std::string>{"empty-slot", "empty-slot", "empty-slot", "empty-slot",
                                        "flush", "delete-link", "delete-device"}));
}

}  // namespace
