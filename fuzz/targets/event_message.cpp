// FormatEventMessage over arbitrary 40-byte records and adapter numbers. The record lies in a
// heap block of exactly its size, so a read or write past it stops the run; only EventCode and
// Severity may change; the identifier is the one of the record's code; the text is one line
// that names the adapter, port and disk as the record gives them.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "korrin/messages.h"

namespace {

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint8_t controller = in.ConsumeIntegral<uint8_t>();
    const bool knownCode = in.ConsumeBool();
    const size_t codeIndex = in.ConsumeIntegral<uint8_t>();
    // A record shorter than 40 bytes must leave everything alone.
    const size_t length = in.ConsumeIntegralInRange<uint8_t>(0, 15) == 0
                              ? in.ConsumeIntegralInRange<size_t>(0, 39)
                              : 40;
    auto record = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
    const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length);
    std::memset(record.get(), 0, length);
    if (!bytes.empty()) std::memcpy(record.get(), bytes.data(), bytes.size());
    const auto messages = korrin::EventMessages();
    // Half the time one of the defined codes, so that every message is reached.
    if (knownCode && length == 40) {
        const uint32_t code = messages[codeIndex % messages.size()].eventCode;
        for (int i = 0; i < 4; ++i) record[4 + i] = static_cast<uint8_t>(code >> (8 * i));
    }
    const std::vector<uint8_t> before(record.get(), record.get() + length);

    std::string text = "left from the last record";
    korrin::FormatEventMessage(text, std::span<uint8_t>(record.get(), length), controller);

    if (length < 40) {
        FUZZ_CHECK(std::equal(before.begin(), before.end(), record.get()),
                   "a %zu-byte record was changed", length);
        return 0;
    }
    const uint32_t code = Le32(&before[4]);
    const uint32_t severity = Le32(&before[16]);
    for (size_t i = 0; i < 40; ++i)
        if (i < 4 || (i >= 8 && i < 16) || i >= 20)
            FUZZ_CHECK(record[i] == before[i], "record byte %zu changed", i);
    const korrin::EventMessage* message = nullptr;
    for (const auto& m : messages)
        if (m.eventCode == code) message = &m;

    const uint32_t id = Le32(&record[4]);
    const uint32_t newSeverity = Le32(&record[16]);
    FUZZ_CHECK(!text.empty() && text.find('\0') == std::string::npos, "text \"%s\"", text.c_str());
    if (!message) {
        FUZZ_CHECK(id == korrin::kUndefinedEventMessage && newSeverity == 0,
                   "code %#x gave id %#x severity %u", code, id, newSeverity);
        char want[64];
        std::snprintf(want, sizeof want, "The event ID 0x%x is not defined !", code);
        FUZZ_CHECK(text == want, "text \"%s\" for code %#x", text.c_str(), code);
        return 0;
    }
    FUZZ_CHECK(id == message->messageId && (id & 0xFFFF) == code, "code %#x gave id %#x", code, id);
    FUZZ_CHECK(newSeverity == severity, "severity %u became %u", severity, newSeverity);
    // The path always names the adapter by its number plus one.
    FUZZ_CHECK(Contains(text, "\\card" + std::to_string(controller + 1)), "\"%s\" for adapter %u",
               text.c_str(), controller);
    const int port = static_cast<int>(Le32(&before[20]) + 1);
    const int disk = static_cast<int>(Le32(&before[24]) + 1);
    if (code < 0x350) {
        FUZZ_CHECK(Contains(text, "\\port" + std::to_string(port)), "\"%s\" for port %d",
                   text.c_str(), port);
        if (code >= 0x300)
            FUZZ_CHECK(Contains(text, "\\disk" + std::to_string(disk) + " ."), "\"%s\" for disk %d",
                       text.c_str(), disk);
        else
            FUZZ_CHECK(Contains(text, "isk" + std::to_string(disk) + " "), "\"%s\" for disk %d",
                       text.c_str(), disk);
    }
    if (code == 0x350 || code == 0x351 || code == 0x352) {
        // The version text runs from DiskIndex to its zero, never past the record.
        std::string version;
        for (size_t i = 24; i < 40 && before[i]; ++i) version += static_cast<char>(before[i]);
        FUZZ_CHECK(Contains(text, "(Ver." + version + ")"), "\"%s\" for version \"%s\"",
                   text.c_str(), version.c_str());
    }
    if (code == 0x102 || code == 0x105 || code == 0x122) {
        char lba[16];
        std::snprintf(lba, sizeof lba, "LBA 0x%x ", Le32(&before[28]));
        FUZZ_CHECK(Contains(text, lba), "\"%s\" for %s", text.c_str(), lba);
    }
    return 0;
}
