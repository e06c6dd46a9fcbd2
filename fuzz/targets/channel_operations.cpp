// Every one-request operation of the request channel, and the NT and Windows 9x probes, over a
// device layer whose answers come from the fuzzer. Each operation's result is compared with a
// reference computed here from the very reply bytes the device gave back; every handle is
// closed again after each operation.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "channel/miniport_channel.h"
#include "fuzz_check.h"
#include "fuzzed_devices.h"

namespace {

using namespace channel;
using halv_fuzz::Exchange;
using halv_fuzz::FuzzedDevices;

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | (static_cast<uint32_t>(b.at(at + 1)) << 8) |
           (static_cast<uint32_t>(b.at(at + 2)) << 16) |
           (static_cast<uint32_t>(b.at(at + 3)) << 24);
}

// The exchange an operation made, if it reached a device: operations open at most one.
const Exchange* ExchangeSince(const FuzzedDevices& io, size_t before) {
    FUZZ_CHECK(io.exchanges.size() <= before + 1, "%zu requests for one operation",
               io.exchanges.size() - before);
    return io.exchanges.size() == before + 1 ? &io.exchanges.back() : nullptr;
}

// A text of digits, a point and digits that reads as millivolts / 1000 to four significant
// figures: nothing else may stand in a voltage row.
void CheckVoltage(const std::string& text, uint16_t millivolts) {
    const size_t point = text.find('.');
    FUZZ_CHECK(point != std::string::npos && text.find('.', point + 1) == std::string::npos,
               "voltage text \"%s\" for %u mV", text.c_str(), millivolts);
    size_t significant = 0;
    bool leading = true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == point) continue;
        FUZZ_CHECK(text[i] >= '0' && text[i] <= '9', "voltage text \"%s\"", text.c_str());
        if (leading && text[i] == '0') continue;
        leading = false;
        ++significant;
    }
    FUZZ_CHECK(point == 0 || text[0] != '0', "voltage text \"%s\" has a leading zero",
               text.c_str());
    const double shown = std::strtod(text.c_str(), nullptr);
    const double volts = millivolts / 1000.0;
    if (millivolts == 0) {
        FUZZ_CHECK(shown == 0.0, "\"%s\" for 0 mV", text.c_str());
        return;
    }
    // Four significant figures (trailing zeros of a whole number of volts may add places).
    FUZZ_CHECK(significant >= 4, "\"%s\" for %u mV has %zu significant digits", text.c_str(),
               millivolts, significant);
    const double unit = std::pow(10.0, std::floor(std::log10(volts)) - 3);
    FUZZ_CHECK(std::fabs(shown - volts) <= unit / 2 + 1e-9, "\"%s\" for %u mV", text.c_str(),
               millivolts);
}

std::string ReferenceBiosVersion(const std::vector<uint8_t>& image) {
    for (size_t p = 0; p + 8 < image.size(); ++p) {
        if (image[p] == 'V' && image[p + 3] == 's' && image[p + 6] == 'n') {
            std::string text(reinterpret_cast<const char*>(image.data()) + p + 8,
                             std::min<size_t>(19, image.size() - p - 8));
            const size_t end = text.find_first_of(std::string("\r\n\0", 3));
            return end == std::string::npos ? text : text.substr(0, end);
        }
    }
    return kTemporarilyUnknown;
}

void SmartState(MiniportChannel& ch, FuzzedDevices& io, FuzzedDataProvider& in) {
    const uint8_t c = in.ConsumeIntegral<uint8_t>(), p = in.ConsumeIntegral<uint8_t>(),
                  d = in.ConsumeIntegral<uint8_t>();
    const size_t before = io.exchanges.size();
    const uint8_t state = ch.QuerySmartState(c, p, d);
    const Exchange* x = ExchangeSince(io, before);
    if (!x || !FuzzedDevices::Trusted(*x)) {
        FUZZ_CHECK(state == smart_status::kNotSupported, "state %u after a failed request", state);
        return;
    }
    FUZZ_CHECK(x->command == MPCMD_GET_SMART_STATUS, "command %u", x->command);
    FUZZ_CHECK(x->request[36] == c && x->request[37] == p && x->request[38] == d &&
                   x->request[39] == 0 && x->request[40] == 0,
               "S.M.A.R.T. request addresses %u/%u/%u", x->request[36], x->request[37],
               x->request[38]);
    FUZZ_CHECK(state == x->reply[40], "state %u, reply %u", state, x->reply[40]);
}

void Enclosure(MiniportChannel& ch, FuzzedDevices& io, FuzzedDataProvider& in, bool texts) {
    const uint8_t c = in.ConsumeIntegral<uint8_t>(), p = in.ConsumeIntegral<uint8_t>();
    const size_t before = io.exchanges.size();
    EnclosureTexts t;
    const int result = texts ? ch.QueryEnclosure(c, p, t) : ch.QueryEnclosure(c, p);
    const Exchange* x = ExchangeSince(io, before);
    if (x) FUZZ_CHECK(x->request[36] == p, "enclosure request for port %u", x->request[36]);
    if (!x || !FuzzedDevices::Trusted(*x)) {
        FUZZ_CHECK(result == 0, "result %d after a failed request", result);
        FUZZ_CHECK(t.type.empty() && t.fan1.empty() && t.volts5.empty(), "texts after a failure");
        return;
    }
    const uint8_t type = x->reply[38];
    if (!texts) {
        FUZZ_CHECK(result == (type != 0 && type != 255 ? 1 : 0), "presence %d for type %u", result,
                   type);
        return;
    }
    const int expected = type == 1 || type == 2 ? 1 : type == 4 ? 2 : 3;
    FUZZ_CHECK(result == expected, "result %d for type %u", result, type);
    if (expected == 3) {
        FUZZ_CHECK(t.type.empty() && t.fan1.empty() && t.celsius1.empty(), "texts for type %u",
                   type);
        return;
    }
    const char* name = type == 1 ? "Drivecove" : type == 2 ? "Drivecove2200" : "Drivecove5200";
    FUZZ_CHECK(t.type == name, "type text \"%s\" for %u", t.type.c_str(), type);
    const unsigned t1 = Le16(x->reply, 46), t2 = Le16(x->reply, 48);
    FUZZ_CHECK(t.fan1 == std::to_string(Le16(x->reply, 52)), "fan 1 \"%s\"", t.fan1.c_str());
    FUZZ_CHECK(t.celsius1 == std::to_string(t1), "celsius \"%s\"", t.celsius1.c_str());
    FUZZ_CHECK(t.fahrenheit1 == std::to_string((9 * t1) / 5 + 32), "fahrenheit \"%s\" for %u",
               t.fahrenheit1.c_str(), t1);
    CheckVoltage(t.volts5, Le16(x->reply, 60));
    CheckVoltage(t.volts12, Le16(x->reply, 62));
    if (type == 4) {
        FUZZ_CHECK(t.location == "Bay-" + std::to_string(x->reply[37] >> 4), "location \"%s\"",
                   t.location.c_str());
        FUZZ_CHECK(t.fan2 == std::to_string(Le16(x->reply, 54)), "fan 2 \"%s\"", t.fan2.c_str());
        FUZZ_CHECK(t.fahrenheit2 == std::to_string((9 * t2) / 5 + 32), "fahrenheit 2 \"%s\"",
                   t.fahrenheit2.c_str());
    } else {
        FUZZ_CHECK(t.location.empty() && t.fan2.empty() && t.celsius2.empty(),
                   "second-fan texts for type %u", type);
    }
}

void BiosVersion(MiniportChannel& ch, FuzzedDevices& io, FuzzedDataProvider& in) {
    const uint8_t c = in.ConsumeIntegral<uint8_t>();
    const size_t before = io.exchanges.size();
    const std::string text = ch.ReadBiosVersion(c);
    const Exchange* x = ExchangeSince(io, before);
    if (!x || !FuzzedDevices::Trusted(*x)) {
        FUZZ_CHECK(text == kTemporarilyUnknown, "\"%s\" after a failed read", text.c_str());
        return;
    }
    FUZZ_CHECK(x->command == MPCMD_READ_BIOS && x->request[36] == c, "read request %u for %u",
               x->command, x->request[36]);
    const std::vector<uint8_t> image(x->reply.begin() + bios::BiosImage.offset, x->reply.end());
    const std::string expected = ReferenceBiosVersion(image);
    FUZZ_CHECK(text == expected, "version \"%s\", expected \"%s\"", text.c_str(), expected.c_str());
}

void TransferImage(MiniportChannel& ch, FuzzedDevices& io, FuzzedDataProvider& in) {
    const uint8_t c = in.ConsumeIntegral<uint8_t>();
    const int direction = in.ConsumeIntegralInRange<int>(-1, 2);
    // Mostly the right size; otherwise nothing may be sent.
    const bool rightSize = in.ConsumeIntegralInRange<uint8_t>(0, 7) != 0;
    std::vector<uint8_t> buffer(rightSize ? bios::kSize
                                          : in.ConsumeIntegralInRange<size_t>(0, 33000));
    const std::vector<uint8_t> image =
        in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 31 + 7);
    if (buffer.size() > bios::BiosImage.offset)
        std::copy(image.begin(), image.begin() + std::min(image.size(), buffer.size() - 66),
                  buffer.begin() + 66);
    const std::vector<uint8_t> given = buffer;
    const size_t before = io.exchanges.size();
    const int result = ch.TransferBiosImage(c, buffer, direction);
    const Exchange* x = ExchangeSince(io, before);
    if (buffer.size() != bios::kSize) {
        FUZZ_CHECK(!x && result == 0, "a %zu-byte buffer was sent", buffer.size());
        FUZZ_CHECK(buffer == given, "a refused buffer was changed");
        return;
    }
    if (x) {
        FUZZ_CHECK(x->command == (direction == 0 ? MPCMD_READ_BIOS : MPCMD_WRITE_BIOS),
                   "command %u for direction %d", x->command, direction);
        FUZZ_CHECK(x->request[36] == c && Le32(x->request, 58) == 0 && Le32(x->request, 62) == 32,
                   "BIOS request fields");
        for (size_t i = 37; i < 58; ++i) FUZZ_CHECK(x->request[i] == 0, "request byte %zu", i);
        FUZZ_CHECK(std::equal(x->request.begin() + 66, x->request.end(), given.begin() + 66),
                   "the image was not sent as the caller put it");
    }
    const bool expected = x && FuzzedDevices::Trusted(*x);
    FUZZ_CHECK(result == (expected ? 1 : 0), "result %d", result);
}

void TransferMode(MiniportChannel& ch, FuzzedDevices& io, FuzzedDataProvider& in) {
    const uint8_t c = in.ConsumeIntegral<uint8_t>(), p = in.ConsumeIntegral<uint8_t>(),
                  d = in.ConsumeIntegral<uint8_t>();
    const int kind = in.ConsumeIntegralInRange<int>(-2, 4);
    const uint8_t mode = in.ConsumeIntegral<uint8_t>();
    const size_t before = io.exchanges.size();
    const int result = ch.SetTransferMode(c, p, d, kind, mode);
    const Exchange* x = ExchangeSince(io, before);
    if (x) {
        const uint16_t count = kind == 0   ? (mode | 0x08)
                               : kind == 1 ? (mode | 0x20)
                               : kind == 2 ? (mode | 0x40)
                                           : 0;
        FUZZ_CHECK(x->command == MPCMD_ATA_COMMAND, "command %u", x->command);
        for (size_t i = 36; i < x->request.size(); ++i) {
            uint8_t want = 0;
            if (i == 36) want = p;
            if (i == 37) want = d;
            if (i == 38) want = 1;
            if (i == 51) want = 3;
            if (i == 52) want = static_cast<uint8_t>(count);
            if (i == 53) want = static_cast<uint8_t>(count >> 8);
            if (i == 62) want = 0xEF;
            FUZZ_CHECK(x->request[i] == want, "ATA request byte %zu is %u, not %u", i,
                       x->request[i], want);
        }
    }
    FUZZ_CHECK(result == (x && FuzzedDevices::Trusted(*x) ? 0 : 1), "result %d", result);
}

void Events(MiniportChannel& ch, FuzzedDevices& io, FuzzedDataProvider& in) {
    const uint8_t c = in.ConsumeIntegral<uint8_t>();
    const bool rightSize = in.ConsumeIntegralInRange<uint8_t>(0, 7) != 0;
    std::vector<uint8_t> buffer(rightSize ? events::kSize
                                          : in.ConsumeIntegralInRange<size_t>(0, 900));
    const size_t before = io.exchanges.size();
    const uint32_t count = ch.ReadEvents(c, buffer);
    const Exchange* x = ExchangeSince(io, before);
    if (buffer.size() != events::kSize) {
        FUZZ_CHECK(!x && count == 0, "a %zu-byte event buffer was sent", buffer.size());
        return;
    }
    if (!x || !FuzzedDevices::Trusted(*x)) {
        FUZZ_CHECK(count == 0, "%u records after a failed read", count);
        return;
    }
    FUZZ_CHECK(count == std::min<uint32_t>(Le32(x->reply, 36), 20), "%u records for EventCount %u",
               count, Le32(x->reply, 36));
}

void ProbeNt(MiniportChannel& ch, FuzzedDevices& io) {
    const size_t attempts = io.openAttempts.size(), before = io.exchanges.size();
    int calls = 0;
    channel::DeviceHandle seen = kInvalidDevice;
    const int count = ch.ProbeNt([&](const OpenDevice& d) {
        ++calls;
        seen = d.get();
        FUZZ_CHECK(io.IsOpen(d.get()), "the first adapter's device is not open in the call-back");
    });
    (void)seen;
    // The names tried are \\.\Scsi0: upward, none twice, never \\.\Scsi9:.
    std::vector<std::string> names;
    for (size_t i = attempts; i < io.openAttempts.size(); ++i) {
        const std::string& n = io.openAttempts[i];
        FUZZ_CHECK(n.size() == 10 && n[8] == static_cast<char>('0' + (i - attempts)),
                   "probe tried \"%s\" in place %zu", n.c_str(), i - attempts);
    }
    // Each accepted probe request names the next adapter, up to four.
    std::vector<std::string> accepted;
    for (size_t i = before; i < io.exchanges.size(); ++i) {
        const Exchange& x = io.exchanges[i];
        if (x.command != MPCMD_GET_ADAPTER_COUNT) continue;
        if (x.callSucceeded) accepted.push_back(x.device);
    }
    FUZZ_CHECK(count == static_cast<int>(std::min<size_t>(accepted.size(), 4)),
               "count %d for %zu adapters", count, accepted.size());
    FUZZ_CHECK(accepted.size() <= 4, "the probe went on after four adapters");
    FUZZ_CHECK(calls == (count > 0 ? 1 : 0), "first-adapter call-back ran %d times", calls);
    for (int a = 0; a < count; ++a)
        FUZZ_CHECK(accepted[a] == ch.AdapterName(a), "adapter %d is \"%s\", not \"%s\"", a,
                   ch.AdapterName(a), accepted[a].c_str());
    for (int a = count; a < kMaxAdapters; ++a)
        FUZZ_CHECK(*ch.AdapterName(a) == '\0', "adapter %d keeps a name", a);
}

void ProbeLegacy(MiniportChannel& ch, FuzzedDevices& io) {
    const size_t before = io.exchanges.size();
    int calls = 0;
    const int count = ch.ProbeLegacy([&](const OpenDevice& d) {
        ++calls;
        FUZZ_CHECK(io.IsOpen(d.get()), "KIRNDEV is not open in the call-back");
    });
    FUZZ_CHECK(ch.LegacyPlatform(), "the legacy probe did not set LegacyPlatform");
    const Exchange* x = ExchangeSince(io, before);
    uint32_t expected = 0;
    if (x) {
        FUZZ_CHECK(x->device == kLegacyDeviceName, "legacy probe on \"%s\"", x->device.c_str());
        if (x->callSucceeded) expected = std::min<uint32_t>(FuzzedDevices::ReturnCode(*x), 4);
    }
    FUZZ_CHECK(count == static_cast<int>(expected), "legacy count %d, expected %u", count,
               expected);
    FUZZ_CHECK(calls == (count > 0 ? 1 : 0), "call-back ran %d times", calls);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FuzzedDevices io(in);
    MiniportChannel ch(io);
    for (int step = 0; step < 16 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
                ProbeNt(ch, io);
                break;
            case 1:
                ProbeLegacy(ch, io);
                break;
            case 2:
                SmartState(ch, io, in);
                break;
            case 3:
                Enclosure(ch, io, in, false);
                break;
            case 4:
                Enclosure(ch, io, in, true);
                break;
            case 5:
                BiosVersion(ch, io, in);
                break;
            case 6:
                TransferImage(ch, io, in);
                break;
            case 7:
                TransferMode(ch, io, in);
                break;
            case 8:
                Events(ch, io, in);
                break;
            case 9: {
                // Straight to one adapter by name, as the service does with its own records.
                const int a = in.ConsumeIntegralInRange<int>(-1, 5);
                // A name as the probe forms it, with whatever follows: the record keeps ten
                // characters and its zero.
                std::string name = "\\\\.\\Scsi";
                name += static_cast<char>('0' + in.ConsumeIntegralInRange<int>(0, 8));
                name += ':';
                name += in.ConsumeRandomLengthString(16);
                ch.SetAdapterName(a, in.ConsumeBool() ? name.c_str() : nullptr);
                const size_t n = std::char_traits<char>::length(ch.AdapterName(a));
                FUZZ_CHECK(n < kDevicePathSize, "adapter name of %zu characters", n);
                break;
            }
        }
        FUZZ_CHECK(io.OpenHandles() == 0, "%zu device handles left open", io.OpenHandles());
    }
    return 0;
}
