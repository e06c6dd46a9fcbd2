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

// The list line of an adapter or device: its address and its tree label.
std::string AdapterLine(Inventory& inv, int a) {
    return AddressText(a) + " " +
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
        if (const std::optional<Address> address = AddressOfItem(inv, item))
            out += AddressText(*address) + " ";
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

// The enclosure reading of the device's port, as the list's enclosure rows show it, with the
// numbers of the reply beside HALV's texts.
Json EnclosureJson(Inventory& inv, int a, int p) {
    channel::Request r(channel::MPCMD_GET_ENCLOSURE_STATUS);
    const wire::ByteView reply = r.view();
    reply.Put8(es::Port.offset, static_cast<uint8_t>(p));
    const bool answered = inv.channel().SendOnce(a, r);
    channel::EnclosureTexts texts;
    const int result =
        answered ? channel::EnclosureTextsOf(reply, texts) : channel::kEnclosureFailed;
    const std::vector<halv::InfoRow> rows = halv::EnclosureRows(result, texts);

    Json e;
    if (result != channel::kEnclosureOneFan && result != channel::kEnclosureTwoFans) {
        e["type"] = nullptr;
        e["type_code"] = answered ? Json(reply.U8(es::EnclosureType.offset)) : Json(nullptr);
        e["swapbox_status"] = RowValue(rows, " SwapBox Status");
        return e;
    }
    const bool twoFans = result == channel::kEnclosureTwoFans;
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

Json DeviceJson(Inventory& inv, int a, int p, int d) {
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

    const bool enabled = (entry.SmartFlags & halv::kSmartEnabled) != 0;
    Json smart = {{"supported", (entry.SmartFlags & halv::kSmartSupported) != 0},
                  {"enabled", enabled},
                  {"state", nullptr},
                  {"value", nullptr}};
    if (enabled) {
        const uint8_t state = inv.channel().QuerySmartState(
            static_cast<uint8_t>(a), static_cast<uint8_t>(p), static_cast<uint8_t>(d));
        smart["state"] = halv::SmartStateText(state);
        smart["value"] = state;
    }
    j["smart"] = smart;
    j["enclosure"] = !packet && entry.HasEnclosure == 1 ? EnclosureJson(inv, a, p) : Json(nullptr);
    return j;
}

Json AdapterJson(Inventory& inv, int a, const std::optional<Address>& only) {
    halv::ManagerTables& t = inv.tables();
    const uint32_t pciId = t.ControllerInfo(a).U32(channel::controller_info::PciDeviceId.offset);
    const halv::ControllerEntry& entry = t.ControllerEntries[a];

    Json j;
    j["number"] = a;
    j["device_name"] = inv.DeviceName(a);
    j["model"] = halv::ModelNameFor(t, pciId, static_cast<uint8_t>(a));
    j["chip"] = halv::ChipNameFor(pciId);
    j["pci_device_id"] = pciId;
    j["pci_device_id_hex"] = Hex16(pciId);
    j["bios_version"] = inv.channel().ReadBiosVersion(static_cast<uint8_t>(a));
    j["driver_version"] =
        std::string(entry.DriverVersion, strnlen(entry.DriverVersion, sizeof entry.DriverVersion));
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
            port["devices"].push_back(DeviceJson(inv, a, p, d));
        }
        j["ports"].push_back(port);
    }
    return j;
}

}  // namespace

std::string ListText(Inventory& inv) {
    std::string out;
    for (TreeItem top : inv.tree().topLevel()) ListNode(inv, top, 0, out);
    return out;
}

std::vector<halv::InfoRow> Rows(Inventory& inv, const Address& address) {
    RowList list;
    halv::InfoListFiller filler(inv.tables(), inv.channel(), &list);
    if (address.IsDevice())
        filler.ShowDeviceInfo(static_cast<uint8_t>(address.adapter),
                              static_cast<uint8_t>(address.port),
                              static_cast<uint8_t>(address.device));
    else
        filler.ShowControllerInfo(static_cast<uint8_t>(address.adapter));
    return list.rows;
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

std::string ShowText(Inventory& inv, const std::optional<Address>& address) {
    if (address) return RowsText(Rows(inv, *address));
    std::string out;
    for (int a = 0; a < halv::kMaxAdapters; ++a) {
        if (!inv.HasAdapter(a)) continue;
        out += (out.empty() ? "" : "\n") + AdapterLine(inv, a) + "\n" +
               RowsText(Rows(inv, Address{a}));
        for (int p = 0; p < halv::kMaxPorts; ++p)
            for (int d = 0; d < halv::kMaxDevicesPerPort; ++d)
                if (inv.HasDevice(a, p, d))
                    out += "\n" + DeviceLine(inv, a, p, d) + "\n" +
                           RowsText(Rows(inv, Address{a, p, d}));
    }
    return out;
}

std::string JsonDocument(Inventory& inv, const std::optional<Address>& address) {
    Json doc;
    doc["schema_version"] = kSchemaVersion;
    doc["adapters"] = Json::array();
    for (int a = 0; a < halv::kMaxAdapters; ++a) {
        if (!inv.HasAdapter(a) || (address && address->adapter != a)) continue;
        doc["adapters"].push_back(AdapterJson(inv, a, address));
    }
    doc["unreadable"] = Json::array();
    for (const Unreadable& u : inv.unreadable()) {
        if (address && address->adapter != u.address.adapter) continue;
        doc["unreadable"].push_back({{"address", AddressText(u.address)},
                                     {"kind", u.address.IsDevice() ? "device" : "adapter"}});
    }
    // Adapters report their texts in a single-byte code page; a byte that does not make UTF-8
    // becomes U+FFFD rather than an invalid document.
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

HealthReport CheckHealth(Inventory& inv) {
    HealthReport report;
    if (inv.probed() == 0) {
        report.exitCode = kHealthNoAdapter;
        report.text = "no adapter found\n";
        return report;
    }
    bool predictive = false, unreadable = false;
    for (int a = 0; a < inv.probed(); ++a) {
        if (!inv.HasAdapter(a)) {
            report.text += "adapter " + AddressText(a) + " (" + Printable(inv.DeviceName(a)) +
                           "): could not be read\n";
            unreadable = true;
            continue;
        }
        for (int p = 0; p < inv.PortsAsked(a); ++p)
            for (int d = 0; d < inv.DevicesAsked(a); ++d) {
                if (inv.IsUnreadable(Address{a, p, d})) {
                    report.text +=
                        AddressText(a, p, d) + ": device information could not be read\n";
                    unreadable = true;
                    continue;
                }
                if (!inv.HasDevice(a, p, d)) continue;
                const uint8_t flags = inv.tables().DeviceEntries[a][p][d].SmartFlags;
                std::string state;
                if (flags & halv::kSmartEnabled) {
                    // The list's S.M.A.R.T. row, asked afresh as selecting the device would.
                    const uint8_t value = inv.channel().QuerySmartState(
                        static_cast<uint8_t>(a), static_cast<uint8_t>(p), static_cast<uint8_t>(d));
                    state = halv::SmartStateText(value);
                    if (value == channel::smart_status::kPredictiveError) predictive = true;
                    // "Temporarily Unknown": the request failed or its answer means nothing.
                    if (value != channel::smart_status::kFunctional &&
                        value != channel::smart_status::kPredictiveError)
                        unreadable = true;
                } else {
                    state = flags & halv::kSmartSupported ? "S.M.A.R.T. not enabled"
                                                          : "S.M.A.R.T. not supported";
                }
                report.text += DeviceLine(inv, a, p, d) + ": " + state + "\n";
            }
    }
    report.exitCode = unreadable ? kHealthUnreadable : predictive ? kHealthPredictive : kHealthOk;
    return report;
}

}  // namespace halvctl
