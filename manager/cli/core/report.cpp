#include "manager/cli/core/report.h"

#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "halvctl.h"
#include "manager/core/discovery.h"

namespace halvctl {

using halv::kNoItem;
using halv::TreeItem;
using Json = nlohmann::ordered_json;
namespace di = channel::device_info;
namespace es = channel::enclosure_status;

namespace {

// HALV's list control, kept in memory: the rows its filler writes.
class RowList final : public halv::ListView {
  public:
    int RowCount() const override { return static_cast<int>(rows.size()); }
    void DeleteAllRows() override { rows.clear(); }
    int InsertRow(int index, const std::string& text, int image) override {
        if (index < 0 || index > RowCount()) return -1;
        rows.insert(rows.begin() + index, halv::InfoRow{text, "", "", image});
        return index;
    }
    void SetCell(int row, int column, const std::string& text) override {
        if (row < 0 || row >= RowCount()) return;
        if (column == halv::kColumnValue) rows[row].value = text;
        if (column == halv::kColumnInfoType) rows[row].infoType = text;
    }
    std::string CellText(int row, int column) const override {
        if (row < 0 || row >= RowCount()) return "";
        return column == 0                    ? rows[row].item
               : column == halv::kColumnValue ? rows[row].value
                                              : rows[row].infoType;
    }
    int FirstSelectedRow() const override { return -1; }

    std::vector<halv::InfoRow> rows;
};

std::string Label(const std::string& item) {
    return item.empty() || item[0] != ' ' ? item : item.substr(1);
}

std::string RowValue(const std::vector<halv::InfoRow>& rows, const char* item) {
    for (const halv::InfoRow& r : rows)
        if (r.item == item) return r.value;
    return "";
}

// The list line of an adapter or device: its address (and an adapter's SCSI port) and its
// tree label.
std::string AdapterLine(Inventory& inv, int a) {
    const std::string port = inv.PortName(a);
    return AddressText(a) + " " + (port.empty() ? "" : port + " ") +
           Printable(inv.tree().node(inv.tables().ControllerEntries[a].Item).text);
}

std::string DeviceLine(Inventory& inv, int a, int p, int d) {
    return AddressText(a, p, d) + " " +
           Printable(inv.tree().node(inv.tables().DeviceEntries[a][p][d].Item).text);
}

std::optional<Address> AddressOfItem(Inventory& inv, TreeItem item) {
    halv::ManagerTables& t = inv.tables();
    for (int a = 0; a < halv::kMaxAdapters; ++a) {
        if (t.ControllerEntries[a].Item == item) return Address{a};
        for (int p = 0; p < halv::kMaxPorts; ++p)
            for (int d = 0; d < halv::kMaxDevicesPerPort; ++d)
                if (t.DeviceEntries[a][p][d].Item == item) return Address{a, p, d};
    }
    return std::nullopt;
}

void ListNode(Inventory& inv, TreeItem item, int depth, std::string& out) {
    const RecordedTree::Node& n = inv.tree().node(item);
    out += std::string(2 * depth, ' ');
    if (depth > 0)
        if (const std::optional<Address> address = AddressOfItem(inv, item)) {
            out += AddressText(*address) + " ";
            if (!address->IsDevice() && !inv.PortName(address->adapter).empty())
                out += inv.PortName(address->adapter) + " ";
        }
    out += Printable(n.text) + "\n";
    for (TreeItem child : n.children) ListNode(inv, child, depth + 1, out);
}

// ---- The JSON document ------------------------------------------------------------------

std::string Hex16(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

Json ModeOrNull(uint8_t mode) {
    return mode == di::kModeNone ? Json(nullptr) : Json(mode);
}

// A text the adapter gave, or null where HALV would show a placeholder for what it does not
// know ("Unknow" for a model it has no name for).
Json TextOrNull(const std::string& text) {
    return text == "Unknow" || text == channel::kTemporarilyUnknown ? Json(nullptr) : Json(text);
}

Json KnownOrNull(const Known<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

std::string KnownText(const Known<std::string>& value) {
    return value ? *value : std::string(channel::kTemporarilyUnknown);
}

std::string PortText(int a, int p) {
    return "port " + AddressText(a) + "/" + std::to_string(p);
}

// What a device's rows and its JSON are made of beyond discovery's record: its S.M.A.R.T.
// state and, for a disk, its port's enclosure, both asked afresh once.
struct DeviceReadings {
    SmartReading smart;
    std::optional<EnclosureReading> enclosure;  // disks only
    // Whether the device has an enclosure to show: discovery found one, or the fresh request
    // did (discovery's may have failed), or the state is unknown.
    bool ShowsEnclosure(const halv::DeviceEntry& entry) const {
        return enclosure && (entry.HasEnclosure == 1 || enclosure->present || !enclosure->known);
    }
};

DeviceReadings ReadDevice(Inventory& inv, int a, int p, int d, Unknowns* unknowns) {
    const halv::DeviceEntry& entry = inv.tables().DeviceEntries[a][p][d];
    DeviceReadings r;
    r.smart = ReadSmart(inv, a, p, d);
    if (!r.smart.known() && unknowns)
        unknowns->Add("S.M.A.R.T. state of device " + AddressText(a, p, d));
    if (!entry.IsPacket) {
        r.enclosure = ReadEnclosure(inv, a, p);
        if (!r.enclosure->known && unknowns)
            unknowns->Add("enclosure of device " + AddressText(a, p, d));
    }
    return r;
}

// The enclosure reading of the device's port, as the list's enclosure rows show it, with the
// numbers of the reply beside HALV's texts.
Json EnclosureJson(EnclosureReading& reading) {
    const std::vector<halv::InfoRow> rows = halv::EnclosureRows(reading.result, reading.texts);
    const wire::ByteView reply = reading.view();
    Json e;
    e["known"] = reading.known;
    if (reading.result != channel::kEnclosureOneFan &&
        reading.result != channel::kEnclosureTwoFans) {
        e["type"] = nullptr;
        e["type_code"] = reading.known ? Json(reply.U8(es::EnclosureType.offset)) : Json(nullptr);
        e["swapbox_status"] =
            reading.known ? Json(RowValue(rows, " SwapBox Status")) : Json(nullptr);
        return e;
    }
    const bool twoFans = reading.result == channel::kEnclosureTwoFans;
    const channel::EnclosureTexts& texts = reading.texts;
    e["type"] = texts.type;
    e["type_code"] = reply.U8(es::EnclosureType.offset);
    e["swapbox_status"] = nullptr;
    if (twoFans)
        e["bay"] = {{"number", reply.U8(es::BayLocation.offset) >> 4}, {"text", texts.location}};
    else
        e["bay"] = nullptr;
    e["fans_rpm"] = Json::array({reply.U16(es::Fan1Rpm.offset)});
    if (twoFans) e["fans_rpm"].push_back(reply.U16(es::Fan2Rpm.offset));
    auto temperature = [&](wire::Field field, const char* item) {
        const unsigned c = reply.U16(field.offset);
        return Json{{"celsius", c},
                    {"fahrenheit", channel::FahrenheitOf(c)},
                    {"text", RowValue(rows, item)}};
    };
    e["temperatures"] = Json::array({temperature(es::Temperature1, " Temperature(C/F)")});
    if (twoFans) e["temperatures"].push_back(temperature(es::Temperature2, " Temperature2(C/F)"));
    e["voltages"] = {
        {"5v", {{"millivolts", reply.U16(es::Voltage5.offset)}, {"text", texts.volts5}}},
        {"12v", {{"millivolts", reply.U16(es::Voltage12.offset)}, {"text", texts.volts12}}},
        {"text", RowValue(rows, " Vol.(5/12V)")}};
    return e;
}

Json SmartJson(const SmartReading& smart) {
    if (!smart.known())
        return {{"supported", nullptr},
                {"enabled", nullptr},
                {"state", nullptr},
                {"value", smart.state ? Json(*smart.state) : Json(nullptr)}};
    const bool enabled =
        smart.health == SmartHealth::kFunctional || smart.health == SmartHealth::kPredictiveError;
    return {{"supported", smart.health != SmartHealth::kNotSupported},
            {"enabled", enabled},
            {"state", enabled ? Json(SmartHealthText(smart.health)) : Json(nullptr)},
            {"value", enabled ? Json(*smart.state) : Json(nullptr)}};
}

Json DeviceJson(Inventory& inv, int a, int p, int d, Unknowns* unknowns) {
    halv::ManagerTables& t = inv.tables();
    const halv::DeviceEntry& entry = t.DeviceEntries[a][p][d];
    const wire::ByteView rec = t.DeviceInfo(a, p, d);
    const bool packet = entry.IsPacket != 0;

    Json j;
    j["address"] = AddressText(a, p, d);
    j["number"] = d;
    j["kind"] = packet ? "optical" : "disk";
    j["model"] = halv::FieldText(rec, di::ModelName);
    j["serial"] = halv::FieldText(rec, di::SerialNumber);
    j["firmware"] = halv::FieldText(rec, di::FirmwareVersion);
    if (packet) {
        j["geometry"] = nullptr;
        j["capacity"] = nullptr;
    } else {
        const unsigned c = rec.U16(di::Cylinders.offset), h = rec.U8(di::Heads.offset),
                       s = rec.U8(di::SectorsPerTrack.offset);
        j["geometry"] = {
            {"cylinders", c},
            {"heads", h},
            {"sectors_per_track", s},
            {"text", std::to_string(c) + "/" + std::to_string(h) + "/" + std::to_string(s)}};
        const uint32_t sectors = rec.U32(di::CapacitySectors.offset);
        j["capacity"] = {{"sectors", sectors},
                         {"gb", sectors / 2000000u},
                         {"text", halv::CapacityText(sectors)}};
    }

    const uint8_t pio = rec.U8(di::PioMode.offset), dma = rec.U8(di::DmaMode.offset),
                  udma = rec.U8(di::UdmaMode.offset);
    const uint8_t chosen = t.ChosenModeNumbers[a][p][d];
    const halv::TransferMode mode = halv::TransferModeOf(pio, dma, udma, chosen);
    const char* kind = udma != di::kModeNone ? "udma" : dma != di::kModeNone ? "dma" : "pio";
    const uint8_t own = udma != di::kModeNone ? udma : dma != di::kModeNone ? dma : pio;
    j["transfer_mode"] = {
        {"kind", kind},
        {"mode", chosen != 0 ? chosen : own},
        {"text", mode.text},
        {"highest", {{"pio", pio}, {"dma", ModeOrNull(dma)}, {"udma", ModeOrNull(udma)}}}};

    DeviceReadings readings = ReadDevice(inv, a, p, d, unknowns);
    j["smart"] = SmartJson(readings.smart);
    j["enclosure"] =
        readings.ShowsEnclosure(entry) ? EnclosureJson(*readings.enclosure) : Json(nullptr);
    return j;
}

Json AdapterJson(Inventory& inv, int a, const std::optional<Address>& only, Unknowns* unknowns) {
    halv::ManagerTables& t = inv.tables();
    const uint32_t pciId = t.ControllerInfo(a).U32(channel::controller_info::PciDeviceId.offset);

    Json j;
    j["number"] = a;
    j["device_name"] = inv.DeviceName(a);
    j["scsi_port"] = inv.PortName(a).empty() ? Json(nullptr) : Json(inv.PortName(a));
    j["model"] = TextOrNull(halv::ModelNameFor(t, pciId, static_cast<uint8_t>(a)));
    j["chip"] = TextOrNull(halv::ChipNameFor(pciId));
    j["pci_device_id"] = pciId;
    j["pci_device_id_hex"] = Hex16(pciId);
    const Known<std::string> bios = ReadBiosVersion(inv, a);
    if (!bios && unknowns) unknowns->Add("BIOS version of adapter " + AddressText(a));
    j["bios_version"] = KnownOrNull(bios);
    const Known<std::string> driver = DriverVersion(inv, a);
    if (!driver && unknowns) unknowns->Add("driver version of adapter " + AddressText(a));
    j["driver_version"] = KnownOrNull(driver);
    j["ports"] = Json::array();
    for (int p = 0; p < inv.PortsAsked(a); ++p) {
        if (t.PortItems[a][p] == kNoItem) continue;
        if (only && only->IsDevice() && only->port != p) continue;
        Json port = {{"number", p},
                     {"label", inv.tree().node(t.PortItems[a][p]).text},
                     {"devices", Json::array()}};
        for (int d = 0; d < inv.DevicesAsked(a); ++d) {
            if (!inv.HasDevice(a, p, d)) continue;
            if (only && only->IsDevice() && only->device != d) continue;
            port["devices"].push_back(DeviceJson(inv, a, p, d, unknowns));
        }
        j["ports"].push_back(port);
    }
    return j;
}

std::vector<halv::InfoRow> AdapterRows(Inventory& inv, int a, Unknowns* unknowns) {
    halv::ManagerTables& t = inv.tables();
    const uint32_t pciId = t.ControllerInfo(a).U32(channel::controller_info::PciDeviceId.offset);
    const Known<std::string> bios = ReadBiosVersion(inv, a);
    if (!bios && unknowns) unknowns->Add("BIOS version of adapter " + AddressText(a));
    const Known<std::string> driver = DriverVersion(inv, a);
    if (!driver && unknowns) unknowns->Add("driver version of adapter " + AddressText(a));
    std::vector<halv::InfoRow> rows = {
        {" Model Name", halv::ModelNameFor(t, pciId, static_cast<uint8_t>(a)), ""},
        {" Chip Name", halv::ChipNameFor(pciId), ""},
        {" BIOS Version", KnownText(bios), ""},
        {" Driver Version", KnownText(driver), ""}};
    // Not one of HALV's rows: the name that stays with the adapter when its number does not.
    if (!inv.PortName(a).empty())
        rows.push_back({" SCSI Port", inv.PortName(a) + " (" + inv.DeviceName(a) + ")", ""});
    return rows;
}

// HALV's device rows (its list filler's labels and texts), from the readings.
std::vector<halv::InfoRow> DeviceRows(Inventory& inv, int a, int p, int d, Unknowns* unknowns) {
    halv::ManagerTables& t = inv.tables();
    halv::DeviceEntry& entry = t.DeviceEntries[a][p][d];
    const wire::ByteView info = t.DeviceInfo(a, p, d);
    const std::string drive = "Drive";
    std::vector<halv::InfoRow> rows = {
        {" Model Name", halv::FieldText(info, di::ModelName), drive},
        {" Serial No", halv::FieldText(info, di::SerialNumber), drive},
        {" Firmware Version", halv::FieldText(info, di::FirmwareVersion), drive}};
    if (!entry.IsPacket) {
        rows.push_back({" Geometry(C/H/S)",
                        std::to_string(info.U16(di::Cylinders.offset)) + "/" +
                            std::to_string(info.U8(di::Heads.offset)) + "/" +
                            std::to_string(info.U8(di::SectorsPerTrack.offset)),
                        drive});
        rows.push_back(
            {" Capacity", halv::CapacityText(info.U32(di::CapacitySectors.offset)), drive});
    }
    const halv::TransferMode mode =
        halv::TransferModeOf(info.U8(di::PioMode.offset), info.U8(di::DmaMode.offset),
                             info.U8(di::UdmaMode.offset), t.ChosenModeNumbers[a][p][d]);
    entry.TransferModeCode = mode.code;
    rows.push_back({halv::kTransferModeLabel, mode.text, drive, halv::kListImageHand});

    DeviceReadings readings = ReadDevice(inv, a, p, d, unknowns);
    // HALV shows the state of a device with S.M.A.R.T. enabled; an unknown state is shown
    // whatever discovery made of the device, since that may be what its failure left.
    const SmartHealth health = readings.smart.health;
    if (health == SmartHealth::kFunctional || health == SmartHealth::kPredictiveError ||
        health == SmartHealth::kUnknown)
        rows.push_back({" Smart Status", SmartHealthText(health), drive});
    if (readings.ShowsEnclosure(entry))
        for (const halv::InfoRow& row :
             halv::EnclosureRows(readings.enclosure->result, readings.enclosure->texts))
            rows.push_back(row);
    return rows;
}

}  // namespace

std::string ListText(Inventory& inv) {
    std::string out;
    for (TreeItem top : inv.tree().topLevel()) ListNode(inv, top, 0, out);
    return out;
}

std::vector<halv::InfoRow> Rows(Inventory& inv, const Address& address, Unknowns* unknowns) {
    if (address.IsDevice())
        return DeviceRows(inv, address.adapter, address.port, address.device, unknowns);
    return AdapterRows(inv, address.adapter, unknowns);
}

std::string RowsText(const std::vector<halv::InfoRow>& rows) {
    constexpr size_t kLabelWidth = 20;
    std::string out;
    for (const halv::InfoRow& r : rows) {
        std::string label = Printable(Label(r.item)) + ":";
        if (label.size() < kLabelWidth) label.resize(kLabelWidth, ' ');
        out += label + " " + Printable(r.value) + "\n";
    }
    return out;
}

std::string ShowText(Inventory& inv, const std::optional<Address>& address, Unknowns* unknowns) {
    if (address) return RowsText(Rows(inv, *address, unknowns));
    std::string out;
    for (int a = 0; a < halv::kMaxAdapters; ++a) {
        if (!inv.HasAdapter(a)) continue;
        // Appended piece by piece: GCC 12's -Wrestrict misreads `"\n" + text` when inlined.
        if (!out.empty()) out += '\n';
        out += AdapterLine(inv, a);
        out += '\n';
        out += RowsText(Rows(inv, Address{a}, unknowns));
        for (int p = 0; p < halv::kMaxPorts; ++p)
            for (int d = 0; d < halv::kMaxDevicesPerPort; ++d)
                if (inv.HasDevice(a, p, d)) {
                    out += '\n';
                    out += DeviceLine(inv, a, p, d);
                    out += '\n';
                    out += RowsText(Rows(inv, Address{a, p, d}, unknowns));
                }
    }
    return out;
}

std::string Rfc3339Utc(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{floor<seconds>(when - day)};
    char text[32];
    snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
             static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
             static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
             static_cast<int>(time.seconds().count()));
    return text;
}

std::string JsonDocument(Inventory& inv, const std::optional<Address>& address,
                         const DocumentFacts& facts, Unknowns* unknowns) {
    Json doc;
    doc["schema_version"] = kSchemaVersion;
    doc["tool_version"] = facts.toolVersion;
    doc["host"] = facts.host.empty() ? Json(nullptr) : Json(facts.host);
    doc["collected_at"] = facts.collectedAt;
    doc["adapters"] = Json::array();
    for (int a = 0; a < halv::kMaxAdapters; ++a) {
        if (!inv.HasAdapter(a) || (address && address->adapter != a)) continue;
        doc["adapters"].push_back(AdapterJson(inv, a, address, unknowns));
    }
    doc["unreadable"] = Json::array();
    // A port that did not open may hold any adapter, the one asked for included.
    for (const UnopenedPort& u : inv.unopened())
        doc["unreadable"].push_back(
            {{"address",
              u.scsiPort >= 0 ? Json("scsi" + std::to_string(u.scsiPort)) : Json(nullptr)},
             {"kind", "port"},
             {"device_name", u.name},
             {"reason", u.error.reason},
             {"error_code", u.error.code}});
    for (const Unreadable& u : inv.unreadable()) {
        if (address && address->adapter != u.address.adapter) continue;
        doc["unreadable"].push_back({{"address", AddressText(u.address)},
                                     {"kind", u.address.IsDevice() ? "device" : "adapter"}});
    }
    // Adapters report their texts in a single-byte code page; a byte that does not make UTF-8
    // becomes U+FFFD rather than an invalid document.
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string AdapterTarget(Inventory& inv, int a) {
    halv::ManagerTables& t = inv.tables();
    const uint32_t pciId = t.ControllerInfo(a).U32(channel::controller_info::PciDeviceId.offset);
    const std::string port = inv.PortName(a);
    return "adapter " + AddressText(a) + " (" + (port.empty() ? "" : port + ", ") +
           Printable(halv::ModelNameFor(t, pciId, static_cast<uint8_t>(a))) + ")";
}

HealthReport CheckHealth(Inventory& inv) {
    HealthReport report;
    std::string lines;
    std::vector<std::string> unknown;  // the summary's parts, worst first
    int devices = 0, functional = 0, predictive = 0, smartUnknown = 0, slots = 0, enclosures = 0;

    for (const UnopenedPort& u : inv.unopened()) {
        lines += UnopenedText(u) + "\n";
        unknown.push_back(Printable(u.name) + " could not be opened");
    }
    for (int a = 0; a < inv.probed(); ++a) {
        if (!inv.HasAdapter(a)) {
            lines += "adapter " + AddressText(a) + " (" + Printable(inv.DeviceName(a)) +
                     "): could not be read\n";
            unknown.push_back("adapter " + AddressText(a) + " could not be read");
            continue;
        }
        for (int p = 0; p < inv.PortsAsked(a); ++p) {
            bool enclosureAsked = false;
            for (int d = 0; d < inv.DevicesAsked(a); ++d) {
                if (inv.IsUnreadable(Address{a, p, d})) {
                    lines += AddressText(a, p, d) + ": device information could not be read\n";
                    ++slots;
                    continue;
                }
                if (!inv.HasDevice(a, p, d)) continue;
                ++devices;
                halv::ManagerTables& t = inv.tables();
                const wire::ByteView rec = t.DeviceInfo(a, p, d);
                const SmartReading smart = ReadSmart(inv, a, p, d);
                if (smart.health == SmartHealth::kFunctional) ++functional;
                if (smart.health == SmartHealth::kPredictiveError) ++predictive;
                if (!smart.known()) ++smartUnknown;
                lines += DeviceLine(inv, a, p, d) + " serial " +
                         Printable(halv::FieldText(rec, di::SerialNumber)) + ": " +
                         SmartHealthText(smart.health) + "\n";
                // One enclosure per port: asked once, for the first disk on it.
                if (t.DeviceEntries[a][p][d].IsPacket || enclosureAsked) continue;
                enclosureAsked = true;
                if (!ReadEnclosure(inv, a, p).known) {
                    lines += PortText(a, p) + ": enclosure state could not be read\n";
                    ++enclosures;
                }
            }
        }
    }
    const std::string of = " of " + std::to_string(devices) + " device" + (devices == 1 ? "" : "s");
    if (smartUnknown)
        unknown.push_back("S.M.A.R.T. state of " + std::to_string(smartUnknown) + of + " unknown");
    if (slots)
        unknown.push_back(std::to_string(slots) + " device slot" + (slots == 1 ? "" : "s") +
                          " could not be read");
    if (enclosures)
        unknown.push_back("enclosure state of " + std::to_string(enclosures) + " port" +
                          (enclosures == 1 ? "" : "s") + " unknown");
    const std::string predictiveText = std::to_string(predictive) + of + " report Predictive Error";

    std::string summary;
    if (!unknown.empty()) {
        report.exitCode = kHealthUnreadable;
        summary = "UNKNOWN: ";
        for (size_t i = 0; i < unknown.size(); ++i) summary += (i ? "; " : "") + unknown[i];
        if (predictive) summary += "; " + predictiveText;
    } else if (predictive) {
        report.exitCode = kHealthPredictive;
        summary = "CRITICAL: " + predictiveText;
    } else if (inv.probed() == 0) {
        report.exitCode = kHealthNoAdapter;
        summary = "UNKNOWN: no adapter found";
    } else {
        report.exitCode = kHealthOk;
        const int without = devices - functional;
        summary = "OK: " + std::to_string(functional) + " device" + (functional == 1 ? "" : "s") +
                  " functional";
        if (without) summary += ", " + std::to_string(without) + " without S.M.A.R.T. state";
    }
    report.text = summary + "\n" + lines;
    return report;
}

}  // namespace halvctl
