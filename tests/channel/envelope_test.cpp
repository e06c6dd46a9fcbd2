// The bytes every request carries on the wire, checked against literal values rather than
// the constants the code builds them from.
#include <gtest/gtest.h>

#include <cstring>

#include "channel/miniport_channel.h"

namespace {

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Expected {
    uint32_t command;
    size_t size;
    int64_t dataLength;  // -1: the buffer ends before DataLength
};

const Expected kTable[] = {
    {1, 44, 12},   {2, 32, -1},    {3, 106, 74},  {4, 110, 78},        {5, 64, 32},
    {6, 41, 9},    {10, 840, 808}, {12, 100, 68}, {258, 32834, 32802}, {259, 32834, 32802},
    {263, 48, 16}, {264, 48, 16},  {265, 66, 34},
};

TEST(Envelope, EveryCommandCarriesItsHeaderSizeAndDataLength) {
    ASSERT_EQ(std::size(kTable), channel::kCommandCount);
    for (const Expected& e : kTable) {
        SCOPED_TRACE(e.command);
        channel::Request r(e.command);
        const uint8_t* b = r.bytes().data();
        ASSERT_EQ(r.bytes().size(), e.size);
        EXPECT_EQ(Le32(b + 0), 28u);
        EXPECT_EQ(std::memcmp(b + 4, "QELNIX2\0", 8), 0);
        EXPECT_EQ(Le32(b + 12), 30u);
        EXPECT_EQ(Le32(b + 16), 0x888u);
        EXPECT_EQ(Le32(b + 20), 0u);
        EXPECT_EQ(Le32(b + 24), e.size - 28);
        EXPECT_EQ(Le32(b + 28), e.command);
        if (e.dataLength >= 0) {
            EXPECT_EQ(Le32(b + 32), static_cast<uint32_t>(e.dataLength));
        }
        for (size_t i = 36; i < e.size; ++i) ASSERT_EQ(b[i], 0) << "byte " << i;
    }
}

TEST(Envelope, BuildRefusesUnknownCommandsAndWrongSizes) {
    uint8_t buf[44] = {};
    EXPECT_FALSE(channel::BuildEnvelope(wire::ByteView(buf, sizeof buf), 7));
    EXPECT_FALSE(
        channel::BuildEnvelope(wire::ByteView(buf, 43), channel::MPCMD_GET_DRIVER_VERSION));
    for (uint8_t byte : buf) EXPECT_EQ(byte, 0);
    EXPECT_EQ(channel::kIoctlScsiMiniport, 0x4D008u);
}

TEST(Envelope, OnlyTheExactSuccessValueCounts) {
    for (const Expected& e : kTable) {
        if (e.command == channel::MPCMD_GET_ADAPTER_COUNT) continue;
        channel::Request r(e.command);
        const uint32_t success =
            e.command == 12 || e.command >= 263 ? 1 : static_cast<uint32_t>(e.dataLength);
        for (int64_t delta : {-100000, -1, 0, 1, 2, 808, 0x7FFFFFFF}) {
            r.view().Put32(20, static_cast<uint32_t>(success + delta));
            EXPECT_EQ(channel::ReplySucceeded(r.view(), e.command), delta == 0)
                << "command " << e.command << " delta " << delta;
        }
    }
}

TEST(Wire, OutOfBoundsAccessLeavesEverythingUnchanged) {
    uint8_t buf[6] = {1, 2, 3, 4, 5, 6};
    wire::ByteView v(buf, sizeof buf);
    uint32_t out = 0xDEADBEEF;
    EXPECT_FALSE(v.Get32(3, out));
    EXPECT_EQ(out, 0xDEADBEEFu);
    EXPECT_FALSE(v.Get32(SIZE_MAX - 1, out));
    EXPECT_FALSE(v.Put16(5, 0xFFFF));
    EXPECT_EQ(buf[5], 6);
    EXPECT_TRUE(v.Get32(2, out));
    EXPECT_EQ(out, 0x06050403u);
    EXPECT_EQ(v.U64(0), 0u);  // does not fit: zero, not a partial read
    uint8_t text[4] = {'a', 'b', 'c', 'd'};
    wire::ByteView t(text, sizeof text);
    EXPECT_EQ(t.TextLength({0, 4}), 4u);  // unterminated field: stops at its end
    EXPECT_EQ(t.TextLength({2, 4}), 0u);  // field beyond the buffer
}

}  // namespace
