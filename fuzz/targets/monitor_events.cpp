// The event monitor's whole life over adapters whose every answer comes from the fuzzer, with
// the wait results chosen by the fuzzer too: each wake of an adapter reads MPCMD_READ_EVENTS
// replies with arbitrary EventCount and records. The reply buffer is the monitor's own
// 840-byte buffer (a read past it stops the run); every read yields exactly one event-log
// entry, or one failed open of the source, per record inside the reply, in order and as
// FormatEventMessage makes it of that record; and every handle is closed at the end.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzzed_devices.h"
#include "korrin/messages.h"
#include "korrin/monitor.h"
#include "korrin_fakes.h"

namespace {

using namespace halv_fuzz;

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | (static_cast<uint32_t>(b.at(at + 1)) << 8) |
           (static_cast<uint32_t>(b.at(at + 2)) << 16) |
           (static_cast<uint32_t>(b.at(at + 3)) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FuzzedDevices io(in);
    PlainScm scm;
    PlainBridge bridge;
    FuzzSync sync(in);
    CountingBoxes boxes;
    RecordingLog log(in, io);
    FixedModule module;
    QuitAtOnce queue;
    korrin::MonitorPlatform platform{io, scm, bridge, sync, boxes, log, module, queue};
    korrin::CKorrinThread monitor(platform);
    monitor.Run();

    FUZZ_CHECK(io.OpenHandles() == 0, "%zu adapter handles left open", io.OpenHandles());
    FUZZ_CHECK(sync.OpenHandles() == 0, "%zu events left open", sync.OpenHandles());
    FUZZ_CHECK(scm.OpenHandles() == 0, "%zu service handles left open", scm.OpenHandles());
    FUZZ_CHECK(bridge.opens == bridge.closes, "bridge opened %d times, closed %d", bridge.opens,
               bridge.closes);
    FUZZ_CHECK(!log.open_, "event source left open");

    // Entries per read, in the order of the records.
    size_t next = 0;
    for (size_t i = 0; i < io.exchanges.size(); ++i) {
        const Exchange& x = io.exchanges[i];
        if (x.command != channel::MPCMD_READ_EVENTS) {
            FUZZ_CHECK(next == log.entries.size() || log.entries[next].exchange != i,
                       "an entry for command %u", x.command);
            continue;
        }
        FUZZ_CHECK(x.reply.size() == 840, "event reply of %zu bytes", x.reply.size());
        const uint32_t records =
            FuzzedDevices::Trusted(x) ? std::min<uint32_t>(Le32(x.reply, 36), 20) : 0;
        for (uint32_t r = 0; r < records; ++r, ++next) {
            FUZZ_CHECK(next < log.entries.size() && log.entries[next].exchange == i,
                       "record %u of %u of read %zu has no entry", r, records, i);
            const RecordingLog::Entry& e = log.entries[next];
            if (!e.written) continue;
            std::vector<uint8_t> record(x.reply.begin() + 40 + 40 * r,
                                        x.reply.begin() + 80 + 40 * r);
            // The adapter whose device gave the reply names the card in the text.
            uint8_t adapter = 0;
            while (adapter < korrin::kMonitoredEntries &&
                   x.device != monitor.Controllers[adapter].DevicePath)
                ++adapter;
            FUZZ_CHECK(adapter < korrin::kServedAdapters, "a read on \"%s\", no served adapter",
                       x.device.c_str());
            std::string text;
            korrin::FormatEventMessage(text, record, adapter);
            FUZZ_CHECK(e.text == text, "record %u: \"%s\", expected \"%s\"", r, e.text.c_str(),
                       text.c_str());
            const uint32_t id = Le32(record, 4), severity = Le32(record, 16);
            const uint16_t type = severity == 0 ? 1 : severity == 1 ? 2 : 4;
            FUZZ_CHECK(e.id == id && e.type == type, "record %u: id %#x type %u, expected %#x %u",
                       r, e.id, e.type, id, type);
        }
        FUZZ_CHECK(next == log.entries.size() || log.entries[next].exchange != i,
                   "read %zu with %u records has more entries", i, records);
    }
    FUZZ_CHECK(next == log.entries.size(), "%zu entries, %zu accounted for", log.entries.size(),
               next);
    return 0;
}
