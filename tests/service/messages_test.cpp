// Event records into message texts and identifiers, and one event-log entry per record.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "channel/protocol.h"
#include "fakes.h"
#include "korrin/messages.h"
#include "sim/sim_core.h"

namespace korrin {
namespace {

namespace ev = channel::events;

struct Formatted {
    std::string text;
    uint32_t id;
    uint32_t severity;
};

Formatted Format(uint32_t code, uint32_t severity, uint32_t port, uint32_t disk, uint32_t value,
                 uint8_t controller = 0) {
    std::array<uint8_t, ev::kRecordSize> record{};
    sim::MakeEventRecord(record.data(), code, severity, port, disk, value);
    Formatted f;
    f.text = "left over from the record before";
    FormatEventMessage(f.text, record, controller);
    const wire::ByteView r(record.data(), record.size());
    f.id = r.U32(ev::EventCode.offset);
    f.severity = r.U32(ev::Severity.offset);
    return f;
}

Formatted FormatBios(uint32_t code, const char* version, size_t length, uint8_t controller = 0) {
    std::array<uint8_t, ev::kRecordSize> record{};
    sim::MakeEventRecord(record.data(), code, 2, 0, 0, 0);
    std::memset(&record[ev::VersionText.offset], 0, ev::VersionText.width);
    std::memcpy(&record[ev::VersionText.offset], version, length);
    Formatted f;
    FormatEventMessage(f.text, record, controller);
    f.id = wire::ByteView(record.data(), record.size()).U32(ev::EventCode.offset);
    return f;
}

TEST(EventMessages, EveryDiskEventHasItsTextAndIdentifier) {
    // PortIndex 1, DiskIndex 2 on controller 0: disk 3, card 1, port 2.
    const struct {
        uint32_t code;
        const char* text;
        uint32_t id;
    } rows[] = {
        {0x100, "Disk3 has been removed at device path \\card1\\port2 .", 0xC0000100},
        {0x101, "Disk3 has been attached at device path \\card1\\port2 .", 0x40000101},
        {0x102, "A media error occurred on disk3 LBA 0x1a2b at device path \\card1\\port2 .",
         0x80000102},
        {0x103, "S.M.A.R.T. error reported on disk3 at device path \\card1\\port2 .", 0x80000103},
        {0x104, "Retry access on disk3 at device path \\card1\\port2 .", 0x40000104},
        {0x105, "An ECC error occurred on disk3 LBA 0x1a2b at device path \\card1\\port2 .",
         0x80000105},
        {0x106, "Disk3 timeout  at device path \\card1\\port2 .", 0x80000106},
        {0x122, "Disk3 CRC error LBA 0x1a2b at device path \\card1\\port2 .", 0xC0000122},
        {0x301, "Fan stopped for the Enclosure at device path \\card1\\port2\\disk3 .", 0x80000301},
        {0x353, "BIOS is started to erase at device path \\card1 .", 0x40000353},
        {0x354, "BIOS erasing is done at device path \\card1 .", 0x40000354},
    };
    for (const auto& row : rows) {
        const Formatted f = Format(row.code, 1, 1, 2, 0x1A2B);
        EXPECT_EQ(f.text, row.text) << std::hex << row.code;
        EXPECT_EQ(f.id, row.id) << std::hex << row.code;
        EXPECT_EQ(f.severity, 1u) << "a defined code keeps the adapter's severity";
    }
}

TEST(EventMessages, EnclosureValuesInDegreesAndVolts) {
    EXPECT_EQ(Format(0x300, 1, 1, 2, 110).text,
              "Temperature is 55.0 C/ 131.0 F that too high for the Enclosure at device path "
              "\\card1\\port2\\disk3 .");
    EXPECT_EQ(Format(0x300, 1, 1, 2, 110).id, 0x80000300u);
    // A negative count of half degrees gives a negative temperature.
    EXPECT_EQ(Format(0x300, 1, 0, 0, static_cast<uint32_t>(-10)).text.substr(0, 30),
              "Temperature is -5.0 C/ 23.0 F ");
    EXPECT_EQ(Format(0x302, 1, 0, 0, 5120).text,
              "The voltage is 5.120 V for 5V over/under threshold for the Enclosure at device "
              "path \\card1\\port1\\disk1 .");
    EXPECT_EQ(Format(0x303, 1, 3, 1, 11875, 2).text,
              "The voltage is 11.875 V for 12V over/under threshold for the Enclosure at device "
              "path \\card3\\port4\\disk2 .");
    EXPECT_EQ(Format(0x303, 1, 0, 0, 0).id, 0x80000303u);
    EXPECT_EQ(Format(0x302, 1, 0, 0, 0).id, 0x80000302u);
}

TEST(EventMessages, BiosEventsCarryTheVersionText) {
    EXPECT_EQ(FormatBios(0x350, "2.07", 4).text,
              "BIOS (Ver.2.07) is starting to flash at device path \\card1.");
    EXPECT_EQ(FormatBios(0x350, "2.07", 4).id, 0x40000350u);
    EXPECT_EQ(FormatBios(0x351, "1.1", 3, 3).text,
              "BIOS (Ver.1.1) flashed done at device path \\card4.");
    EXPECT_EQ(FormatBios(0x351, "1.1", 3).id, 0x40000351u);
    EXPECT_EQ(FormatBios(0x352, "9", 1).text, "Flash BIOS (Ver.9) error at device path \\card1.");
    EXPECT_EQ(FormatBios(0x352, "9", 1).id, 0xC0000352u);
    EXPECT_EQ(FormatBios(0x350, "", 0).text,
              "BIOS (Ver.) is starting to flash at device path \\card1.");
    // A version text without its NUL ends with the record, not in the bytes after it.
    EXPECT_EQ(FormatBios(0x350, "ABCDEFGHIJKLMNOP", 16).text,
              "BIOS (Ver.ABCDEFGHIJKLMNOP) is starting to flash at device path \\card1.");
}

TEST(EventMessages, UndefinedCodesAreErrorsWithTheCodeInHex) {
    for (uint32_t code : {0x0u, 0xFFu, 0x107u, 0x121u, 0x123u, 0x2FFu, 0x304u, 0x34Fu, 0x355u,
                          0x10101u, 0xFFFFFFFFu}) {
        const Formatted f = Format(code, 2, 0, 0, 0);
        char expected[64];
        std::snprintf(expected, sizeof expected, "The event ID 0x%x is not defined !", code);
        EXPECT_EQ(f.text, expected);
        EXPECT_EQ(f.id, kUndefinedEventMessage);
        EXPECT_EQ(f.severity, 0u) << "whatever the adapter sent";
    }
    EXPECT_EQ(Format(0x107, 1, 0, 0, 0).text, "The event ID 0x107 is not defined !");
}

TEST(EventMessages, NumbersFromOneAndLbaUnsigned) {
    EXPECT_EQ(Format(0x101, 2, 0, 0, 0, 3).text,
              "Disk1 has been attached at device path \\card4\\port1 .");
    EXPECT_EQ(Format(0x102, 0, 0, 0, 0xFFFFFFFF).text,
              "A media error occurred on disk1 LBA 0xffffffff at device path \\card1\\port1 .");
}

TEST(EventMessages, TableHoldsEighteenIdentifiers) {
    std::vector<uint32_t> ids{kUndefinedEventMessage};
    for (const EventMessage& m : EventMessages()) ids.push_back(m.messageId);
    std::sort(ids.begin(), ids.end());
    const std::vector<uint32_t> expected{0x40000101, 0x40000104, 0x40000350, 0x40000351, 0x40000353,
                                         0x40000354, 0x80000102, 0x80000103, 0x80000105, 0x80000106,
                                         0x80000300, 0x80000301, 0x80000302, 0x80000303, 0xC0000000,
                                         0xC0000100, 0xC0000122, 0xC0000352};
    EXPECT_EQ(ids, expected);
}

TEST(StringTable, WarningTextsKeepTheirBlanks) {
    EXPECT_STREQ(LoadText(61216), "<<Usage>>\nPelorin.exe [/?|/help] [/win98] [/SvcDeb] [/s]");
    EXPECT_STREQ(LoadText(61217),
                 "Service [Debug Mode] is started !\nAnd close this window to stop Service.");
    EXPECT_STREQ(LoadText(61219), "KvDpcService");
    EXPECT_STREQ(LoadText(61220), "[Service: Vexmond]\n Warning: Unload Bridge driver failed!");
    const std::string fourteen(14, ' '), sixteen(16, ' ');
    EXPECT_EQ(std::string(LoadText(61221)),
              "[Service: Vexmond]\n Failure: Bridge Driver has an error !\n" + fourteen +
                  "Please stop service and report the error. ");
    EXPECT_EQ(std::string(LoadText(61222)),
              "[Service: Vexmond]\n Failure: Driver DPC creating failed !\n" + fourteen +
                  "Please stop service and report the error. ");
    EXPECT_EQ(std::string(LoadText(61223)),
              "[Service: Vexmond]\n Failure: Driver DPC deleting failed !\n" + fourteen +
                  "Please report the error. ");
    EXPECT_EQ(std::string(LoadText(61224)),
              "[Service: Vexmond]\n Warning: Event created failed !\n" + sixteen +
                  "Please report the error. ");
    EXPECT_STREQ(LoadText(61225), "[Service: Vexmond]\n Warning: Read event from driver failed !");
    EXPECT_STREQ(LoadText(61241), "Record messages to NT Log Service failed !");
    EXPECT_STREQ(LoadText(61218), "") << "not a string of the program";
    EXPECT_EQ(StringTable().size(), 28u);
}

TEST(WriteEventLogMessage, SeverityGivesTheEntryType) {
    test::FakeLog log;
    EXPECT_TRUE(WriteEventLogMessage(log, 0x40000101, 0, "a"));
    EXPECT_TRUE(WriteEventLogMessage(log, 0x40000101, 1, "b"));
    EXPECT_TRUE(WriteEventLogMessage(log, 0x40000101, 2, "c"));
    EXPECT_TRUE(WriteEventLogMessage(log, 0xC0000100, 0xFFFFFFFF, "d"));
    ASSERT_EQ(log.entries.size(), 4u);
    EXPECT_EQ(log.entries[0].type, win::kEventlogErrorType);
    EXPECT_EQ(log.entries[1].type, win::kEventlogWarningType);
    EXPECT_EQ(log.entries[2].type, win::kEventlogInformationType);
    EXPECT_EQ(log.entries[3].type, win::kEventlogInformationType);
    EXPECT_EQ(log.entries[3].id, 0xC0000100u);
    EXPECT_EQ(log.entries[3].text, "d");
    EXPECT_EQ(log.source, "Torvale Disk Controller Message Agent");
    EXPECT_EQ(log.opens, 4) << "the source is opened for every entry";
    EXPECT_EQ(log.closes, 4);
}

TEST(WriteEventLogMessage, SourceThatDoesNotOpenWritesNothing) {
    test::FakeLog log;
    log.openFailures = 1;
    EXPECT_FALSE(WriteEventLogMessage(log, 0x40000101, 2, "x"));
    EXPECT_TRUE(log.entries.empty());
    EXPECT_EQ(log.closes, 0);
    EXPECT_TRUE(WriteEventLogMessage(log, 0x40000101, 2, "x"));
}

}  // namespace
}  // namespace korrin
