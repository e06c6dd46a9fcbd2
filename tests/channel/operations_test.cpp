// The one-request operations and the texts made of replies, over the in-process simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "channel/miniport_channel.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace {

using namespace channel;

std::vector<uint8_t> Image(const char* text, size_t at = 100) {
    std::vector<uint8_t> image(bios::kImageSize, 0x20);
    std::memcpy(image.data() + at, text, std::strlen(text));
    return image;
}

TEST(BiosVersion, FindsTheTextAfterVersionUpToTheLineEnd) {
    EXPECT_EQ(FindBiosVersion(Image("Version 1.00.0.30\r\nmore")), "1.00.0.30");
    EXPECT_EQ(FindBiosVersion(Image("Version 2.1\nx")), "2.1");
    // 25 characters without a line end: the first 19.
    EXPECT_EQ(FindBiosVersion(Image("Version ABCDEFGHIJKLMNOPQRSTUVWXY\r\n")),
              "ABCDEFGHIJKLMNOPQRS");
    // Only 'V', 's' and 'n' are looked at; the first match wins.
    EXPECT_EQ(FindBiosVersion(Image("V??s??n?first\r\nVersion second\r\n")), "first");
    EXPECT_EQ(FindBiosVersion(Image("no pattern here")), "Temporarily Unknown");
    std::vector<uint8_t> zero = Image("Version 1.0");
    zero[111] = 0;  // a zero byte ends the text as the screen would
    std::memcpy(zero.data() + 112, "junk\r\n", 6);
    EXPECT_EQ(FindBiosVersion(zero), "1.0");
}

TEST(BiosVersion, NeverReadsPastTheImage) {
    // A match whose text would start at the last byte or beyond is not considered; one whose
    // text runs to the end stops there.
    std::vector<uint8_t> image(bios::kImageSize, 'x');
    std::memcpy(image.data() + bios::kImageSize - 8, "Version", 7);
    EXPECT_EQ(FindBiosVersion(image), "Temporarily Unknown");
    std::memcpy(image.data() + bios::kImageSize - 10, "Version ", 8);
    EXPECT_EQ(FindBiosVersion(image), "nx");
}

TEST(Texts, DriverVersionVoltageAndFahrenheit) {
    Request r(MPCMD_GET_DRIVER_VERSION);
    const uint16_t parts[4] = {1, 0, 0, 21};
    for (int i = 0; i < 4; ++i) r.view().Put16(36 + 2 * i, parts[i]);
    EXPECT_EQ(DriverVersionText(r.view()), "1.0.0.21");
    for (int i = 0; i < 4; ++i) r.view().Put16(36 + 2 * i, 65535);
    EXPECT_EQ(DriverVersionText(r.view()), "65535.65535.65535.65535");

    EXPECT_EQ(FormatVoltage(5012), "5.012");
    EXPECT_EQ(FormatVoltage(12050), "12.05");
    EXPECT_EQ(FormatVoltage(980), ".9800");
    EXPECT_EQ(FormatVoltage(12000), "12.00");
    EXPECT_EQ(FormatVoltage(12345), "12.35");  // the fifth digit rounds half up
    EXPECT_EQ(FormatVoltage(65535), "65.54");
    EXPECT_EQ(FormatVoltage(1000), "1.000");
    // Below a tenth of a volt the zeros after the point stay, so the text keeps its value.
    EXPECT_EQ(FormatVoltage(50), ".05000");
    EXPECT_EQ(FormatVoltage(7), ".007000");
    EXPECT_EQ(FormatVoltage(0), ".0000");

    EXPECT_EQ(FahrenheitOf(37), 98u);
    EXPECT_EQ(FahrenheitOf(0), 32u);
    EXPECT_EQ(FahrenheitOf(40), 104u);
    EXPECT_EQ(TransferModeSectorCount(2, 5), 0x45);
    EXPECT_EQ(TransferModeSectorCount(0, 4), 0x0C);
    EXPECT_EQ(TransferModeSectorCount(1, 2), 0x22);
    EXPECT_EQ(TransferModeSectorCount(3, 2), 0);
}

class OverSimulator : public ::testing::Test {
  protected:
    void SetUp() override {
        adapter = &sim::AddAdapter(*pop, 2, 0x6A31, 4, 2);
        sim::AddDisk(*adapter, 0, 0, "DISK0");
        channel.SetAdapterName(0, "\\\\.\\Scsi2:");
    }
    void TearDown() override { EXPECT_EQ(io.OpenHandles(), 0u) << "a device was left open"; }

    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimAdapter* adapter = nullptr;
    sim::SimDeviceAccess io{*pop};
    MiniportChannel channel{io};
};

TEST_F(OverSimulator, ReadBiosVersionAndItsFailures) {
    EXPECT_EQ(channel.ReadBiosVersion(0), "1.00.0.30");
    EXPECT_EQ(adapter->counters.opens, 1u);
    EXPECT_EQ(adapter->counters.closes, 1u);
    sim::InjectFault(*adapter, MPCMD_READ_BIOS, sim::kFaultReturnCodeOff, -1);
    EXPECT_EQ(channel.ReadBiosVersion(0), "Temporarily Unknown");
    sim::InjectFault(*adapter, MPCMD_READ_BIOS, sim::kFaultCallFails);
    EXPECT_EQ(channel.ReadBiosVersion(0), "Temporarily Unknown");
    adapter->openFails = 1;
    EXPECT_EQ(channel.ReadBiosVersion(0), "Temporarily Unknown");
}

TEST_F(OverSimulator, TransferBiosImageWritesTheRequestFieldsAndKeepsTheImage) {
    std::vector<uint8_t> buffer(bios::kSize, 0xEE);  // junk before the image is rebuilt
    for (size_t i = 0; i < bios::kImageSize; ++i) buffer[66 + i] = static_cast<uint8_t>(i * 13);
    const std::vector<uint8_t> image(buffer.begin() + 66, buffer.end());
    ASSERT_EQ(channel.TransferBiosImage(0, buffer, 1), 1);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), adapter->bios));
    wire::ByteView v(buffer.data(), buffer.size());
    EXPECT_EQ(v.U32(28), 258u);
    EXPECT_EQ(v.U32(58), 0u);
    EXPECT_EQ(v.U32(62), 32u);
    for (size_t i = 37; i < 58; ++i) EXPECT_EQ(buffer[i], 0) << i;

    std::vector<uint8_t> back(bios::kSize, 0);
    ASSERT_EQ(channel.TransferBiosImage(0, back, 0), 1);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), back.begin() + 66));
    EXPECT_EQ(wire::ByteView(back.data(), back.size()).U32(28), 259u);

    std::vector<uint8_t> small(100);
    EXPECT_EQ(channel.TransferBiosImage(0, small, 0), 0);
}

TEST_F(OverSimulator, SmartStateIsThreeOnAnyFailure) {
    adapter->devices[0][0].smartState = 2;
    EXPECT_EQ(channel.QuerySmartState(0, 0, 0), 2);
    EXPECT_EQ(channel.QuerySmartState(0, 1, 0), 3);  // nothing attached there
    for (int32_t delta : {1, -9, 1000}) {
        sim::InjectFault(*adapter, MPCMD_GET_SMART_STATUS, sim::kFaultReturnCodeOff, delta);
        EXPECT_EQ(channel.QuerySmartState(0, 0, 0), 3) << delta;
    }
    channel.SetAdapterName(0, "\\\\.\\Scsi5:");
    EXPECT_EQ(channel.QuerySmartState(0, 0, 0), 3);
}

TEST_F(OverSimulator, EnclosurePresenceAndTexts) {
    EnclosureTexts texts;
    // Type 0: absent for the presence query, "no support" when texts are asked for.
    EXPECT_EQ(channel.QueryEnclosure(0, 0), 0);
    EXPECT_EQ(channel.QueryEnclosure(0, 0, texts), kEnclosureUnsupported);
    adapter->enclosures[0].type = 255;
    EXPECT_EQ(channel.QueryEnclosure(0, 0), 0);

    sim::SimEnclosure& e = sim::AddEnclosure(*adapter, 0, 4);
    e.bayLocation = 0x35;
    e.temperature1 = 40;
    e.temperature2 = 37;
    EXPECT_EQ(channel.QueryEnclosure(0, 0), 1);
    ASSERT_EQ(channel.QueryEnclosure(0, 0, texts), kEnclosureTwoFans);
    EXPECT_EQ(texts.type, "Drivecove5200");
    EXPECT_EQ(texts.location, "Bay-3");
    EXPECT_EQ(texts.celsius1 + "/" + texts.fahrenheit1, "40/104");
    EXPECT_EQ(texts.celsius2 + "/" + texts.fahrenheit2, "37/98");
    EXPECT_EQ(texts.fan1 + "," + texts.fan2, "3000,3100");
    EXPECT_EQ(texts.volts5 + "/" + texts.volts12, "5.012/12.05");

    EnclosureTexts one;
    e.type = 2;
    EXPECT_EQ(channel.QueryEnclosure(0, 0, one), kEnclosureOneFan);
    EXPECT_EQ(one.type, "Drivecove2200");
    EXPECT_EQ(one.location, "");
    e.type = 1;
    EXPECT_EQ(channel.QueryEnclosure(0, 0, one), kEnclosureOneFan);
    EXPECT_EQ(one.type, "Drivecove");
    e.type = 9;
    EXPECT_EQ(channel.QueryEnclosure(0, 0), 1);  // another model is still an enclosure
    EXPECT_EQ(channel.QueryEnclosure(0, 0, one), kEnclosureUnsupported);

    EnclosureTexts untouched;
    untouched.type = "keep";
    sim::InjectFault(*adapter, MPCMD_GET_ENCLOSURE_STATUS, sim::kFaultCallFails);
    EXPECT_EQ(channel.QueryEnclosure(0, 0, untouched), kEnclosureFailed);
    EXPECT_EQ(untouched.type, "keep");
    EXPECT_EQ(channel.QueryEnclosure(0, 0), 0);
}

TEST_F(OverSimulator, SetTransferModeSendsSetFeatures) {
    EXPECT_EQ(channel.SetTransferMode(0, 0, 0, 2, 5), 0);
    EXPECT_EQ(adapter->devices[0][0].lastAtaSectorCount, 0x45);
    EXPECT_EQ(channel.SetTransferMode(0, 0, 0, 0, 4), 0);
    EXPECT_EQ(adapter->devices[0][0].lastAtaSectorCount, 0x0C);
    EXPECT_EQ(adapter->devices[0][0].ataCommands, 2);
    sim::InjectFault(*adapter, MPCMD_ATA_COMMAND, sim::kFaultReturnCodeOff, 1);
    EXPECT_EQ(channel.SetTransferMode(0, 0, 0, 1, 2), 1);
    adapter->openFails = 1;
    EXPECT_EQ(channel.SetTransferMode(0, 0, 0, 1, 2), 1);
}

TEST_F(OverSimulator, LegacyModeOpensTheSharedDevice) {
    pop->legacyDevice = 1;
    channel.SetLegacyPlatform();
    EXPECT_EQ(channel.QuerySmartState(0, 0, 0), 1);
    EXPECT_EQ(pop->legacyCounters.opens, 1u);
    EXPECT_EQ(adapter->counters.opens, 0u);
}

TEST_F(OverSimulator, LegacyRequestsNameTheirAdapterByTheControllerByte) {
    // On \\.\KIRNDEV every adapter shares one device: the Controller byte of the request is
    // all that tells adapter 1 from adapter 0.
    pop->legacyDevice = 1;
    channel.SetLegacyPlatform();
    sim::SimAdapter& second = sim::AddAdapter(*pop, 5, 0x6A22, 1, 1);
    sim::AddDisk(second, 0, 0, "DISK1").smartState = 2;
    sim::FillBiosImage(second.bios, 0x6A22, "2.00.0.07");
    adapter->devices[0][0].smartState = 1;

    EXPECT_EQ(channel.ReadBiosVersion(1), "2.00.0.07");
    EXPECT_EQ(channel.ReadBiosVersion(0), "1.00.0.30");
    EXPECT_EQ(channel.QuerySmartState(1, 0, 0), 2);
    EXPECT_EQ(channel.QuerySmartState(0, 0, 0), 1);

    const std::vector<uint8_t> firstFlash(adapter->bios, adapter->bios + bios::kImageSize);
    std::vector<uint8_t> buffer(bios::kSize, 0);
    for (size_t i = 0; i < bios::kImageSize; ++i)
        buffer[bios::BiosImage.offset + i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(channel.TransferBiosImage(1, buffer, 1), 1);
    EXPECT_TRUE(std::equal(buffer.begin() + bios::BiosImage.offset, buffer.end(), second.bios))
        << "the image reached adapter 1";
    EXPECT_TRUE(std::equal(firstFlash.begin(), firstFlash.end(), adapter->bios))
        << "adapter 0's flash is untouched";
    std::vector<uint8_t> back(bios::kSize, 0);
    ASSERT_EQ(channel.TransferBiosImage(1, back, 0), 1);
    EXPECT_TRUE(std::equal(back.begin() + bios::BiosImage.offset, back.end(), second.bios));
    EXPECT_EQ(pop->legacyCounters.opens, pop->legacyCounters.closes);
    EXPECT_EQ(second.counters.opens, 0u);
}

}  // namespace

namespace {

TEST_F(OverSimulator, EventReadsHoldAtMostTwentyRecords) {
    std::vector<uint8_t> buffer(events::kSize);
    EXPECT_EQ(channel.ReadEvents(0, buffer), 0u);  // nothing queued: a reply with no records
    uint8_t record[40];
    for (uint32_t i = 0; i < 25; ++i) {
        sim::MakeEventRecord(record, 0x100 + i, 2, 1, 0, i);
        ASSERT_TRUE(sim::QueueEvent(*pop, 2, record, nullptr));
    }
    ASSERT_EQ(channel.ReadEvents(0, buffer), 20u);
    wire::ByteView v(buffer.data(), buffer.size());
    EXPECT_EQ(v.U32(40 + 4), 0x100u);
    EXPECT_EQ(v.U32(40 + 19 * 40 + 4), 0x113u);
    ASSERT_EQ(channel.ReadEvents(0, buffer), 5u);  // the rest, oldest first
    EXPECT_EQ(v.U32(40 + 4), 0x114u);

    // A miniport that claims more records than fit is held to the buffer.
    adapter->eventCountOverride = 0xFFFFFFFF;
    EXPECT_EQ(channel.ReadEvents(0, buffer), 20u);
    adapter->eventCountOverride = 0;
    sim::InjectFault(*adapter, MPCMD_READ_EVENTS, sim::kFaultReturnCodeOff, 32);
    EXPECT_EQ(channel.ReadEvents(0, buffer), 0u);
    std::vector<uint8_t> wrongSize(100);
    EXPECT_EQ(channel.ReadEvents(0, wrongSize), 0u);
}

}  // namespace
