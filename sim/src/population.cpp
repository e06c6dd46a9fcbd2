#include "sim/population.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace sim {
namespace {

using nlohmann::json;

constexpr char kDefaultPopulation[] =
#include "default_population.inc"
    ;

// Numbers may be written as JSON numbers or as strings ("0x6A31", "42").
uint64_t Number(const json& v) {
    if (v.is_number_unsigned() || v.is_number_integer()) return v.get<int64_t>();
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        size_t used = 0;
        const uint64_t n = std::stoull(s, &used, 0);
        if (used != s.size()) throw std::invalid_argument("not a number: " + s);
        return n;
    }
    throw std::invalid_argument("expected a number, got " + v.dump());
}

// A number that must fit an unsigned field: a larger one is refused, never cut to fit.
template <typename T>
T Narrow(uint64_t n, const char* key) {
    if (n > static_cast<uint64_t>(static_cast<T>(~T{0})))
        throw std::out_of_range(std::string(key) + " is out of range");
    return static_cast<T>(n);
}

template <typename T>
T Get(const json& obj, const char* key, T fallback) {
    if (!obj.contains(key)) return fallback;
    return Narrow<T>(Number(obj.at(key)), key);
}

// A signed 32-bit number (a JSON integer or a string such as "-1"); anything else, a
// fraction or a value beyond the range included, is refused.
int32_t Signed32(const json& obj, const char* key, int32_t fallback) {
    if (!obj.contains(key)) return fallback;
    const json& v = obj.at(key);
    int64_t n = 0;
    if (v.is_number_unsigned()) {
        n = v.get<uint64_t>() > INT32_MAX ? INT64_MAX : static_cast<int64_t>(v.get<uint64_t>());
    } else if (v.is_number_integer()) {
        n = v.get<int64_t>();
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        size_t used = 0;
        n = std::stoll(s, &used, 0);
        if (used != s.size()) throw std::invalid_argument("not a number: " + s);
    } else {
        throw std::invalid_argument(std::string(key) + ": expected a whole number");
    }
    if (n < INT32_MIN || n > INT32_MAX)
        throw std::out_of_range(std::string(key) + " is out of range");
    return static_cast<int32_t>(n);
}

// Copies a text into a fixed field. A text that fills the field exactly is kept without a
// terminator, as a hostile adapter might send it; a longer one is refused.
template <size_t N>
void Text(const json& obj, const char* key, char (&field)[N]) {
    std::memset(field, 0, N);
    if (!obj.contains(key)) return;
    const std::string s = obj.at(key).get<std::string>();
    if (s.size() > N)
        throw std::length_error(std::string(key) + " is longer than " + std::to_string(N));
    std::memcpy(field, s.data(), s.size());
}

int Index(const json& obj, const char* key, int limit) {
    // Compared before any narrowing: 4294967296 is not position 0. A negative number reads
    // as a huge one here and is refused alike.
    const uint64_t v = Number(obj.at(key));
    if (v >= static_cast<uint64_t>(limit))
        throw std::out_of_range(std::string(key) + " out of range");
    return static_cast<int>(v);
}

uint32_t CommandNumber(const json& v) {
    if (v.is_string()) {
        static const std::pair<const char*, uint32_t> kNames[] = {
            {"MPCMD_GET_DRIVER_VERSION", channel::MPCMD_GET_DRIVER_VERSION},
            {"MPCMD_GET_ADAPTER_COUNT", channel::MPCMD_GET_ADAPTER_COUNT},
            {"MPCMD_GET_CONTROLLER_INFO", channel::MPCMD_GET_CONTROLLER_INFO},
            {"MPCMD_GET_DEVICE_INFO", channel::MPCMD_GET_DEVICE_INFO},
            {"MPCMD_GET_ENCLOSURE_STATUS", channel::MPCMD_GET_ENCLOSURE_STATUS},
            {"MPCMD_GET_SMART_STATUS", channel::MPCMD_GET_SMART_STATUS},
            {"MPCMD_READ_EVENTS", channel::MPCMD_READ_EVENTS},
            {"MPCMD_GET_CONTROLLER_NAME", channel::MPCMD_GET_CONTROLLER_NAME},
            {"MPCMD_WRITE_BIOS", channel::MPCMD_WRITE_BIOS},
            {"MPCMD_READ_BIOS", channel::MPCMD_READ_BIOS},
            {"MPCMD_REGISTER_EVENT_DPC", channel::MPCMD_REGISTER_EVENT_DPC},
            {"MPCMD_UNREGISTER_EVENT_DPC", channel::MPCMD_UNREGISTER_EVENT_DPC},
            {"MPCMD_ATA_COMMAND", channel::MPCMD_ATA_COMMAND},
        };
        for (const auto& [name, number] : kNames)
            if (v.get<std::string>() == name) return number;
    }
    return static_cast<uint32_t>(Number(v));
}

void LoadDevice(const json& j, SimAdapter& a) {
    const int port = Index(j, "port", kPorts);
    const int device = Index(j, "device", kDevicesPerPort);
    SimDevice& d = a.devices[port][device];
    d = SimDevice{};
    d.present = Get<uint8_t>(j, "present", 1);
    d.packet = Get<uint8_t>(j, "packet", 0);
    d.extraFlags = Get<uint16_t>(j, "extra_flags", 0);
    d.pioMode = Get<uint8_t>(j, "pio", 4);
    d.dmaMode = Get<uint8_t>(j, "dma", 255);
    d.udmaMode = Get<uint8_t>(j, "udma", 255);
    d.smartState = Get<uint8_t>(j, "smart", 3);
    Text(j, "model", d.model);
    Text(j, "serial", d.serial);
    Text(j, "firmware", d.firmware);
    if (j.contains("chs")) {
        const json& chs = j.at("chs");
        if (!chs.is_array() || chs.size() != 3)
            throw std::invalid_argument("chs needs three numbers");
        d.cylinders = Narrow<uint16_t>(Number(chs[0]), "chs");
        d.heads = Narrow<uint8_t>(Number(chs[1]), "chs");
        d.sectorsPerTrack = Narrow<uint8_t>(Number(chs[2]), "chs");
    }
    d.capacitySectors = Get<uint32_t>(j, "capacity", 0);
}

void LoadEnclosure(const json& j, SimAdapter& a) {
    SimEnclosure& e = a.enclosures[Index(j, "port", kPorts)];
    e = SimEnclosure{};
    e.type = Get<uint8_t>(j, "type", 0);
    e.bayLocation = Get<uint8_t>(j, "bay", 0);
    auto pair = [&](const char* key, uint16_t& first, uint16_t& second) {
        if (!j.contains(key)) return;
        const json& v = j.at(key);
        if (!v.is_array() || v.empty() || v.size() > 2)
            throw std::invalid_argument(std::string(key) + " needs one or two numbers");
        first = Narrow<uint16_t>(Number(v[0]), key);
        if (v.size() > 1) second = Narrow<uint16_t>(Number(v[1]), key);
    };
    pair("temperatures", e.temperature1, e.temperature2);
    pair("fans", e.fan1Rpm, e.fan2Rpm);
    pair("voltages", e.voltage5, e.voltage12);
}

void LoadAdapter(const json& j, SimPopulation& pop) {
    const int position = Index(j, "position", kPositions);
    SimAdapter& a = pop.adapters[position];
    if (a.exists)
        throw std::invalid_argument("two adapters at position " + std::to_string(position));
    a.exists = 1;
    a.foreign = Get<uint8_t>(j, "foreign", 0);
    a.openFails = Get<uint8_t>(j, "open_fails", 0);
    a.pciDeviceId = Get<uint32_t>(j, "pci_device_id", 0);
    Text(j, "name", a.name);
    if (j.contains("driver_version")) {
        const json& v = j.at("driver_version");
        if (!v.is_array() || v.size() != 4)
            throw std::invalid_argument("driver_version needs four numbers");
        for (int i = 0; i < 4; ++i)
            a.versionPart[i] = Narrow<uint16_t>(Number(v[i]), "driver_version");
    }
    a.portCount = Get<uint16_t>(j, "ports", 4);
    a.devicesPerPort = Get<uint16_t>(j, "devices_per_port", 2);
    const std::string signalling = j.value("signalling", std::string("generous"));
    if (signalling == "edge")
        a.signalling = kSignalEdge;
    else if (signalling == "no_registration_signal")
        a.signalling = kSignalNoRegistration;
    else if (signalling != "generous")
        throw std::invalid_argument("unknown signalling \"" + signalling + "\"");
    FillBiosImage(a.bios, static_cast<uint16_t>(a.pciDeviceId),
                  j.value("bios_version", std::string("1.00.0.30")).c_str());
    for (const json& d : j.value("devices", json::array())) LoadDevice(d, a);
    for (const json& e : j.value("enclosures", json::array())) LoadEnclosure(e, a);
    for (const json& ev : j.value("events", json::array())) {
        uint8_t record[channel::events::kRecordSize];
        MakeEventRecord(record, Get<uint32_t>(ev, "code", 0), Get<uint32_t>(ev, "severity", 2),
                        Get<uint32_t>(ev, "port", 0), Get<uint32_t>(ev, "disk", 0),
                        Get<uint32_t>(ev, "value", 0));
        if (!QueueEvent(pop, position, record, nullptr)) throw std::length_error("too many events");
    }
    for (const json& f : j.value("faults", json::array())) {
        const std::string kind = f.value("kind", std::string("call_fails"));
        InjectFault(a, CommandNumber(f.at("command")),
                    kind == "return_code_off" ? kFaultReturnCodeOff : kFaultCallFails,
                    Signed32(f, "delta", 1));
    }
}

}  // namespace

std::unique_ptr<SimPopulation> NewPopulation() {
    auto pop = std::make_unique<SimPopulation>();
    ClearPopulation(*pop);
    return pop;
}

bool LoadPopulationJson(std::string_view text, SimPopulation& out, std::string* error) {
    ClearPopulation(out);
    try {
        const json j = json::parse(text);
        out.legacyDevice = Get<uint8_t>(j, "legacy_device", 0);
        out.legacyCountOverride = Signed32(j, "legacy_count", -1);
        for (const json& a : j.value("adapters", json::array())) LoadAdapter(a, out);
        return true;
    } catch (const std::exception& e) {
        ClearPopulation(out);
        if (error) *error = e.what();
        return false;
    }
}

bool LoadPopulationFile(const std::string& path, SimPopulation& out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot open " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return LoadPopulationJson(text.str(), out, error);
}

std::string_view DefaultPopulationJson() {
    return kDefaultPopulation;
}

SimAdapter& AddAdapter(SimPopulation& pop, int position, uint32_t pciDeviceId, uint16_t ports,
                       uint16_t devicesPerPort, const char* name) {
    SimAdapter& a = pop.adapters[position];
    std::memset(&a, 0, sizeof a);
    a.exists = 1;
    a.pciDeviceId = pciDeviceId;
    a.portCount = ports;
    a.devicesPerPort = devicesPerPort;
    std::strncpy(a.name, name ? name : "", sizeof a.name);
    const uint16_t version[4] = {1, 0, 0, 21};
    std::memcpy(a.versionPart, version, sizeof version);
    FillBiosImage(a.bios, static_cast<uint16_t>(pciDeviceId), "1.00.0.30");
    return a;
}

SimDevice& AddDisk(SimAdapter& adapter, int port, int device, const char* model, const char* serial,
                   const char* firmware) {
    SimDevice& d = adapter.devices[port][device];
    d = SimDevice{};
    d.present = 1;
    d.pioMode = 4;
    d.dmaMode = 2;
    d.udmaMode = 6;
    d.smartState = 1;
    std::strncpy(d.model, model, sizeof d.model);
    std::strncpy(d.serial, serial, sizeof d.serial);
    std::strncpy(d.firmware, firmware, sizeof d.firmware);
    d.cylinders = 16383;
    d.heads = 16;
    d.sectorsPerTrack = 63;
    d.capacitySectors = 312581808;
    return d;
}

SimDevice& AddOptical(SimAdapter& adapter, int port, int device, const char* model) {
    SimDevice& d = AddDisk(adapter, port, device, model, "OPT0001", "1.02");
    d.packet = 1;
    d.smartState = 3;
    d.udmaMode = 4;
    d.cylinders = 0;
    d.heads = 0;
    d.sectorsPerTrack = 0;
    d.capacitySectors = 0;
    return d;
}

SimEnclosure& AddEnclosure(SimAdapter& adapter, int port, uint8_t type) {
    SimEnclosure& e = adapter.enclosures[port];
    e = SimEnclosure{type, 0x35, 40, 38, 3000, 3100, 5012, 12050};
    return e;
}

void InjectFault(SimAdapter& adapter, uint32_t command, FaultKind kind, int32_t delta) {
    const int index = CommandIndex(command);
    if (index < 0) return;
    adapter.faults[index] = CommandFault{kind, delta};
}

}  // namespace sim
