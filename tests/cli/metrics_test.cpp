// halvctl metrics over simulated adapters in-process: the exposition text read back sample by
// sample against "show --json", checked by Debian's promtool, with hostile texts and failed
// requests; the command and its textfile in a scratch folder.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/protocol.h"
#include "cli/console_doubles.h"
#include "manager/cli/core/halvctl.h"
#include "manager/cli/core/inventory.h"
#include "manager/cli/core/metrics.h"
#include "manager/cli/core/report.h"
#include "manager/core/stdio_files.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Labels = std::map<std::string, std::string>;

constexpr int kAdapter0 = 1;  // the default population's adapter 0 sits at \\.\Scsi1:

struct Sample {
    std::string name;
    Labels labels;
    double value = 0;
};

// A reader of the format, as strict as the tests need: every sample line is
// name{label="value",...} value, label values with the format's three escapes only.
struct Exposition {
    std::vector<Sample> samples;
    std::vector<std::string> typed;  // families in # TYPE order

    explicit Exposition(const std::string& text) {
        if (text.empty() || text.back() != '\n') throw std::runtime_error("no final newline");
        size_t at = 0;
        while (at < text.size()) {
            const size_t end = text.find('\n', at);
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            if (line.rfind("# TYPE ", 0) == 0) {
                typed.push_back(line.substr(7, line.find(' ', 7) - 7));
                continue;
            }
            if (line.rfind("#", 0) == 0) continue;
            samples.push_back(Parse(line));
        }
    }

    static Sample Parse(const std::string& line) {
        Sample s;
        size_t i = line.find_first_of("{ ");
        s.name = line.substr(0, i);
        if (line[i] == '{') {
            ++i;
            while (line[i] != '}') {
                const size_t eq = line.find('=', i);
                const std::string name = line.substr(i, eq - i);
                if (line[eq + 1] != '"') throw std::runtime_error("unquoted label: " + line);
                std::string value;
                for (i = eq + 2; line[i] != '"'; ++i) {
                    if (line[i] != '\\') {
                        value += line[i];
                        continue;
                    }
                    const char e = line[++i];
                    if (e == 'n')
                        value += '\n';
                    else if (e == '\\' || e == '"')
                        value += e;
                    else
                        throw std::runtime_error("bad escape: " + line);
                }
                s.labels[name] = value;
                ++i;
                if (line[i] == ',') ++i;
            }
            ++i;
        }
        if (line[i] != ' ') throw std::runtime_error("no value: " + line);
        s.value = std::stod(line.substr(i + 1));
        return s;
    }

    std::vector<Sample> Named(const std::string& name) const {
        std::vector<Sample> out;
        for (const Sample& s : samples)
            if (s.name == name) out.push_back(s);
        return out;
    }
    // The one sample of `name` whose labels include `match`; fails the test otherwise.
    const Sample* Find(const std::string& name, const Labels& match) const {
        const Sample* found = nullptr;
        for (const Sample& s : samples) {
            if (s.name != name) continue;
            bool all = true;
            for (const auto& [k, v] : match) {
                const auto it = s.labels.find(k);
                all = all && it != s.labels.end() && it->second == v;
            }
            if (!all) continue;
            EXPECT_EQ(found, nullptr) << "two samples of " << name;
            found = &s;
        }
        return found;
    }
};

// promtool's own reader and linter over the text; its output on failure.
std::string PromtoolCheck(const std::string& text) {
    char path[] = "/tmp/halv-metrics-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "mkstemp failed";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "write";
    close(fd);
    const std::string command = std::string(HALV_PROMTOOL) + " check metrics < " + path + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    std::string out;
    char buffer[256];
    while (p && fgets(buffer, sizeof buffer, p)) out += buffer;
    const int status = p ? pclose(p) : -1;
    unlink(path);
    return status == 0 ? ""
                       : "promtool check metrics failed (" + std::to_string(status) + "): " + out;
}

using halvctl_test::FsPlacement;
using halvctl_test::RecordingConsole;

class NoSetting final : public halv::QueuedCommandStore {
  public:
    uint8_t QueuedCommandSetting(uint8_t) override { return halv::kQueuedCommandUnreadable; }
};

// A device layer whose every open throws, as an allocation failing in the middle would.
class ThrowingDevices final : public channel::DeviceAccess {
  public:
    channel::DeviceHandle Open(const char*) override { throw std::runtime_error("no memory"); }
    bool MiniportControl(channel::DeviceHandle, std::span<uint8_t>) override { return false; }
    void Close(channel::DeviceHandle) override {}
};

class Metrics : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
        char pattern[] = "/tmp/halvctl-metrics-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        EXPECT_EQ(io.OpenHandles(), 0u) << "a device was left open";
        fs::remove_all(dir);
    }

    std::string Text() {
        halvctl::Inventory inv(io);
        inv.Discover(nt);
        return halvctl::MetricsText(halvctl::CollectMetrics(inv));
    }
    // The text after discovery, with `fault` injected between discovery and the requests.
    std::string TextWithFault(int position, uint32_t command) {
        halvctl::Inventory inv(io);
        inv.Discover(nt);
        sim::InjectFault(pop->adapters[position], command, sim::kFaultCallFails);
        return halvctl::MetricsText(halvctl::CollectMetrics(inv));
    }
    json Json() {
        halvctl::Inventory inv(io);
        inv.Discover(nt);
        return json::parse(halvctl::JsonDocument(inv, std::nullopt, {}));
    }
    int Run(std::vector<std::string> args, channel::DeviceAccess* devices = nullptr) {
        console = RecordingConsole();
        halvctl::HalvctlPorts ports{
            devices ? *devices : io, nt, setting, files, placement, console};
        return halvctl::Run(args, ports);
    }
    std::string ReadFile(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimDeviceAccess io{*pop};
    sim::FixedSystemVersion nt{2};
    NoSetting setting;
    halv::StdioBinaryFiles files;
    FsPlacement placement;
    RecordingConsole console;
    fs::path dir;
};

Labels DeviceLabels(const std::string& address) {
    return {{"address", address}};
}

// ---- The text -------------------------------------------------------------------------------

TEST_F(Metrics, EveryValueIsWhatShowJsonGives) {
    const Exposition m(Text());
    const json doc = Json();
    ASSERT_EQ(doc["unreadable"].size(), 0u);
    EXPECT_EQ(m.Find("halv_up", {})->value, 1);
    EXPECT_EQ(m.Find("halv_adapters", {})->value, doc["adapters"].size());

    size_t devices = 0, enclosureSeries = 0;
    std::set<std::string> enclosurePorts;
    for (const json& a : doc["adapters"]) {
        const std::string adapter = std::to_string(a["number"].get<int>());
        const Sample* info = m.Find("halv_adapter_info", {{"adapter", adapter}});
        ASSERT_NE(info, nullptr) << adapter;
        EXPECT_EQ(info->labels.at("model"), a["model"]);
        EXPECT_EQ(info->labels.at("chip"), a["chip"]);
        EXPECT_EQ(info->labels.at("pci_device_id"), a["pci_device_id_hex"]);
        EXPECT_EQ(info->labels.at("bios_version"), a["bios_version"]);
        EXPECT_EQ(info->labels.at("driver_version"), a["driver_version"]);
        ASSERT_TRUE(a["scsi_port"].is_string());
        EXPECT_EQ(info->labels.at("scsi_port"), a["scsi_port"]);
        EXPECT_EQ(m.Find("halv_scsi_port_readable", {{"scsi_port", a["scsi_port"]}})->value, 1);
        EXPECT_EQ(m.Find("halv_adapter_readable", {{"adapter", adapter}})->value, 1);

        for (const json& p : a["ports"])
            for (const json& d : p["devices"]) {
                ++devices;
                const std::string address = d["address"];
                SCOPED_TRACE(address);
                const Sample* di = m.Find("halv_device_info", DeviceLabels(address));
                ASSERT_NE(di, nullptr);
                EXPECT_EQ(di->labels.at("adapter"), adapter);
                EXPECT_EQ(di->labels.at("port"), std::to_string(p["number"].get<int>()));
                EXPECT_EQ(di->labels.at("device"), std::to_string(d["number"].get<int>()));
                for (const char* key : {"kind", "model", "serial", "firmware"})
                    EXPECT_EQ(di->labels.at(key), d[key]) << key;
                EXPECT_EQ(di->labels.at("transfer_mode"), d["transfer_mode"]["text"]);

                const Sample* capacity =
                    m.Find("halv_device_capacity_bytes", DeviceLabels(address));
                if (d["capacity"].is_null()) {
                    EXPECT_EQ(capacity, nullptr);
                } else {
                    ASSERT_NE(capacity, nullptr);
                    EXPECT_EQ(capacity->value, d["capacity"]["sectors"].get<double>() * 512);
                }

                const json& smart = d["smart"];
                const double expected = !smart["supported"].get<bool>() ? 3
                                        : !smart["enabled"].get<bool>()
                                            ? 0
                                            : smart["value"].get<double>();
                EXPECT_EQ(m.Find("halv_device_smart_state", DeviceLabels(address))->value,
                          expected);
                EXPECT_EQ(m.Find("halv_device_readable", DeviceLabels(address))->value, 1);

                const json& e = d["enclosure"];
                const std::string port = std::to_string(p["number"].get<int>());
                if (e.is_null() || !enclosurePorts.insert(adapter + "/" + port).second) continue;
                const Labels at = {{"adapter", adapter}, {"port", port}};
                EXPECT_EQ(m.Find("halv_enclosure_readable", at)->value, 1);
                if (e["type"].is_null()) {
                    EXPECT_EQ(m.Find("halv_enclosure_info", at), nullptr);
                    continue;
                }
                const Sample* ei = m.Find("halv_enclosure_info", at);
                ASSERT_NE(ei, nullptr);
                EXPECT_EQ(ei->labels.at("type"), e["type"]);
                EXPECT_EQ(ei->labels.at("bay"),
                          e["bay"].is_null() ? "" : std::to_string(e["bay"]["number"].get<int>()));
                for (size_t i = 0; i < e["temperatures"].size(); ++i, ++enclosureSeries) {
                    Labels sensor = at;
                    sensor["sensor"] = std::to_string(i + 1);
                    EXPECT_EQ(m.Find("halv_enclosure_temperature_celsius", sensor)->value,
                              e["temperatures"][i]["celsius"].get<double>());
                }
                for (size_t i = 0; i < e["fans_rpm"].size(); ++i, ++enclosureSeries) {
                    Labels fan = at;
                    fan["fan"] = std::to_string(i + 1);
                    EXPECT_EQ(m.Find("halv_enclosure_fan_speed_rpm", fan)->value,
                              e["fans_rpm"][i].get<double>());
                }
                for (const auto& [rail, key] : {std::pair{"5V", "5v"}, std::pair{"12V", "12v"}}) {
                    Labels r = at;
                    r["rail"] = rail;
                    EXPECT_EQ(m.Find("halv_enclosure_supply_voltage_volts", r)->value,
                              e["voltages"][key]["millivolts"].get<double>() / 1000);
                    ++enclosureSeries;
                }
            }
    }
    // Nothing beyond what the document holds.
    EXPECT_EQ(m.Named("halv_scsi_port_readable").size(), doc["adapters"].size());
    EXPECT_EQ(m.Named("halv_device_info").size(), devices);
    EXPECT_EQ(m.Named("halv_device_readable").size(), devices);
    EXPECT_EQ(m.Named("halv_enclosure_readable").size(), enclosurePorts.size());
    EXPECT_EQ(m.Named("halv_enclosure_temperature_celsius").size() +
                  m.Named("halv_enclosure_fan_speed_rpm").size() +
                  m.Named("halv_enclosure_supply_voltage_volts").size(),
              enclosureSeries);
    EXPECT_GT(enclosureSeries, 0u);
}

TEST_F(Metrics, EachFamilyIsDescribedOnceBeforeItsSamplesAndPromtoolAcceptsTheText) {
    const std::string text = Text();
    const Exposition m(text);
    std::set<std::string> families(m.typed.begin(), m.typed.end());
    EXPECT_EQ(families.size(), m.typed.size()) << "a family described twice";
    for (const char* name :
         {"halv_up", "halv_adapters", "halv_collect_duration_seconds",
          "halv_last_collect_timestamp_seconds", "halv_scsi_port_readable", "halv_adapter_info",
          "halv_device_info", "halv_device_capacity_bytes", "halv_device_smart_state",
          "halv_device_readable", "halv_enclosure_info", "halv_enclosure_temperature_celsius",
          "halv_enclosure_fan_speed_rpm", "halv_enclosure_supply_voltage_volts"})
        EXPECT_TRUE(families.count(name)) << name;
    for (const Sample& s : m.samples) EXPECT_TRUE(families.count(s.name)) << s.name;
    // The samples of one family stand together, after its description.
    size_t family = 0;
    for (const Sample& s : m.samples) {
        while (family < m.typed.size() && m.typed[family] != s.name) ++family;
        ASSERT_LT(family, m.typed.size()) << s.name << " out of its family's place";
    }
    EXPECT_EQ(PromtoolCheck(text), "");
}

TEST_F(Metrics, HostileTextsStayInTheirLabels) {
    // A model with a quote, a backslash, a line feed, a carriage return, an escape and a byte
    // that is no UTF-8; a serial that would close the label and add one of its own.
    sim::SimDevice& disk = pop->adapters[kAdapter0].devices[0][0];
    const char model[] = "A\"B\\C\nD\rE\x1b[2JF\xff";
    memset(disk.model, 0, sizeof disk.model);
    memcpy(disk.model, model, sizeof model - 1);
    const char serial[] = "X\",evil=\"1";
    memset(disk.serial, 0, sizeof disk.serial);
    memcpy(disk.serial, serial, sizeof serial - 1);
    const char name[] = "Velo\\\"\n\x7f";
    memset(pop->adapters[2].name, 0, sizeof pop->adapters[2].name);
    memcpy(pop->adapters[2].name, name, sizeof name - 1);

    const std::string text = Text();
    EXPECT_EQ(PromtoolCheck(text), "");
    const Exposition m(text);
    const Sample* d = m.Find("halv_device_info", DeviceLabels("0/0/0"));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->labels.at("model"), "A\"B\\C\nD?E?[2JF\xEF\xBF\xBD");
    EXPECT_EQ(d->labels.at("serial"), serial);
    EXPECT_EQ(d->labels.count("evil"), 0u);
    EXPECT_EQ(m.Find("halv_adapter_info", {{"adapter", "1"}})->labels.at("model"), "Velo\\\"\n?");
    // Every line is a sample or a comment: no text made a line of its own.
    for (const Sample& s : m.samples) EXPECT_EQ(s.name.rfind("halv_", 0), 0u) << s.name;
}

TEST_F(Metrics, AFailedRequestLeavesItsValueOutAndSaysUnreadable) {
    {
        SCOPED_TRACE("S.M.A.R.T.");
        const Exposition m(TextWithFault(kAdapter0, channel::MPCMD_GET_SMART_STATUS));
        // 0/1/0 reports Predictive Error when asked; a failed request is no state at all,
        // least of all "not supported" (3).
        for (const char* address : {"0/0/0", "0/1/0", "0/2/0"}) {
            EXPECT_EQ(m.Find("halv_device_smart_state", DeviceLabels(address)), nullptr);
            EXPECT_EQ(m.Find("halv_device_readable", DeviceLabels(address))->value, 0);
            EXPECT_NE(m.Find("halv_device_info", DeviceLabels(address)), nullptr);
        }
        EXPECT_EQ(m.Find("halv_device_smart_state", DeviceLabels("1/1/0"))->value, 1);
        EXPECT_EQ(m.Find("halv_device_readable", DeviceLabels("1/1/0"))->value, 1);
    }
    {
        // Failing from the start, discovery's own requests fail too: it keeps "not
        // supported" and "no enclosure", which must not become values here.
        SCOPED_TRACE("S.M.A.R.T. and enclosure failing in discovery too");
        sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_SMART_STATUS,
                         sim::kFaultCallFails);
        sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_ENCLOSURE_STATUS,
                         sim::kFaultCallFails);
        const Exposition m(Text());
        for (const char* address : {"0/0/0", "0/1/0", "0/2/0"}) {
            EXPECT_EQ(m.Find("halv_device_smart_state", DeviceLabels(address)), nullptr);
            EXPECT_EQ(m.Find("halv_device_readable", DeviceLabels(address))->value, 0);
        }
        for (const char* port : {"0", "1"}) {
            const Labels at = {{"adapter", "0"}, {"port", port}};
            const Sample* readable = m.Find("halv_enclosure_readable", at);
            ASSERT_NE(readable, nullptr) << port;
            EXPECT_EQ(readable->value, 0);
            EXPECT_EQ(m.Find("halv_enclosure_info", at), nullptr);
        }
        // The optical drive's port has no disk, so no enclosure of its own to ask for.
        EXPECT_EQ(m.Find("halv_enclosure_readable", {{"adapter", "0"}, {"port", "2"}}), nullptr);
        ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, nullptr));
    }
    {
        SCOPED_TRACE("enclosure");
        const Exposition m(TextWithFault(kAdapter0, channel::MPCMD_GET_ENCLOSURE_STATUS));
        for (const char* port : {"0", "1"}) {
            const Labels at = {{"adapter", "0"}, {"port", port}};
            EXPECT_EQ(m.Find("halv_enclosure_readable", at)->value, 0);
            EXPECT_EQ(m.Find("halv_enclosure_info", at), nullptr);
        }
        for (const Sample& s : m.Named("halv_enclosure_temperature_celsius"))
            EXPECT_EQ(s.labels.at("adapter"), "1");
        EXPECT_EQ(m.Find("halv_enclosure_readable", {{"adapter", "1"}, {"port", "0"}})->value, 1);
    }
    {
        SCOPED_TRACE("BIOS");
        const Exposition m(TextWithFault(kAdapter0, channel::MPCMD_READ_BIOS));
        const Sample* info = m.Find("halv_adapter_info", {{"adapter", "0"}});
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->labels.at("bios_version"), "");  // not "Temporarily Unknown"
        EXPECT_EQ(m.Find("halv_adapter_readable", {{"adapter", "0"}})->value, 0);
        EXPECT_EQ(m.Find("halv_adapter_readable", {{"adapter", "1"}})->value, 1);
    }
}

TEST_F(Metrics, AStateThatMeansNothingIsUnknownAsInShow) {
    pop->adapters[kAdapter0].devices[1][0].smartState = 7;
    const Exposition m(Text());
    EXPECT_EQ(m.Find("halv_device_smart_state", DeviceLabels("0/1/0")), nullptr);
    EXPECT_EQ(m.Find("halv_device_readable", DeviceLabels("0/1/0"))->value, 0);
    EXPECT_EQ(Run({"show", "0/1/0"}), halvctl::kExitFailed);
    EXPECT_NE(console.out.find("Temporarily Unknown"), std::string::npos);
}

// Beyond discovery, one request per device (its S.M.A.R.T. state), one per port with a disk
// (its enclosure) and the BIOS read of each adapter: nothing is asked twice.
TEST_F(Metrics, ACollectionAsksEachValueOnce) {
    auto requests = [&] {
        uint32_t n = 0;
        for (const sim::SimAdapter& a : pop->adapters) n += a.counters.requests;
        return n;
    };
    halvctl::Inventory inv(io);
    inv.Discover(nt);
    uint32_t before = requests();
    ASSERT_TRUE(halvctl::ReadBiosVersion(inv, 0));
    const uint32_t biosRead = requests() - before;
    ASSERT_GT(biosRead, 0u);

    uint32_t devices = 0, diskPorts = 0;
    for (int a = 0; a < inv.probed(); ++a)
        for (int p = 0; p < inv.PortsAsked(a); ++p) {
            bool disk = false;
            for (int d = 0; d < inv.DevicesAsked(a); ++d)
                if (inv.HasDevice(a, p, d)) {
                    ++devices;
                    disk = disk || !inv.tables().DeviceEntries[a][p][d].IsPacket;
                }
            diskPorts += disk;
        }
    before = requests();
    const halvctl::MetricsSnapshot s = halvctl::CollectMetrics(inv);
    EXPECT_EQ(requests() - before, devices + diskPorts + biosRead * inv.probed());
    EXPECT_EQ(s.devices.size(), devices);
}

TEST_F(Metrics, SlotsAndAdaptersDiscoveryCouldNotReadAreUnreadableWithoutValues) {
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_DEVICE_INFO, sim::kFaultCallFails);
    pop->adapters[3].exists = 1;  // answers the probe, then fails its controller information
    pop->adapters[3].pciDeviceId = 0x6A31;
    sim::InjectFault(pop->adapters[3], channel::MPCMD_GET_CONTROLLER_INFO, sim::kFaultCallFails);
    const Exposition m(Text());
    EXPECT_EQ(m.Find("halv_adapters", {})->value, 3);
    EXPECT_EQ(m.Find("halv_adapter_readable", {{"adapter", "2"}})->value, 0);
    EXPECT_EQ(m.Find("halv_adapter_info", {{"adapter", "2"}}), nullptr);
    const std::vector<Sample> readable = m.Named("halv_device_readable");
    size_t unread = 0;
    for (const Sample& s : readable)
        if (s.labels.at("adapter") == "1") {
            EXPECT_EQ(s.value, 0) << s.labels.at("address");
            EXPECT_EQ(m.Find("halv_device_info", DeviceLabels(s.labels.at("address"))), nullptr);
            EXPECT_EQ(m.Find("halv_device_smart_state", DeviceLabels(s.labels.at("address"))),
                      nullptr);
            ++unread;
        }
    EXPECT_EQ(unread, 8u);  // four ports, two devices each: every slot asked for
}

// A SCSI port that is there but does not open: named on standard error and in its own series,
// and the adapter that moved up to number 0 keeps its port name beside the number.
TEST_F(Metrics, APortThatDoesNotOpenIsUnreadableAndAdaptersCarryTheirPort) {
    pop->adapters[kAdapter0].openFails = 1;  // \\.\Scsi2:'s adapter becomes adapter 0
    EXPECT_EQ(Run({"metrics"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err,
              "halvctl: metrics: \\\\.\\Scsi1: could not be opened: Access is denied. (run "
              "halvctl elevated, from an administrator's prompt)\n");
    const Exposition m(console.out);
    EXPECT_EQ(PromtoolCheck(console.out), "");
    EXPECT_EQ(m.Find("halv_up", {})->value, 1);
    const Sample* port = m.Find("halv_scsi_port_readable", {{"scsi_port", "scsi1"}});
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->value, 0);
    EXPECT_EQ(port->labels.at("device_name"), "\\\\.\\Scsi1:");
    EXPECT_EQ(m.Find("halv_scsi_port_readable", {{"scsi_port", "scsi2"}})->value, 1);
    EXPECT_EQ(m.Find("halv_adapter_info", {{"adapter", "0"}})->labels.at("scsi_port"), "scsi2");
    EXPECT_EQ(m.Find("halv_adapters", {})->value, 1);
}

TEST_F(Metrics, AFailedCollectionIsUpZeroAndNothingElseButItsTime) {
    halvctl::MetricsSnapshot failed;
    failed.timestampSeconds = 1700000000.5;
    const std::string text = halvctl::MetricsText(failed);
    EXPECT_EQ(PromtoolCheck(text), "");
    const Exposition m(text);
    ASSERT_EQ(m.samples.size(), 2u);
    EXPECT_EQ(m.Find("halv_up", {})->value, 0);
    EXPECT_EQ(m.Find("halv_last_collect_timestamp_seconds", {})->value, 1700000000.5);
}

TEST(MetricsFormat, SampleValuesReadBackExactly) {
    EXPECT_EQ(halvctl::SampleValue(0), "0");
    EXPECT_EQ(halvctl::SampleValue(3120), "3120");
    EXPECT_EQ(halvctl::SampleValue(4.98), "4.98");
    EXPECT_EQ(halvctl::SampleValue(500107862016.0), "500107862016");
    EXPECT_EQ(std::stod(halvctl::SampleValue(0.1 + 0.2)), 0.1 + 0.2);
}

// ---- The command ----------------------------------------------------------------------------

TEST_F(Metrics, CommandPrintsTheTextWithShowsExitCodes) {
    EXPECT_EQ(Run({"metrics"}), halvctl::kExitOk);
    EXPECT_EQ(console.err, "");
    const Exposition m(console.out);
    EXPECT_EQ(m.Find("halv_device_smart_state", DeviceLabels("0/1/0"))->value, 2);
    EXPECT_GT(m.Find("halv_last_collect_timestamp_seconds", {})->value, 1.6e9);

    EXPECT_EQ(Run({"metrics", "extra"}), halvctl::kExitRefused);
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(Run({"metrics", "--json"}), halvctl::kExitRefused);
    EXPECT_EQ(Run({"metrics", "--textfile"}), halvctl::kExitRefused);  // no folder

    EXPECT_EQ(Run({"metrics", "--help"}), halvctl::kExitOk);
    EXPECT_NE(console.out.find("schtasks"), std::string::npos);
    EXPECT_EQ(Run({"help", "metrics"}), halvctl::kExitOk);

    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_DEVICE_INFO, sim::kFaultCallFails);
    EXPECT_EQ(Run({"metrics"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("device 1/0/0 could not be read"), std::string::npos);
    EXPECT_EQ(Exposition(console.out).Find("halv_up", {})->value, 1);
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_DEVICE_INFO, sim::kFaultNone);

    // A value that is unknown is a failure as in show, named in show's words; the rest of the
    // text is still written.
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_SMART_STATUS,
                     sim::kFaultCallFails);
    EXPECT_EQ(Run({"metrics"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("halvctl: metrics: S.M.A.R.T. state of device 0/1/0 could not be "
                               "read\n"),
              std::string::npos)
        << console.err;
    EXPECT_EQ(Exposition(console.out).Find("halv_device_readable", DeviceLabels("0/1/0"))->value,
              0);
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_SMART_STATUS, sim::kFaultNone);
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_ENCLOSURE_STATUS, sim::kFaultCallFails);
    EXPECT_EQ(Run({"metrics"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("halvctl: metrics: enclosure of port 1/0 could not be read\n"),
              std::string::npos)
        << console.err;
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_ENCLOSURE_STATUS, sim::kFaultNone);
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_READ_BIOS, sim::kFaultCallFails);
    EXPECT_EQ(Run({"metrics"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err, "halvctl: metrics: BIOS version of adapter 0 could not be read\n");
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_READ_BIOS, sim::kFaultNone);

    // No adapter is no failure, as in show.
    for (sim::SimAdapter& a : pop->adapters) a.exists = 0;
    EXPECT_EQ(Run({"metrics"}), halvctl::kExitOk);
    EXPECT_EQ(console.err, "halvctl: metrics: no adapter found\n");
    EXPECT_EQ(Exposition(console.out).Find("halv_adapters", {})->value, 0);
}

TEST_F(Metrics, TextfileIsReplacedWholeAndNothingElseIsLeft) {
    const fs::path prom = dir / "halv.prom";
    { std::ofstream(prom) << "old\n"; }
    ASSERT_EQ(Run({"metrics", "--TextFile", dir.string()}), halvctl::kExitOk);  // any case
    EXPECT_EQ(console.out, "");
    const std::string text = ReadFile(prom);
    EXPECT_EQ(PromtoolCheck(text), "");
    EXPECT_EQ(Exposition(text).Find("halv_device_smart_state", DeviceLabels("0/1/0"))->value, 2);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    // A folder that does not exist: no file, the reason named, exit 1.
    EXPECT_EQ(Run({"metrics", "--textfile", (dir / "missing").string()}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("cannot create"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "missing"));

    // halv.prom that cannot be replaced (a folder of that name): the old one stays, and the
    // file written under another name is gone.
    fs::remove(prom);
    fs::create_directory(prom);
    fs::create_directory(prom / "keep");
    EXPECT_EQ(Run({"metrics", "--textfile", dir.string() + "/"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("cannot replace"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(prom / "keep"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(Metrics, AFailedCollectionStillWritesUpZero) {
    ThrowingDevices throwing;
    EXPECT_EQ(Run({"metrics", "--textfile", dir.string()}, &throwing), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("collection failed: no memory"), std::string::npos);
    const Exposition m(ReadFile(dir / "halv.prom"));
    EXPECT_EQ(m.Find("halv_up", {})->value, 0);
    EXPECT_EQ(m.Find("halv_device_info", {}), nullptr);

    // A Windows family discovery does not know: nothing can be asked.
    sim::FixedSystemVersion unknown{0};
    console = RecordingConsole();
    halvctl::HalvctlPorts ports{io, unknown, setting, files, placement, console};
    EXPECT_EQ(halvctl::Run({"metrics"}, ports), halvctl::kExitFailed);
    EXPECT_EQ(Exposition(console.out).Find("halv_up", {})->value, 0);
}

}  // namespace
