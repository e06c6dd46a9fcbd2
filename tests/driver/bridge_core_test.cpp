// The bridge driver's logic against a recording fake kernel: every completion of the control
// codes, the slot table, the deferred routine's guards, and the load and unload order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
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
    EXPECT_TRUE(kernel_.opened_names.empty());
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
    EXPECT_TRUE(kernel_.opened_names.empty());
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
    EXPECT_TRUE(kernel_.opened_names.empty());
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
    ASSERT_EQ(kernel_.opened_names.size(), 1u);
    EXPECT_EQ(kernel_.opened_names[0], Full(u"VEXMOND-0"));
    EXPECT_EQ(ext().SlotEvent[0], existing);
    EXPECT_NE(ext().SlotEventHandle[0], 0u);
    EXPECT_EQ(kernel_.open_handles.at(ext().SlotEventHandle[0]), existing);
    EXPECT_EQ(ext().SignalDpc[0].initializations, 1);
    EXPECT_EQ(ext().SignalDpc[0].context, &ext());
    for (uint32_t slot = 1; slot < BRIDGE_SLOT_COUNT; ++slot) {
        EXPECT_EQ(ext().SlotEvent[slot], nullptr);
        EXPECT_EQ(ext().SignalDpc[slot].initializations, 0);
    }
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

TEST_F(BridgeTest, NoEventMeansNoSlotButSuccess) {
    kernel_.fail_open = true;
    EXPECT_EQ(Register(u"VEXMOND-0"), BRIDGE_NO_SLOT);
    EXPECT_EQ(ext().SlotEvent[0], nullptr);
    EXPECT_EQ(ext().SignalDpc[0].initializations, 0);
    kernel_.fail_open = false;
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
}

TEST_F(BridgeTest, NameIsReadUpToItsNulOnly) {
    auto input = Utf16(u"VEXMOND-1");
    const auto tail = Utf16(u"junk");
    input.insert(input.end(), tail.begin(), tail.end());
    input.push_back('x');  // an odd length does not matter once the NUL is found
    EXPECT_EQ(RegisterBytes(input), 0u);
    ASSERT_EQ(kernel_.opened_names.size(), 1u);
    EXPECT_EQ(kernel_.opened_names[0], Full(u"VEXMOND-1"));
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

    EXPECT_TRUE(kernel_.opened_names.empty());
    EXPECT_EQ(ext().SlotEvent[0], nullptr);
}

TEST_F(BridgeTest, LongestNameFillsTheNameBuffer) {
    const std::u16string longest(BRIDGE_MAX_EVENT_NAME_UNITS, u'N');
    EXPECT_EQ(Register(longest), 0u);
    ASSERT_EQ(kernel_.opened_names.size(), 1u);
    EXPECT_EQ(kernel_.opened_names[0].size(), bridge::kNameBufferUnits);
    EXPECT_EQ(kernel_.opened_names[0], Full(longest));
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

TEST_F(BridgeTest, DeferredRoutineSetsOnlyTheNamedTakenSlot) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    EXPECT_EQ(Register(u"VEXMOND-1"), 1u);
    const int32_t one = 1;
    bridge::SignalSlot(kernel_, &ext(), &one);
    EXPECT_FALSE(ext().SlotEvent[0]->signalled);
    EXPECT_TRUE(ext().SlotEvent[1]->signalled);
}

TEST_F(BridgeTest, DeferredRoutineIgnoresBadIndexesAndFreeSlots) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    for (int32_t index : {-1, 2, 3, 4, INT32_MIN, INT32_MAX}) {
        bridge::SignalSlot(kernel_, &ext(), &index);
    }
    bridge::SignalSlot(kernel_, &ext(), nullptr);
    bridge::SignalSlot<FakeKernel>(kernel_, nullptr, nullptr);
    EXPECT_FALSE(ext().SlotEvent[0]->signalled);
}

// ---- load and unload ----

TEST(BridgeLoadTest, LoadCreatesDeviceThenLinkThenInstalls) {
    FakeKernel kernel;
    EXPECT_EQ(bridge::Load(kernel), bridge::kStatusSuccess);
    EXPECT_EQ(kernel.journal,
              (std::vector<std::string>{"create-device", "create-link", "install"}));
    ASSERT_NE(kernel.device, nullptr);
    for (uint32_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        EXPECT_EQ(kernel.device->SlotEvent[slot], nullptr);
    }
}

TEST(BridgeLoadTest, FailedDeviceOrLinkFailsTheLoadAndLeavesNoDevice) {
    FakeKernel no_device;
    no_device.device_status = bridge::kStatusUnsuccessful;
    EXPECT_EQ(bridge::Load(no_device), bridge::kStatusUnsuccessful);
    EXPECT_EQ(no_device.journal, std::vector<std::string>{"create-device"});

    FakeKernel no_link;
    const bridge::Status collision = static_cast<bridge::Status>(0xC0000035u);
    no_link.link_status = collision;
    EXPECT_EQ(bridge::Load(no_link), collision);
    EXPECT_EQ(no_link.journal,
              (std::vector<std::string>{"create-device", "create-link", "delete-device"}));
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
    EXPECT_EQ(kernel_.journal, (std::vector<std::string>{"flush", "close", "close", "delete-link",
                                                         "delete-device"}));
    EXPECT_EQ(kernel_.device, nullptr);
}

TEST_F(BridgeTest, UnloadDropsAQueuedSignalAndWaitsBeforeClosing) {
    EXPECT_EQ(Register(u"VEXMOND-0"), 0u);
    FakeEvent* event = ext().SlotEvent[0];
    EXPECT_EQ(Control(IOCTL_BRIDGE_REGISTER_EVENT, {}, 0).status, bridge::kStatusSuccess);
    kernel_.journal.clear();

    bridge::Unload(kernel_, ext());
    EXPECT_FALSE(event->signalled) << "a signal still queued at unload is dropped";
    EXPECT_EQ(kernel_.journal.front(), "flush");
    EXPECT_EQ(kernel_.handles_closed, 1);
}

TEST_F(BridgeTest, UnloadWithNoSlotsClosesNothing) {
    bridge::Unload(kernel_, ext());
    EXPECT_EQ(kernel_.handles_closed, 0);
    EXPECT_EQ(kernel_.journal, (std::vector<std::string>{"flush", "delete-link", "delete-device"}));
}

}  // namespace
