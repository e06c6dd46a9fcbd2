#include "korrin/messages.h"

#include <cstdio>

#include "channel/protocol.h"
#include "channel/wire.h"

namespace korrin {
namespace {

// The warning texts keep their runs of blanks and their trailing blank: they are shown as
// they stand.
constexpr StringEntry kStrings[] = {
    {61216, "<<Usage>>\nPelorin.exe [/?|/help] [/win98] [/SvcDeb] [/s]"},
    {61217, "Service [Debug Mode] is started !\nAnd close this window to stop Service."},
    {61219, "KvDpcService"},
    {61220, "[Service: Vexmond]\n Warning: Unload Bridge driver failed!"},
    {61221,
     "[Service: Vexmond]\n Failure: Bridge Driver has an error !\n              Please stop "
     "service and report the error. "},
    {61222,
     "[Service: Vexmond]\n Failure: Driver DPC creating failed !\n              Please stop "
     "service and report the error. "},
    {61223,
     "[Service: Vexmond]\n Failure: Driver DPC deleting failed !\n              Please report "
     "the error. "},
    {61224,
     "[Service: Vexmond]\n Warning: Event created failed !\n                Please report the "
     "error. "},
    {61225, "[Service: Vexmond]\n Warning: Read event from driver failed !"},
    {61226, "Disk%d has been attached at device path \\card%d\\port%d ."},
    {61227, "The event ID 0x%x is not defined !"},
    {61228, "A media error occurred on disk%d LBA 0x%x at device path \\card%d\\port%d ."},
    {61229, "S.M.A.R.T. error reported on disk%d at device path \\card%d\\port%d ."},
    {61230, "Disk%d CRC error LBA 0x%x at device path \\card%d\\port%d ."},
    {61231, "Retry access on disk%d at device path \\card%d\\port%d ."},
    {61232, "An ECC error occurred on disk%d LBA 0x%x at device path \\card%d\\port%d ."},
    {61233, "Disk%d timeout  at device path \\card%d\\port%d ."},
    {61234, "Disk%d has been removed at device path \\card%d\\port%d ."},
    {61235,
     "Temperature is %.1f C/ %.1f F that too high for the Enclosure at device path "
     "\\card%d\\port%d\\disk%d ."},
    {61236, "Fan stopped for the Enclosure at device path \\card%d\\port%d\\disk%d ."},
    {61237,
     "The voltage is %.3f V for 5V over/under threshold for the Enclosure at device path "
     "\\card%d\\port%d\\disk%d ."},
    {61238,
     "The voltage is %.3f V for 12V over/under threshold for the Enclosure at device path "
     "\\card%d\\port%d\\disk%d ."},
    {61239, "BIOS is started to erase at device path \\card%d ."},
    {61240, "BIOS erasing is done at device path \\card%d ."},
    {61241, "Record messages to NT Log Service failed !"},
    {61242, "BIOS (Ver.%s) is starting to flash at device path \\card%d."},
    {61243, "BIOS (Ver.%s) flashed done at device path \\card%d."},
    {61244, "Flash BIOS (Ver.%s) error at device path \\card%d."},
};

constexpr EventMessage kEventMessages[] = {
    {0x100, 61234, 0xC0000100}, {0x101, 61226, 0x40000101}, {0x102, 61228, 0x80000102},
    {0x103, 61229, 0x80000103}, {0x104, 61231, 0x40000104}, {0x105, 61232, 0x80000105},
    {0x106, 61233, 0x80000106}, {0x122, 61230, 0xC0000122}, {0x300, 61235, 0x80000300},
    {0x301, 61236, 0x80000301}, {0x302, 61237, 0x80000302}, {0x303, 61238, 0x80000303},
    {0x350, 61242, 0x40000350}, {0x351, 61243, 0x40000351}, {0x352, 61244, 0xC0000352},
    {0x353, 61239, 0x40000353}, {0x354, 61240, 0x40000354},
};
constexpr uint32_t kUndefinedEventString = 61227;

constexpr WarningMessage kWarningMessages[] = {
    {IDS_UNLOAD_BRIDGE_FAILED, 0x8000EF24, 1}, {IDS_BRIDGE_ERROR, 0xC000EF25, 0},
    {IDS_DPC_CREATE_FAILED, 0xC000EF26, 0},    {IDS_DPC_DELETE_FAILED, 0xC000EF27, 0},
    {IDS_EVENT_CREATE_FAILED, 0x8000EF28, 1},
};

// The warnings' identifiers repeat their string identifiers, carry the severity class of their
// entry type, and never meet an adapter event's identifier.
constexpr bool WarningIdentifiersAreTheirOwn() {
    for (const WarningMessage& w : kWarningMessages) {
        if ((w.messageId & 0xFFFF) != w.stringId) return false;
        if ((w.messageId >> 30) != (w.severity == 0 ? 3u : 2u)) return false;
        if ((w.messageId & 0xFFFF) == (kUndefinedEventMessage & 0xFFFF)) return false;
        for (const EventMessage& m : kEventMessages)
            if ((m.messageId & 0xFFFF) == (w.messageId & 0xFFFF)) return false;
    }
    return true;
}
static_assert(WarningIdentifiersAreTheirOwn());

// The message identifier repeats the event code in its low 16 bits.
constexpr bool IdentifiersRepeatCodes() {
    for (const EventMessage& m : kEventMessages)
        if ((m.messageId & 0xFFFF) != m.eventCode) return false;
    return true;
}
static_assert(IdentifiersRepeatCodes());

// snprintf into a string of whatever length the text needs. The formats come from the table
// above, whose conversions match the values each caller passes.
template <typename... Args>
void FormatInto(std::string& text, const char* format, Args... args) {
    const int needed = std::snprintf(nullptr, 0, format, args...);
    if (needed <= 0) {
        text.clear();
        return;
    }
    text.assign(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.resize(static_cast<size_t>(needed));
}

// The BIOS-flash version text: from DiskIndex on up to its NUL, but never past the record.
std::string VersionText(const wire::ByteView& record) {
    std::string version;
    const auto field = channel::events::VersionText;
    for (size_t i = 0; i < field.width; ++i) {
        const uint8_t c = record.U8(field.offset + i);
        if (c == 0) break;
        version += static_cast<char>(c);
    }
    return version;
}

}  // namespace

std::span<const StringEntry> StringTable() {
    return kStrings;
}

const char* LoadText(uint32_t id) {
    for (const StringEntry& s : kStrings)
        if (s.id == id) return s.text;
    return "";
}

std::span<const EventMessage> EventMessages() {
    return kEventMessages;
}

void FormatEventMessage(std::string& text, std::span<uint8_t> record, uint8_t controller) {
    namespace ev = channel::events;
    if (record.size() < ev::kRecordSize) {
        text.clear();
        return;
    }
    const wire::ByteView r(record.data(), ev::kRecordSize);
    const uint32_t code = r.U32(ev::EventCode.offset);
    const int card = controller + 1;
    const int port = static_cast<int>(r.U32(ev::PortIndex.offset) + 1);
    const int disk = static_cast<int>(r.U32(ev::DiskIndex.offset) + 1);
    const uint32_t raw = r.U32(ev::EventValue.offset);
    const double signedValue = static_cast<double>(static_cast<int32_t>(raw));

    const EventMessage* message = nullptr;
    for (const EventMessage& m : kEventMessages)
        if (m.eventCode == code) message = &m;
    if (!message) {
        FormatInto(text, LoadText(kUndefinedEventString), code);
        r.Put32(ev::EventCode.offset, kUndefinedEventMessage);
        r.Put32(ev::Severity.offset, 0);
        return;
    }

    const char* format = LoadText(message->stringId);
    switch (code) {
        case 0x102:
        case 0x105:
        case 0x122:
            FormatInto(text, format, disk, raw, card, port);
            break;
        case 0x300: {
            const double celsius = signedValue * 0.5;
            FormatInto(text, format, celsius, celsius * 1.8 + 32, card, port, disk);
            break;
        }
        case 0x301:
            FormatInto(text, format, card, port, disk);
            break;
        case 0x302:
        case 0x303:
            FormatInto(text, format, signedValue * 0.001, card, port, disk);
            break;
        case 0x350:
        case 0x351:
        case 0x352:
            FormatInto(text, format, VersionText(r).c_str(), card);
            break;
        case 0x353:
        case 0x354:
            FormatInto(text, format, card);
            break;
        default:  // the disk events: disk, card, port
            FormatInto(text, format, disk, card, port);
            break;
    }
    r.Put32(ev::EventCode.offset, message->messageId);
}

bool WriteEventLogMessage(EventLog& log, uint32_t messageId, uint32_t severity,
                          const std::string& text) {
    const Handle source = log.Open(kEventSource);
    if (source == kNoHandle) return false;
    const uint16_t type = severity == 0   ? win::kEventlogErrorType
                          : severity == 1 ? win::kEventlogWarningType
                                          : win::kEventlogInformationType;
    // A failing write after a successful open is not reported.
    log.Report(source, type, messageId, text.c_str());
    log.Close(source);
    return true;
}

std::span<const WarningMessage> WarningMessages() {
    return kWarningMessages;
}

bool WriteWarningMessage(EventLog& log, uint32_t stringId) {
    for (const WarningMessage& w : kWarningMessages)
        if (w.stringId == stringId)
            return WriteEventLogMessage(log, w.messageId, w.severity, LoadText(stringId));
    return false;
}

}  // namespace korrin
