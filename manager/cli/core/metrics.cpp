#include "manager/cli/core/metrics.h"

#include <stdio.h>
#include <string.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "channel/protocol.h"
#include "manager/core/discovery.h"
#include "manager/core/info_list.h"

namespace halvctl {

namespace di = channel::device_info;
namespace es = channel::enclosure_status;

namespace {

// ---- Collection -------------------------------------------------------------------------

AdapterMetrics CollectAdapter(Inventory& inv, int a, Unknowns* unknowns) {
    AdapterMetrics m;
    m.adapter = a;
    m.scsiPort = inv.PortName(a);
    m.shown = inv.HasAdapter(a);
    if (!m.shown) return m;
    halv::ManagerTables& t = inv.tables();
    const uint32_t pciId = t.ControllerInfo(a).U32(channel::controller_info::PciDeviceId.offset);
    m.model = halv::ModelNameFor(t, pciId, static_cast<uint8_t>(a));
    m.chip = halv::ChipNameFor(pciId);
    char hex[16];
    snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(pciId));
    m.pciDeviceId = hex;
    m.biosVersion = ReadBiosVersion(inv, a);
    if (!m.biosVersion && unknowns) unknowns->Add("BIOS version of adapter " + AddressText(a));
    m.driverVersion = DriverVersion(inv, a);
    if (!m.driverVersion && unknowns) unknowns->Add("driver version of adapter " + AddressText(a));
    m.readable = m.biosVersion && m.driverVersion;
    return m;
}

DeviceMetrics CollectDevice(Inventory& inv, int a, int p, int d, Unknowns* unknowns) {
    DeviceMetrics m;
    m.adapter = a;
    m.port = p;
    m.device = d;
    m.shown = inv.HasDevice(a, p, d);
    if (!m.shown) return m;
    halv::ManagerTables& t = inv.tables();
    const halv::DeviceEntry& entry = t.DeviceEntries[a][p][d];
    const wire::ByteView rec = t.DeviceInfo(a, p, d);
    const bool packet = entry.IsPacket != 0;
    m.kind = packet ? "optical" : "disk";
    m.model = halv::FieldText(rec, di::ModelName);
    m.serial = halv::FieldText(rec, di::SerialNumber);
    m.firmware = halv::FieldText(rec, di::FirmwareVersion);
    m.transferMode = halv::TransferModeOf(rec.U8(di::PioMode.offset), rec.U8(di::DmaMode.offset),
                                          rec.U8(di::UdmaMode.offset), t.ChosenModeNumbers[a][p][d])
                         .text;
    if (!packet) m.capacityBytes = uint64_t{rec.U32(di::CapacitySectors.offset)} * 512u;
    // The reading show makes: its four states are the reply's own values.
    const SmartReading smart = ReadSmart(inv, a, p, d);
    if (smart.known()) m.smartState = *smart.state;
    if (!smart.known() && unknowns)
        unknowns->Add("S.M.A.R.T. state of device " + AddressText(a, p, d));
    m.readable = m.smartState.has_value();
    return m;
}

// The port's enclosure, or nothing when the port answers that it has none. Asked of every
// port with a disk: discovery keeps a failed request as "no enclosure", which would hide it.
std::optional<EnclosureMetrics> CollectEnclosure(Inventory& inv, int a, int p, Unknowns* unknowns) {
    EnclosureMetrics m;
    m.adapter = a;
    m.port = p;
    EnclosureReading reading = ReadEnclosure(inv, a, p);
    m.readable = reading.known;
    if (!m.readable) {
        if (unknowns)
            unknowns->Add("enclosure of port " + AddressText(a) + "/" + std::to_string(p));
        return m;
    }
    if (!reading.present) return std::nullopt;
    m.supported =
        reading.result == channel::kEnclosureOneFan || reading.result == channel::kEnclosureTwoFans;
    if (!m.supported) return m;
    const wire::ByteView reply = reading.view();
    const bool twoFans = reading.result == channel::kEnclosureTwoFans;
    m.type = reading.texts.type;
    if (twoFans) m.bay = reply.U8(es::BayLocation.offset) >> 4;
    m.temperaturesCelsius.push_back(reply.U16(es::Temperature1.offset));
    m.fansRpm.push_back(reply.U16(es::Fan1Rpm.offset));
    if (twoFans) {
        m.temperaturesCelsius.push_back(reply.U16(es::Temperature2.offset));
        m.fansRpm.push_back(reply.U16(es::Fan2Rpm.offset));
    }
    m.millivolts5 = reply.U16(es::Voltage5.offset);
    m.millivolts12 = reply.U16(es::Voltage12.offset);
    return m;
}

// ---- Writing ----------------------------------------------------------------------------

struct Label {
    const char* name;
    std::string value;
};

class Writer {
  public:
    // Starts a family; a family without samples is still described, so that a reader sees
    // every name the tool can print.
    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        out_ += std::string("# HELP ") + name + " " + help + "\n";
        out_ += std::string("# TYPE ") + name + " " + type + "\n";
    }
    void Sample(const std::vector<Label>& labels, double value) {
        out_ += name_;
        if (!labels.empty()) {
            out_ += "{";
            for (size_t i = 0; i < labels.size(); ++i)
                out_ += std::string(i ? "," : "") + labels[i].name + "=\"" +
                        EscapeLabelValue(labels[i].value) + "\"";
            out_ += "}";
        }
        out_ += " " + SampleValue(value) + "\n";
    }
    std::string Take() { return std::move(out_); }

  private:
    std::string out_;
    const char* name_ = "";
};

std::vector<Label> DeviceLabels(const DeviceMetrics& d) {
    return {{"adapter", AddressText(d.adapter)},
            {"port", std::to_string(d.port)},
            {"device", std::to_string(d.device)},
            {"address", AddressText(d.adapter, d.port, d.device)}};
}

std::vector<Label> PortLabels(const EnclosureMetrics& e) {
    return {{"adapter", AddressText(e.adapter)}, {"port", std::to_string(e.port)}};
}

std::vector<Label> With(std::vector<Label> labels, const char* name, std::string value) {
    labels.push_back({name, std::move(value)});
    return labels;
}

}  // namespace

MetricsSnapshot CollectMetrics(Inventory& inv, Unknowns* unknowns) {
    MetricsSnapshot s;
    s.up = true;
    s.adapters = inv.probed();
    for (int a = 0; a < inv.probed(); ++a)
        if (!inv.channel().LegacyPlatform())
            s.scsiPorts.push_back({inv.PortName(a), Printable(inv.DeviceName(a)), true});
    for (const UnopenedPort& u : inv.unopened())
        s.scsiPorts.push_back(
            {u.scsiPort >= 0 ? "scsi" + std::to_string(u.scsiPort) : "", Printable(u.name), false});
    for (int a = 0; a < inv.probed(); ++a) {
        s.adapterList.push_back(CollectAdapter(inv, a, unknowns));
        if (!inv.HasAdapter(a)) continue;
        for (int p = 0; p < inv.PortsAsked(a); ++p) {
            bool disk = false;
            for (int d = 0; d < inv.DevicesAsked(a); ++d) {
                if (inv.IsUnreadable(Address{a, p, d})) {
                    DeviceMetrics unread;
                    unread.adapter = a;
                    unread.port = p;
                    unread.device = d;
                    s.devices.push_back(unread);
                    continue;
                }
                if (!inv.HasDevice(a, p, d)) continue;
                s.devices.push_back(CollectDevice(inv, a, p, d, unknowns));
                disk = disk || inv.tables().DeviceEntries[a][p][d].IsPacket == 0;
            }
            // The enclosure belongs to the port: asked once, whatever its disks.
            if (!disk) continue;
            if (std::optional<EnclosureMetrics> e = CollectEnclosure(inv, a, p, unknowns))
                s.enclosures.push_back(std::move(*e));
        }
    }
    return s;
}

std::string MetricsText(const MetricsSnapshot& s) {
    Writer w;
    w.Family("halv_up", "gauge", "1 when discovery ran, 0 when the collection failed.");
    w.Sample({}, s.up ? 1 : 0);
    w.Family("halv_last_collect_timestamp_seconds", "gauge",
             "Unix time of the last collection, failed or not.");
    w.Sample({}, s.timestampSeconds);
    if (!s.up) return w.Take();

    w.Family("halv_collect_duration_seconds", "gauge",
             "Time the discovery and the requests of the last collection took.");
    w.Sample({}, s.collectSeconds);
    w.Family("halv_adapters", "gauge", "Adapters that answered discovery, read or not.");
    w.Sample({}, s.adapters);

    w.Family("halv_scsi_port_readable", "gauge",
             "1 for a SCSI port an adapter answered on, 0 for one that exists but did not "
             "open: an adapter there is unknown, and those after it are numbered one lower.");
    for (const ScsiPortMetrics& p : s.scsiPorts)
        w.Sample({{"scsi_port", p.scsiPort}, {"device_name", p.deviceName}}, p.open ? 1 : 0);

    w.Family("halv_adapter_info", "gauge",
             "An adapter HALV shows; value 1. Versions are empty when unknown.");
    for (const AdapterMetrics& a : s.adapterList)
        if (a.shown)
            w.Sample({{"adapter", AddressText(a.adapter)},
                      {"scsi_port", a.scsiPort},
                      {"model", a.model},
                      {"chip", a.chip},
                      {"pci_device_id", a.pciDeviceId},
                      {"bios_version", a.biosVersion.value_or("")},
                      {"driver_version", a.driverVersion.value_or("")}},
                     1);
    w.Family("halv_adapter_readable", "gauge",
             "0 when the adapter answered discovery but a request for it failed: its BIOS or "
             "driver version, or everything, is unknown.");
    for (const AdapterMetrics& a : s.adapterList)
        w.Sample({{"adapter", AddressText(a.adapter)}}, a.readable ? 1 : 0);

    w.Family("halv_device_info", "gauge", "A device HALV shows; value 1.");
    for (const DeviceMetrics& d : s.devices)
        if (d.shown) {
            std::vector<Label> labels = DeviceLabels(d);
            labels.insert(labels.end(), {{"kind", d.kind},
                                         {"model", d.model},
                                         {"serial", d.serial},
                                         {"firmware", d.firmware},
                                         {"transfer_mode", d.transferMode}});
            w.Sample(labels, 1);
        }
    w.Family("halv_device_capacity_bytes", "gauge", "Capacity of a disk in bytes.");
    for (const DeviceMetrics& d : s.devices)
        if (d.capacityBytes) w.Sample(DeviceLabels(d), static_cast<double>(*d.capacityBytes));
    w.Family("halv_device_smart_state", "gauge",
             "S.M.A.R.T. state: 0 not enabled, 1 functional, 2 predictive error, "
             "3 not supported; absent when the request failed.");
    for (const DeviceMetrics& d : s.devices)
        if (d.smartState) w.Sample(DeviceLabels(d), *d.smartState);
    w.Family("halv_device_readable", "gauge",
             "0 when a request for the device failed: its values are unknown.");
    for (const DeviceMetrics& d : s.devices) w.Sample(DeviceLabels(d), d.readable ? 1 : 0);

    w.Family("halv_enclosure_info", "gauge",
             "An enclosure HALV reads, on the port of its disks; value 1.");
    for (const EnclosureMetrics& e : s.enclosures)
        if (e.supported)
            w.Sample(With(With(PortLabels(e), "type", e.type), "bay",
                          e.bay ? std::to_string(*e.bay) : ""),
                     1);
    w.Family("halv_enclosure_readable", "gauge",
             "0 when the enclosure request of the port failed: its readings are unknown.");
    for (const EnclosureMetrics& e : s.enclosures) w.Sample(PortLabels(e), e.readable ? 1 : 0);
    w.Family("halv_enclosure_temperature_celsius", "gauge",
             "Enclosure temperature, sensor 1 and 2.");
    for (const EnclosureMetrics& e : s.enclosures)
        for (size_t i = 0; i < e.temperaturesCelsius.size(); ++i)
            w.Sample(With(PortLabels(e), "sensor", std::to_string(i + 1)),
                     e.temperaturesCelsius[i]);
    w.Family("halv_enclosure_fan_speed_rpm", "gauge", "Enclosure fan speed, fan 1 and 2.");
    for (const EnclosureMetrics& e : s.enclosures)
        for (size_t i = 0; i < e.fansRpm.size(); ++i)
            w.Sample(With(PortLabels(e), "fan", std::to_string(i + 1)), e.fansRpm[i]);
    w.Family("halv_enclosure_supply_voltage_volts", "gauge",
             "Enclosure supply voltage of the 5 V and 12 V rails.");
    for (const EnclosureMetrics& e : s.enclosures)
        if (e.supported) {
            w.Sample(With(PortLabels(e), "rail", "5V"), e.millivolts5 / 1000.0);
            w.Sample(With(PortLabels(e), "rail", "12V"), e.millivolts12 / 1000.0);
        }
    return w.Take();
}

std::string EscapeLabelValue(std::string_view text) {
    // Adapters report single-byte texts: a byte that does not form UTF-8 becomes U+FFFD, as
    // in the JSON document, by the same library's replacing serialiser.
    using Json = nlohmann::json;
    const std::string utf8 =
        Json::parse(Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace))
            .get<std::string>();
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else if (b < 0x20 || b == 0x7F)
            out += '?';  // the format has no escape for them; a reader may take CR as an end
        else
            out += c;
    }
    return out;
}

std::string SampleValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : "NaN";
}

}  // namespace halvctl

// ---- The command ------------------------------------------------------------------------

namespace halvctl {

const char kMetricsHelp[] =
    "Usage: halvctl metrics [--textfile DIR]\n"
    "\n"
    "The adapters, devices and enclosures in the Prometheus text format (0.0.4): S.M.A.R.T.\n"
    "states, temperatures, fans, voltages and inventory, from the same discovery and requests\n"
    "as \"halvctl show\". A value whose request failed is left out and its halv_*_readable\n"
    "series is 0; a SCSI port that exists but does not open has halv_scsi_port_readable 0.\n"
    "docs/monitoring.md lists the metrics.\n"
    "\n"
    "--textfile DIR writes DIR\\halv.prom for a textfile collector (windows_exporter's\n"
    "textfile_inputs folder): under another name first, then renamed onto halv.prom, so the\n"
    "collector never reads half a file. A collection that fails still writes halv_up 0.\n"
    "\n"
    "Run it every few minutes as SYSTEM, for instance:\n"
    "  schtasks /Create /TN \"HALV\\Metrics\" /RU SYSTEM /SC MINUTE /MO 5 /F /TR\n"
    "    \"\\\"C:\\Program Files\\Torvale\\HALV\\halvctl.exe\\\" metrics --textfile\n"
    "    \\\"C:\\Program Files\\windows_exporter\\textfile_inputs\\\"\"\n"
    "(one line), and the same with /SC ONSTART for start-up; PowerShell's\n"
    "Register-ScheduledTask does the same (docs/monitoring.md).\n"
    "\n"
    "Exit codes, as show's: 0 done; 1 a SCSI port did not open or something could not be\n"
    "read (named on standard error), the collection failed or the file could not be\n"
    "written; 2 the command line was refused. Reading the adapters needs an elevated\n"
    "prompt or SYSTEM.\n";

namespace {

constexpr char kTextfileName[] = "halv.prom";

std::string InFolder(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    const char last = dir.back();
    if (last == '/' || last == '\\') return dir + name;
    // A folder given with backslashes is a Windows one; both programs take '/' as well.
    return dir + (dir.find('\\') != std::string::npos ? "\\" : "/") + name;
}

// Writes `text` under a name of its own in `dir`, then renames it onto halv.prom. A name
// ending in something other than .prom is never read by a textfile collector; it is random
// so that two runs at once (the schedule and a hand) never write into one file.
bool WriteTextfile(HalvctlPorts& ports, const std::string& dir, const std::string& text,
                   std::string& error) {
    std::random_device random;
    char suffix[32];
    snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
    const std::string target = InFolder(dir, kTextfileName);
    const std::string partial = target + suffix;
    std::unique_ptr<halv::BinaryFile> file = ports.files.CreateReadWrite(partial);
    if (!file) {
        error = "cannot create " + partial;
        return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const bool written = file->Write(std::span<const uint8_t>(bytes, text.size())) == text.size();
    const bool closed = file->Close();
    if (!written || !closed) {
        ports.placement.Remove(partial);
        error = "cannot write " + partial;
        return false;
    }
    if (!ports.placement.Move(partial, target, true)) {
        ports.placement.Remove(partial);
        error = "cannot replace " + target + " (the previous file is left whole)";
        return false;
    }
    return true;
}

}  // namespace

int RunMetrics(HalvctlPorts& ports, const std::optional<std::string>& textfileDir) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto when = ports.facts.now ? ports.facts.now() : std::chrono::system_clock::now();
    const double now = std::chrono::duration<double>(when.time_since_epoch()).count();
    MetricsSnapshot snapshot;
    int code = kExitOk;
    std::string failure;
    // Discovery runs only on a Windows family it knows; elsewhere nothing can be asked.
    if (ports.version.PlatformId() != 1 && ports.version.PlatformId() != 2) {
        failure = "unknown Windows family";
    } else {
        try {
            Inventory inv(ports.devices);
            inv.Discover(ports.version);
            Unknowns unknowns;
            snapshot = CollectMetrics(inv, &unknowns);
            // Named as show names them, and with show's exit code: anything unknown is 1.
            auto say = [&](const std::string& text) {
                ports.console.Err("halvctl: metrics: " + text + "\n");
                code = kExitFailed;
            };
            for (const UnopenedPort& u : inv.unopened()) say(UnopenedText(u));
            if (inv.probed() == 0 && inv.unopened().empty())
                ports.console.Err("halvctl: metrics: no adapter found\n");
            for (const Unreadable& u : inv.unreadable()) say(u.what + " could not be read");
            for (const std::string& what : unknowns.what) say(what + " could not be read");
        } catch (const std::exception& e) {
            // Whatever stopped the collection, the collector is told that nothing is known.
            snapshot = MetricsSnapshot{};
            failure = e.what();
        }
    }
    if (!failure.empty()) {
        ports.console.Err("halvctl: metrics: collection failed: " + Printable(failure) + "\n");
        code = kExitFailed;
    }
    snapshot.timestampSeconds = now;
    snapshot.collectSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    const std::string text = MetricsText(snapshot);
    if (!textfileDir) {
        ports.console.Out(text);
        return code;
    }
    std::string error;
    if (!WriteTextfile(ports, *textfileDir, text, error)) {
        ports.console.Err("halvctl: metrics --textfile: " + Printable(error) + "\n");
        return kExitFailed;
    }
    return code;
}

}  // namespace halvctl
