// Korrin's texts and event-log messages: the string table the program carries, the translation
// of one adapter event record into a message text and an event-log message identifier, and the
// writing of one event-log entry.
#pragma once

#include <stdint.h>

#include <span>
#include <string>

#include "korrin/platform.h"

namespace korrin {

// ---- String table ------------------------------------------------------------------------
inline constexpr uint32_t IDS_USAGE = 61216;
inline constexpr uint32_t IDS_DEBUG_MODE = 61217;
inline constexpr uint32_t IDS_BRIDGE_SERVICE_NAME = 61219;
inline constexpr uint32_t IDS_UNLOAD_BRIDGE_FAILED = 61220;
inline constexpr uint32_t IDS_BRIDGE_ERROR = 61221;
inline constexpr uint32_t IDS_DPC_CREATE_FAILED = 61222;
inline constexpr uint32_t IDS_DPC_DELETE_FAILED = 61223;
inline constexpr uint32_t IDS_EVENT_CREATE_FAILED = 61224;
inline constexpr uint32_t IDS_READ_EVENTS_FAILED = 61225;
inline constexpr uint32_t IDS_LOG_FAILED = 61241;

struct StringEntry {
    uint32_t id;
    const char* text;
};
// Every string of the program's string table, in identifier order.
std::span<const StringEntry> StringTable();
// The text of one string; "" for an identifier the table does not have.
const char* LoadText(uint32_t id);

// ---- Event-log messages --------------------------------------------------------------------
inline constexpr char kEventSource[] = "Torvale Disk Controller Message Agent";
inline constexpr uint32_t kUndefinedEventMessage = 0xC0000000;

// One row of the translation: adapter event code -> string and message identifier.
struct EventMessage {
    uint32_t eventCode;
    uint32_t stringId;
    uint32_t messageId;
};
std::span<const EventMessage> EventMessages();

// Turns the 40-byte event record `record` of adapter `controller` (zero-based) into its text.
// Overwrites the record's EventCode with the message identifier and, for an undefined code,
// its Severity with 0.
void FormatEventMessage(std::string& text, std::span<uint8_t> record, uint8_t controller);

// Writes one entry under kEventSource. False when the source cannot be opened.
bool WriteEventLogMessage(EventLog& log, uint32_t messageId, uint32_t severity,
                          const std::string& text);

// ---- Warnings of the service's own machinery in the event log -----------------------------
// The failures that leave the service without a monitor or the bridge loaded at stop are also
// written to the event log, where they stay when nobody saw the box. Each has a message
// identifier of its own: the severity class of its box ("Failure" an error, "Warning" a
// warning) and, in the low 16 bits, its string identifier, which no adapter event code uses.
struct WarningMessage {
    uint32_t stringId;
    uint32_t messageId;
    uint32_t severity;  // as an event record's: 0 error, 1 warning
};
std::span<const WarningMessage> WarningMessages();

// Writes the warning's entry, its text the box's, under kEventSource. False for a warning
// without an entry, or when the source cannot be opened.
bool WriteWarningMessage(EventLog& log, uint32_t stringId);

}  // namespace korrin
