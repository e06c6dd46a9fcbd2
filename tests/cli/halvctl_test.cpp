// halvctl's commands over simulated adapters in-process, real files in a scratch folder and an
// in-memory queued-command setting: what each prints, its exit code, and what reached the
// adapters.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/console_doubles.h"
#include "manager/cli/core/backup_file.h"
#include "manager/cli/core/halvctl.h"
#include "manager/cli/core/inventory.h"
#include "manager/cli/core/report.h"
#include "manager/core/discovery.h"
#include "manager/core/message_texts.h"
#include "manager/core/queued_commands.h"
#include "manager/core/stdio_files.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"
#include "support/default_population.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using nlohmann::json;

constexpr int kAdapter0 = 1;  // the default population's adapter 0 sits at \\.\Scsi1:
const std::string kTarget = "adapter 0 (scsi1, Velo300 Duo Plus): ";

using halvctl_test::FsPlacement;
using halvctl_test::RecordingConsole;

// TAG_CMD as a plain byte; 6 makes every read and write fail, writeFails only the writes.
class Setting final : public halv::QueuedCommandStore {
  public:
    uint8_t QueuedCommandSetting(uint8_t request) override {
        if (value == halv::kQueuedCommandUnreadable) return value;
        if (request == halv::kQueuedCommandRead) return value;
        if (writeFails) return halv::kQueuedCommandUnreadable;
        value = request;
        ++writes;
        return 0;
    }
    uint8_t value = 0;
    int writes = 0;
    bool writeFails = false;
};

Bytes ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

class Halvctl : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim::LoadPopulationJson(sim::DefaultPopulationJson(), *pop, &error)) << error;
        char pattern[] = "/tmp/halvctl-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        EXPECT_EQ(io.OpenHandles(), 0u) << "a device was left open";
        fs::remove_all(dir);
    }

    int Run(std::vector<std::string> args) {
        console = RecordingConsole();
        halvctl::HalvctlPorts ports{io, nt, setting, files, placement, console, facts};
        return halvctl::Run(args, ports);
    }

    uint32_t Sent(uint32_t command, int position = kAdapter0) const {
        return pop->adapters[position].counters.byCommand[sim::CommandIndex(command)];
    }
    uint32_t Requests() const {
        uint32_t n = pop->legacyCounters.requests;
        for (const sim::SimAdapter& a : pop->adapters) n += a.counters.requests;
        return n;
    }
    Bytes Flash(int position = kAdapter0) const {
        return Bytes(pop->adapters[position].bios, pop->adapters[position].bios + sim::kBiosSize);
    }
    std::string File(const char* name) const { return (dir / name).string(); }

    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimDeviceAccess io{*pop};
    sim::FixedSystemVersion nt{2};
    Setting setting;
    halv::StdioBinaryFiles files;
    FsPlacement placement;
    RecordingConsole console;
    halvctl::ToolFacts facts{"1.2.3", "rack7", [] {
                                 return std::chrono::system_clock::time_point(
                                     std::chrono::seconds(1765286400));  // 2025-12-09 13:20 UTC
                             }};
    fs::path dir;
};

// ---- Reading -----------------------------------------------------------------------------

TEST_F(Halvctl, ListIsHalvsTreeWithTheAddressesTheOtherCommandsTake) {
    EXPECT_EQ(Run({"list"}), halvctl::kExitOk);
    // HALV's tree, line for line, without the image numbers and with the addresses.
    std::string expected;
    const std::string tree = halv::testing::kDefaultPopulationTree;
    for (size_t at = 0; at < tree.size();) {
        const size_t end = tree.find('\n', at);
        std::string line = tree.substr(at, end - at);
        line.erase(line.rfind(" ["));
        expected += line + "\n";
        at = end + 1;
    }
    const char* addresses[][2] = {{"Velo300", "0 scsi1 "},
                                  {"KD160S", "0/0/0 "},
                                  {"KD250S", "0/1/0 "},
                                  {"DVR-118", "0/2/0 "},
                                  {"Velo150", "1 scsi2 "},
                                  {"OD80T", "1/0/0 "},
                                  {"KD500S\n      K", "1/1/0 "},
                                  {"KD500S\n    Port-3", "1/1/1 "},
                                  {"OD40P", "1/3/0 "}};
    for (auto& [label, address] : addresses) {
        const size_t at = expected.find(label);
        ASSERT_NE(at, std::string::npos) << label;
        const size_t lineStart = expected.rfind('\n', at) + 1;
        expected.insert(expected.find_first_not_of(' ', lineStart), address);
    }
    EXPECT_EQ(console.out, expected);
    EXPECT_EQ(console.err, "");
}

TEST_F(Halvctl, ShowGivesHalvsRowsWithoutTheLeadingBlank) {
    EXPECT_EQ(Run({"show", "0/0/0"}), halvctl::kExitOk);
    std::string expected;
    for (const std::string& row : halv::testing::kDefaultFirstDiskRows) {
        const std::string label = row.substr(1, row.find('|') - 1) + ":";
        const std::string value = row.substr(row.find('|') + 1, row.rfind('|') - row.find('|') - 1);
        expected += label + std::string(20 - label.size() + 1, ' ') + value + "\n";
    }
    EXPECT_EQ(console.out, expected);

    EXPECT_EQ(Run({"show", "0"}), halvctl::kExitOk);
    EXPECT_EQ(console.out,
              "Model Name:          Velo300 Duo Plus\nChip Name:           KLN61001\n"
              "BIOS Version:        1.00.0.30\nDriver Version:      1.0.0.21\n"
              "SCSI Port:           scsi1 (\\\\.\\Scsi1:)\n");

    // Everything: each adapter and device under its list line, in tree order.
    EXPECT_EQ(Run({"show"}), halvctl::kExitOk);
    EXPECT_EQ(console.out.find("0 scsi1 Velo300 Duo Plus\nModel Name:"), 0u);
    EXPECT_NE(console.out.find("\n\n1/3/0 ORLO OD40P\nModel Name:          ORLO OD40P\n"),
              std::string::npos);
}

// The document's texts are the rows' values, device by device, and its numbers are numbers.
TEST_F(Halvctl, JsonCarriesHalvsValuesAndNumbersAsNumbers) {
    ASSERT_EQ(Run({"show", "--json"}), halvctl::kExitOk);
    const json doc = json::parse(console.out);
    EXPECT_EQ(doc["schema_version"], 2);
    EXPECT_EQ(doc["tool_version"], "1.2.3");
    EXPECT_EQ(doc["host"], "rack7");
    EXPECT_EQ(doc["collected_at"], "2025-12-09T13:20:00Z");
    ASSERT_EQ(doc["adapters"].size(), 2u);
    const json& a0 = doc["adapters"][0];
    EXPECT_EQ(a0["device_name"], "\\\\.\\Scsi1:");
    EXPECT_EQ(a0["pci_device_id"], 0x6A31);
    EXPECT_EQ(a0["pci_device_id_hex"], "0x6A31");
    EXPECT_EQ(a0["scsi_port"], "scsi1");
    EXPECT_EQ(doc["adapters"][1]["model"], "Velo150 Quad Rack");

    halvctl::Inventory inv(io);
    inv.Discover(nt);
    int devices = 0;
    for (const json& adapter : doc["adapters"]) {
        const auto rows = halvctl::Rows(inv, {adapter["number"].get<int>()});
        EXPECT_EQ(adapter["chip"], rows[1].value);
        EXPECT_EQ(adapter["bios_version"], rows[2].value);
        EXPECT_EQ(adapter["driver_version"], rows[3].value);
        for (const json& port : adapter["ports"])
            for (const json& dev : port["devices"]) {
                ++devices;
                const auto address = halvctl::ParseAddress(dev["address"].get<std::string>());
                ASSERT_TRUE(address);
                std::map<std::string, std::string> row;
                for (const halv::InfoRow& r : halvctl::Rows(inv, *address)) row[r.item] = r.value;
                SCOPED_TRACE(dev["address"].get<std::string>());
                EXPECT_EQ(dev["model"], row[" Model Name"]);
                EXPECT_EQ(dev["serial"], row[" Serial No"]);
                EXPECT_EQ(dev["firmware"], row[" Firmware Version"]);
                EXPECT_EQ(dev["transfer_mode"]["text"], row[" Transfer Mode"]);
                if (dev["kind"] == "disk") {
                    EXPECT_EQ(dev["geometry"]["text"], row[" Geometry(C/H/S)"]);
                    EXPECT_EQ(dev["capacity"]["text"], row[" Capacity"]);
                    EXPECT_EQ(dev["capacity"]["gb"],
                              dev["capacity"]["sectors"].get<uint32_t>() / 2000000);
                } else {
                    EXPECT_TRUE(dev["geometry"].is_null());
                    EXPECT_EQ(row.count(" Geometry(C/H/S)"), 0u);
                }
                if (dev["smart"]["enabled"] == true)
                    EXPECT_EQ(dev["smart"]["state"], row[" Smart Status"]);
                else
                    EXPECT_EQ(row.count(" Smart Status"), 0u);
                const json& e = dev["enclosure"];
                if (e.is_null()) {
                    EXPECT_EQ(row.count(" Type") + row.count(" SwapBox Status"), 0u);
                } else if (e["type"].is_null()) {
                    EXPECT_EQ(e["swapbox_status"], row[" SwapBox Status"]);
                } else {
                    EXPECT_EQ(e["type"], row[" Type"]);
                    EXPECT_EQ(e["temperatures"][0]["text"], row[" Temperature(C/F)"]);
                    EXPECT_EQ(e["voltages"]["text"], row[" Vol.(5/12V)"]);
                }
            }
    }
    EXPECT_EQ(devices, 7);

    const json& disk = doc["adapters"][0]["ports"][0]["devices"][0];
    EXPECT_EQ(disk["smart"]["value"], 1);
    EXPECT_EQ(disk["transfer_mode"]["mode"], 6);
    EXPECT_EQ(disk["enclosure"]["bay"]["number"], 3);
    EXPECT_EQ(disk["enclosure"]["temperatures"][0]["fahrenheit"], 104);
    EXPECT_EQ(disk["enclosure"]["voltages"]["5v"]["millivolts"], 5012);
    EXPECT_EQ(doc["adapters"][0]["ports"][1]["devices"][0]["smart"]["state"], "Predictive Error");
    EXPECT_EQ(doc["adapters"][0]["ports"][1]["devices"][0]["smart"]["value"], 2);
    EXPECT_TRUE(doc["adapters"][1]["ports"][0]["devices"][0]["smart"]["state"].is_null());
    EXPECT_EQ(doc["adapters"][1]["ports"][1]["devices"][0]["enclosure"]["swapbox_status"],
              "No Support");

    // list --json is the same document; an address narrows it to its branch.
    EXPECT_EQ(Run({"list", "--json"}), halvctl::kExitOk);
    EXPECT_EQ(json::parse(console.out), doc);
    ASSERT_EQ(Run({"show", "1/1/1", "--json"}), halvctl::kExitOk);
    const json narrow = json::parse(console.out);
    ASSERT_EQ(narrow["adapters"].size(), 1u);
    ASSERT_EQ(narrow["adapters"][0]["ports"].size(), 1u);
    ASSERT_EQ(narrow["adapters"][0]["ports"][0]["devices"].size(), 1u);
    EXPECT_EQ(narrow["adapters"][0]["ports"][0]["devices"][0]["serial"], "KD5001B9987");
}

TEST_F(Halvctl, AddressesThatNameNothingAreRefused) {
    for (const char* bad :
         {"0/1", "00/0/0/0", "a", "1a", "0/0/0/", "", "0//0", "1000", "scsi9", "scsi", "scsi1/0"}) {
        EXPECT_EQ(Run({"show", bad}), halvctl::kExitRefused) << bad;
        EXPECT_NE(console.err.find("is not an address"), std::string::npos) << bad;
    }
    EXPECT_EQ(Run({"show", "-1"}), halvctl::kExitRefused) << "taken for an option";
    EXPECT_EQ(Run({"show", "2"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err, "halvctl: show 2: no adapter 2 (\"halvctl list\" shows those found)\n");
    // A number beyond the tables names nothing found either, in the same words.
    EXPECT_EQ(Run({"show", "7"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err, "halvctl: show 7: no adapter 7 (\"halvctl list\" shows those found)\n");
    EXPECT_EQ(Run({"show", "0/4/0"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err,
              "halvctl: show 0/4/0: no device at 0/4/0 (\"halvctl list\" shows those found)\n");
    EXPECT_EQ(Run({"show", "scsi3"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err,
              "halvctl: show scsi3: no adapter at scsi3 (\"halvctl list\" shows those found)\n");
    EXPECT_EQ(Run({"show", "0/3/0"}), halvctl::kExitRefused);
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(Run({"show", "0", "1"}), halvctl::kExitRefused);
}

TEST_F(Halvctl, TextFromAnAdapterCannotBreakALine) {
    std::strcpy(pop->adapters[kAdapter0].devices[0][0].model, "EVIL\nRAID\x1b[2J");
    pop->adapters[kAdapter0].devices[0][0].serial[0] = static_cast<char>(0xE9);
    EXPECT_EQ(Run({"list"}), halvctl::kExitOk);
    EXPECT_NE(console.out.find("0/0/0 EVIL?RAID?[2J\n"), std::string::npos);
    EXPECT_EQ(Run({"health"}), halvctl::kHealthPredictive);
    EXPECT_NE(console.out.find("0/0/0 EVIL?RAID?[2J serial \xE9"), std::string::npos);
    // In JSON the control characters are escaped and the odd byte becomes U+FFFD.
    ASSERT_EQ(Run({"show", "0/0/0", "--json"}), halvctl::kExitOk);
    const json dev = json::parse(console.out)["adapters"][0]["ports"][0]["devices"][0];
    EXPECT_EQ(dev["model"], "EVIL\nRAID\x1b[2J");
    EXPECT_EQ(dev["serial"].get<std::string>().substr(0, 3), "\xEF\xBF\xBD");
}

// ---- Health ------------------------------------------------------------------------------

TEST_F(Halvctl, HealthExitCodesFollowTheMonitoringConvention) {
    EXPECT_EQ(Run({"health"}), halvctl::kHealthPredictive);
    EXPECT_EQ(console.out,
              "CRITICAL: 1 of 7 devices report Predictive Error\n"
              "0/0/0 KESTREL KD160S serial KD1604A7731: Functional\n"
              "0/1/0 KESTREL KD250S serial KD2509C0412: Predictive Error\n"
              "0/2/0 LUMEN DVR-118 serial LMN88213: S.M.A.R.T. not supported\n"
              "1/0/0 ORLO OD80T serial OD80-55120: S.M.A.R.T. not enabled\n"
              "1/1/0 KESTREL KD500S serial KD5001B9921: Functional\n"
              "1/1/1 KESTREL KD500S serial KD5001B9987: Functional\n"
              "1/3/0 ORLO OD40P serial OD40-10007: S.M.A.R.T. not supported\n");

    pop->adapters[kAdapter0].devices[1][0].smartState = 1;
    EXPECT_EQ(Run({"health"}), halvctl::kHealthOk);
    EXPECT_EQ(console.out.substr(0, console.out.find('\n')),
              "OK: 4 devices functional, 3 without S.M.A.R.T. state");

    // A state that means nothing reads "Temporarily Unknown": unknown, and that wins, but the
    // worse finding is still in the summary.
    pop->adapters[kAdapter0].devices[1][0].smartState = 2;
    pop->adapters[2].devices[1][1].smartState = 9;
    EXPECT_EQ(Run({"health"}), halvctl::kHealthUnreadable);
    EXPECT_EQ(console.out.substr(0, console.out.find('\n')),
              "UNKNOWN: S.M.A.R.T. state of 1 of 7 devices unknown; "
              "1 of 7 devices report Predictive Error");
    EXPECT_NE(console.out.find("1/1/1 KESTREL KD500S serial KD5001B9987: Temporarily Unknown\n"),
              std::string::npos);
    pop->adapters[2].devices[1][1].smartState = 1;

    // A device slot whose device information fails.
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_DEVICE_INFO, sim::kFaultReturnCodeOff, 1);
    EXPECT_EQ(Run({"health"}), halvctl::kHealthUnreadable);
    EXPECT_NE(console.out.find("1/3/1: device information could not be read\n"), std::string::npos);
    EXPECT_EQ(console.out.find("1/1/0 KESTREL"), std::string::npos);
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_DEVICE_INFO, sim::kFaultNone);

    // An adapter that answers the probe but not its controller information.
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_CONTROLLER_INFO, sim::kFaultCallFails);
    EXPECT_EQ(Run({"health"}), halvctl::kHealthUnreadable);
    EXPECT_NE(console.out.find("adapter 1 (\\\\.\\Scsi2:): could not be read\n"),
              std::string::npos);
    EXPECT_EQ(Run({"show", "1"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err, "halvctl: show 1: adapter 1 could not be read\n");
    EXPECT_EQ(Run({"list"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err, "halvctl: list: adapter 1 (\\\\.\\Scsi2:) could not be read\n");

    sim::ClearPopulation(*pop);
    EXPECT_EQ(Run({"health"}), halvctl::kHealthNoAdapter);
    EXPECT_EQ(console.out, "UNKNOWN: no adapter found\n");
    EXPECT_EQ(Run({"list"}), halvctl::kExitOk) << "an empty tree is an answer";
    EXPECT_EQ(console.out, "Torvale HBA List\n");

    EXPECT_EQ(Run({"health", "now"}), halvctl::kHealthNoAdapter) << "a refused command line";
    EXPECT_EQ(Run({"health", "--json"}), halvctl::kHealthNoAdapter);
}

TEST_F(Halvctl, AFailedDeviceRequestIsToldApartFromAnEmptySlot) {
    halvctl::Inventory inv(io);
    inv.Discover(nt);
    EXPECT_TRUE(halv::DeviceInfoAnswered(inv.tables(), 0, 3, 1)) << "an empty slot answers";
    EXPECT_TRUE(inv.unreadable().empty());
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_DEVICE_INFO,
                     sim::kFaultCallFails);
    halvctl::Inventory failed(io);
    failed.Discover(nt);
    EXPECT_FALSE(halv::DeviceInfoAnswered(failed.tables(), 0, 3, 1));
    EXPECT_EQ(failed.unreadable().size(), 8u) << "four ports of two devices";
    EXPECT_EQ(failed.unreadable().front().what, "device 0/0/0");
}

// A request that fails leaves its value unknown in every output: never the value that a
// successful answer of "nothing" would give.
TEST_F(Halvctl, AValueWhoseRequestFailedIsUnknownEverywhere) {
    // S.M.A.R.T.: discovery's request fails too, so the devices carry no S.M.A.R.T. flags.
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_SMART_STATUS,
                     sim::kFaultCallFails);
    EXPECT_EQ(Run({"health"}), halvctl::kHealthUnreadable);
    EXPECT_EQ(console.out.substr(0, console.out.find('\n')),
              "UNKNOWN: S.M.A.R.T. state of 3 of 7 devices unknown");
    EXPECT_NE(console.out.find("0/1/0 KESTREL KD250S serial KD2509C0412: Temporarily Unknown\n"),
              std::string::npos)
        << console.out;
    EXPECT_EQ(Run({"show", "0/1/0"}), halvctl::kExitFailed);
    EXPECT_NE(console.out.find("Smart Status:        Temporarily Unknown\n"), std::string::npos);
    EXPECT_EQ(console.err,
              "halvctl: show 0/1/0: S.M.A.R.T. state of device 0/1/0 could not be read\n");
    EXPECT_EQ(Run({"show", "0/1/0", "--json"}), halvctl::kExitFailed);
    const json smart = json::parse(console.out)["adapters"][0]["ports"][0]["devices"][0]["smart"];
    EXPECT_EQ(smart, json::parse(R"({"supported":null,"enabled":null,"state":null,"value":null})"));
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_SMART_STATUS, sim::kFaultNone);

    // The enclosure: no rows and no object would read as "no enclosure".
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_ENCLOSURE_STATUS, sim::kFaultCallFails);
    EXPECT_EQ(Run({"health"}), halvctl::kHealthUnreadable);
    EXPECT_NE(console.out.find("UNKNOWN: enclosure state of 3 ports unknown; 1 of 7 devices "
                               "report Predictive Error\n"),
              std::string::npos)
        << console.out;
    EXPECT_NE(console.out.find("port 1/0: enclosure state could not be read\n"), std::string::npos);
    EXPECT_EQ(Run({"show", "1/0/0", "--json"}), halvctl::kExitFailed);
    EXPECT_EQ(json::parse(console.out)["adapters"][0]["ports"][0]["devices"][0]["enclosure"],
              json::parse(R"({"known":false,"type":null,"type_code":null,"swapbox_status":null})"));
    EXPECT_EQ(Run({"show", "1/0/0"}), halvctl::kExitFailed);
    EXPECT_NE(console.out.find("SwapBox Status:      Temporarily Unknown\n"), std::string::npos);
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_ENCLOSURE_STATUS, sim::kFaultNone);

    // The BIOS and driver versions.
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_READ_BIOS, sim::kFaultCallFails);
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_DRIVER_VERSION,
                     sim::kFaultCallFails);
    EXPECT_EQ(Run({"show", "0"}), halvctl::kExitFailed);
    EXPECT_NE(console.out.find("BIOS Version:        Temporarily Unknown\n"), std::string::npos);
    EXPECT_EQ(console.err,
              "halvctl: show 0: BIOS version of adapter 0 could not be read\n"
              "halvctl: show 0: driver version of adapter 0 could not be read\n");
    EXPECT_EQ(Run({"list", "--json"}), halvctl::kExitFailed);
    const json adapter = json::parse(console.out)["adapters"][0];
    EXPECT_TRUE(adapter["bios_version"].is_null());
    EXPECT_TRUE(adapter["driver_version"].is_null());
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_READ_BIOS, sim::kFaultNone);
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_GET_DRIVER_VERSION, sim::kFaultNone);

    // An adapter's unreadable device slots fail its own document as they fail the whole one.
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_DEVICE_INFO, sim::kFaultCallFails);
    EXPECT_EQ(Run({"show", "--json"}), halvctl::kExitFailed);
    EXPECT_EQ(Run({"show", "1", "--json"}), halvctl::kExitFailed);
    EXPECT_EQ(Run({"show", "0", "--json"}), halvctl::kExitOk) << "adapter 0 is whole";
    sim::InjectFault(pop->adapters[2], channel::MPCMD_GET_DEVICE_INFO, sim::kFaultNone);

    // A model HALV has no name for is unknown, not "Unknow".
    pop->adapters[2].pciDeviceId = 0x1234;
    pop->adapters[2].name[0] = '\0';
    EXPECT_EQ(Run({"show", "1", "--json"}), halvctl::kExitOk);
    EXPECT_TRUE(json::parse(console.out)["adapters"][0]["model"].is_null());
}

// A SCSI port device that is there but does not open hides whatever adapter sits on it and
// shifts the numbers of the adapters after it: it is named, health does not call the host
// healthy, and a number that may have shifted is refused where the port name is not.
TEST_F(Halvctl, APortThatDoesNotOpenIsNamedAndNumbersDoNotShift) {
    pop->adapters[kAdapter0].openFails = 1;  // \\.\Scsi2:'s adapter becomes adapter 0
    EXPECT_EQ(Run({"health"}), halvctl::kHealthUnreadable);
    const std::string named =
        "\\\\.\\Scsi1: could not be opened: Access is denied. (run halvctl "
        "elevated, from an administrator's prompt)";
    EXPECT_EQ(console.out.substr(0, console.out.find('\n')),
              "UNKNOWN: \\\\.\\Scsi1: could not be opened");
    EXPECT_NE(console.out.find("\n" + named + "\n"), std::string::npos) << console.out;
    EXPECT_EQ(console.err, "halvctl: health: " + named + "\n");
    EXPECT_EQ(Run({"list"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err, "halvctl: list: " + named + "\n");
    EXPECT_NE(console.out.find("  0 scsi2 Velo150 Quad Rack\n"), std::string::npos);

    // Yesterday's "adapter 0" is not today's: nothing is sent to the card that moved up.
    const std::string image = File("x.rom");
    WriteBytes(image, Flash(2));
    for (std::vector<std::string> line :
         {std::vector<std::string>{"bios", "update", "0", image, "--yes"},
          {"transfer-mode", "0/1/0", "udma", "2"},
          {"show", "0"},
          {"show", "3"}}) {
        EXPECT_EQ(Run(line), halvctl::kExitRefused) << line[0];
        EXPECT_NE(console.err.find(named + "; adapter numbers may have shifted"), std::string::npos)
            << console.err;
    }
    EXPECT_NE(console.err.find("name it by its SCSI port; nothing was sent"), std::string::npos)
        << "no adapter 3 to name";
    EXPECT_EQ(Sent(channel::MPCMD_WRITE_BIOS, 2) + Sent(channel::MPCMD_ATA_COMMAND, 2), 0u);

    // The port name is sure, and the output names what was acted on.
    EXPECT_EQ(Run({"bios", "backup", "SCSI2", File("b.rom")}), halvctl::kExitOk);
    EXPECT_EQ(console.out,
              "adapter 0 (scsi2, Velo150 Quad Rack): " + std::string(IDS_TEXT_BACKUP_DONE) + "\n");
    EXPECT_EQ(ReadBytes(File("b.rom")), Flash(2));
    EXPECT_EQ(Run({"show", "scsi2/1/1"}), halvctl::kExitOk);
    EXPECT_EQ(console.out.find("Model Name:          KESTREL KD500S\nSerial No:           "
                               "KD5001B9987\n"),
              0u);
    EXPECT_EQ(Run({"show", "scsi1"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err, "halvctl: show scsi1: " + named + "\n");
    EXPECT_EQ(Run({"show", "--json"}), halvctl::kExitFailed);
    EXPECT_EQ(json::parse(console.out)["unreadable"],
              json::parse(R"([{"address":"scsi1","kind":"port","device_name":"\\\\.\\Scsi1:",
                              "reason":"Access is denied.","error_code":5}])"));

    // A port after the adapters shifts none of them.
    sim::AddAdapter(*pop, 5, 0x6A22, 1, 1).openFails = 1;
    pop->adapters[kAdapter0].openFails = 0;
    EXPECT_EQ(Run({"show", "1"}), halvctl::kExitOk) << console.err;
    EXPECT_EQ(Run({"health"}), halvctl::kHealthUnreadable);

    // Unelevated, every port refuses: that is not "no adapter".
    for (sim::SimAdapter& a : pop->adapters)
        if (a.exists) a.openFails = 1;
    EXPECT_EQ(Run({"health"}), halvctl::kHealthUnreadable);
    EXPECT_EQ(console.out.substr(0, console.out.find('\n')),
              "UNKNOWN: \\\\.\\Scsi0: could not be opened; \\\\.\\Scsi1: could not be opened; "
              "\\\\.\\Scsi2: could not be opened; \\\\.\\Scsi5: could not be opened");
}

TEST_F(Halvctl, TransferModeRefusesAModeAboveTheDevicesHighest) {
    const sim::SimDevice& pio3 = pop->adapters[2].devices[3][0];  // 1/3/0: PIO-3, no DMA
    EXPECT_EQ(Run({"transfer-mode", "1/3/0", "pio", "4"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err,
              "halvctl: transfer-mode 1/3/0 pio 4: device 1/3/0's highest PIO mode "
              "is PIO-3; nothing was sent\n");
    EXPECT_EQ(Run({"transfer-mode", "1/3/0", "dma", "0"}), halvctl::kExitRefused);
    EXPECT_EQ(
        console.err,
        "halvctl: transfer-mode 1/3/0 dma 0: device 1/3/0 has no DMA mode; nothing was sent\n");
    EXPECT_EQ(Run({"transfer-mode", "0/1/0", "udma", "6"}), halvctl::kExitRefused) << "UDMA-5";
    EXPECT_EQ(pio3.ataCommands + pop->adapters[kAdapter0].devices[1][0].ataCommands, 0);
    EXPECT_EQ(Run({"transfer-mode", "1/3/0", "pio", "3"}), halvctl::kExitOk);
    EXPECT_EQ(console.out, "device 1/3/0 on adapter 1 (scsi2, Velo150 Quad Rack): " +
                               std::string(IDS_TEXT_TRANSFER_MODE_SET) +
                               "\ndevice 1/3/0 now uses PIO-3\n");
}

// What Windows users type, and messages that name what they refused.
TEST_F(Halvctl, TheCommandLineTakesThePlatformsHabitsAndNamesWhatItRefuses) {
    EXPECT_EQ(Run({"/?"}), halvctl::kExitOk);
    EXPECT_EQ(console.out.rfind("Usage: halvctl COMMAND", 0), 0u);
    EXPECT_EQ(Run({"health", "/?"}), halvctl::kExitOk);
    EXPECT_EQ(console.out.rfind("Usage: halvctl health", 0), 0u);
    EXPECT_EQ(Run({"--version"}), halvctl::kExitOk);
    EXPECT_EQ(console.out, "halvctl 1.2.3\n");
    EXPECT_EQ(Requests(), 0u);

    EXPECT_EQ(Run({"LIST", "--JSON"}), halvctl::kExitOk);
    EXPECT_EQ(Run({"Show", "SCSI1/0/0"}), halvctl::kExitOk);
    EXPECT_EQ(console.out.rfind("Model Name:          KESTREL KD160S\n", 0), 0u);
    EXPECT_EQ(Run({"Transfer-Mode", "0/0/0", "UDMA", "4"}), halvctl::kExitOk);
    EXPECT_EQ(Run({"BIOS", "Backup", "0", File("a.rom")}), halvctl::kExitOk);

    EXPECT_EQ(Run({"list", "extra"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err,
              "halvctl: list: unexpected \"extra\"; \"halvctl list --help\" shows its usage\n");
    EXPECT_EQ(Run({"bios", "update", "0"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err.rfind("halvctl: bios update: too few arguments\nUsage:", 0), 0u);

    // Writing the value TAG_CMD already has changes nothing, and says so.
    EXPECT_EQ(Run({"tcq", "OFF"}), halvctl::kExitOk);
    EXPECT_EQ(console.out, "TCQ/NCQ is already off; nothing was changed\n");
    EXPECT_EQ(setting.writes, 0);
    setting.writeFails = true;
    EXPECT_EQ(Run({"tcq", "On"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find(": access was denied (run halvctl elevated"), std::string::npos)
        << console.err;
}

// ---- BIOS --------------------------------------------------------------------------------

TEST_F(Halvctl, BackupSavesTheFlashAndNeverOverwritesWithoutForce) {
    const std::string path = File("velo.rom");
    EXPECT_EQ(Run({"bios", "backup", "0", path}), halvctl::kExitOk);
    EXPECT_EQ(console.out, kTarget + IDS_TEXT_BACKUP_DONE + "\n");
    EXPECT_EQ(ReadBytes(path), Flash());

    const Bytes mine(100, 0x5A);
    WriteBytes(path, mine);
    const uint32_t before = Requests();
    EXPECT_EQ(Run({"bios", "backup", "0", path}), halvctl::kExitRefused);
    EXPECT_EQ(console.err, "halvctl: bios backup: " + path + " exists; --force replaces it\n");
    EXPECT_EQ(ReadBytes(path), mine);
    EXPECT_EQ(Requests(), before) << "nothing was sent";

    // With --force, a flash that cannot be read keeps the old file whole and leaves nothing.
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_READ_BIOS, sim::kFaultCallFails);
    EXPECT_EQ(Run({"bios", "backup", "0", path, "--force"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err, "halvctl: bios backup 0 " + path + ": " + kTarget +
                               IDS_TEXT_IOCTL_FAILED +
                               " (the adapter did not accept the request)\n");
    EXPECT_EQ(ReadBytes(path), mine);
    EXPECT_FALSE(fs::exists(halvctl::PartialBackupPath(path)));
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_READ_BIOS, sim::kFaultNone);

    EXPECT_EQ(Run({"bios", "backup", "0", path, "--force"}), halvctl::kExitOk);
    EXPECT_EQ(ReadBytes(path), Flash());
    EXPECT_EQ(fs::directory_iterator(dir)->path(), path) << "no partial file is left";

    // A read that fails without --force leaves no empty file behind to block the next try.
    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_READ_BIOS, sim::kFaultCallFails);
    EXPECT_EQ(Run({"bios", "backup", "0", File("new.rom")}), halvctl::kExitFailed);
    EXPECT_FALSE(fs::exists(File("new.rom")));

    // A partial file of that name is not ours to overwrite.
    WriteBytes(halvctl::PartialBackupPath(File("other.rom")), mine);
    EXPECT_EQ(Run({"bios", "backup", "0", File("other.rom")}), halvctl::kExitRefused);
    EXPECT_NE(console.err.find("remove it first"), std::string::npos);
    EXPECT_EQ(ReadBytes(halvctl::PartialBackupPath(File("other.rom"))), mine);

    EXPECT_EQ(Run({"bios", "backup", "0", File("missing/x.rom")}), halvctl::kExitFailed);
    EXPECT_EQ(console.err, "halvctl: bios backup 0 " + File("missing/x.rom") + ": " + kTarget +
                               IDS_TEXT_OPEN_FILE_FAILED + " (the folder " + File("missing") +
                               " does not exist)\n");
    EXPECT_EQ(Run({"bios", "backup", "2", File("b.rom")}), halvctl::kExitRefused);
    EXPECT_EQ(Run({"bios", "backup", "0/0/0", File("b.rom")}), halvctl::kExitRefused);
    EXPECT_EQ(Run({"bios", "backup", "0", File("b.rom"), "--yes"}), halvctl::kExitRefused);
}

TEST_F(Halvctl, APartialWriteIsNeverTakenForTheBackup) {
    class HalfFiles final : public halv::BinaryFiles {
      public:
        std::unique_ptr<halv::BinaryFile> CreateReadWrite(const std::string& path) override {
            created = path;
            struct Half final : halv::BinaryFile {
                size_t Read(std::span<uint8_t>) override { return 0; }
                size_t Write(std::span<const uint8_t> b) override { return b.size() / 2; }
                bool Close() override { return true; }
            };
            return std::make_unique<Half>();
        }
        std::unique_ptr<halv::BinaryFile> OpenRead(const std::string&) override { return nullptr; }
        std::string created;
    } half;
    struct Moves final : halvctl::FilePlacement {
        bool Exists(const std::string&) override { return false; }
        bool Move(const std::string&, const std::string&, bool) override { return ++moves, true; }
        bool Remove(const std::string&) override { return ++removes, true; }
        int moves = 0, removes = 0;
    } moves;
    halvctl::BackupFiles backup(half, moves, false);
    auto file = backup.CreateReadWrite("/x/target.rom");
    ASSERT_TRUE(file);
    EXPECT_EQ(half.created, halvctl::PartialBackupPath("/x/target.rom"));
    const Bytes image(32768, 1);
    EXPECT_EQ(file->Write(image), image.size() / 2);
    EXPECT_FALSE(file->Close());
    EXPECT_EQ(moves.moves, 0);
    EXPECT_EQ(moves.removes, 1);
}

TEST_F(Halvctl, UpdateWritesOnlyACheckedImageAndOnlyWithYes) {
    Bytes image(sim::kBiosSize);
    sim::FillBiosImage(image.data(), 0x6A31, "1.00.0.31");
    const std::string path = File("new.rom");
    WriteBytes(path, image);

    EXPECT_EQ(Run({"bios", "update", "0", path}), halvctl::kExitRefused);
    EXPECT_EQ(console.err,
              "halvctl: bios update: writes adapter 0's flash only with --yes; "
              "nothing was sent\n");
    EXPECT_EQ(Requests(), 0u) << "not even a probe";

    Bytes spoilt = image;
    spoilt[100] ^= 1;  // the byte sum is no longer zero
    WriteBytes(File("bad.rom"), spoilt);
    EXPECT_EQ(Run({"bios", "update", "0", File("bad.rom"), "--yes"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err, "halvctl: bios update 0 " + File("bad.rom") + ": " + kTarget +
                               IDS_TEXT_FILE_CORRUPTED + " (the image's byte sum is 255, not 0)\n");
    EXPECT_EQ(Sent(channel::MPCMD_WRITE_BIOS), 0u);
    // Adapter 1 is another model: the image is refused there too.
    EXPECT_EQ(Run({"bios", "update", "1", path, "--yes"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("(the image is for PCI device 0x6A31, the adapter is 0x6A22)"),
              std::string::npos)
        << console.err;
    EXPECT_EQ(Sent(channel::MPCMD_WRITE_BIOS, 2), 0u);
    // Each check is named: the size, the vendor id, and a file that is not there or a folder.
    WriteBytes(File("short.rom"), Bytes(image.begin(), image.begin() + 1000));
    EXPECT_EQ(Run({"bios", "update", "0", File("short.rom"), "--yes"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("(the file holds 1000 bytes; an image holds 32768)"),
              std::string::npos)
        << console.err;
    Bytes foreign = image;
    foreign[0x22] ^= 0x10, foreign[0x23] ^= 0x01, foreign[0x40] -= 0x11;  // the sum stays 0
    WriteBytes(File("foreign.rom"), foreign);
    EXPECT_EQ(Run({"bios", "update", "0", File("foreign.rom"), "--yes"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("(the image's vendor id is 0x1F6C, not 0x1E7C)"), std::string::npos)
        << console.err;
    EXPECT_EQ(Run({"bios", "update", "0", File("none.rom"), "--yes"}), halvctl::kExitFailed);
    EXPECT_NE(
        console.err.find(std::string(IDS_TEXT_OPEN_FILE_FAILED) + " (" + strerror(ENOENT) + ")"),
        std::string::npos)
        << console.err;
    EXPECT_EQ(Run({"bios", "update", "0", dir.string(), "--yes"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find(" (it is a folder)"), std::string::npos) << console.err;
    EXPECT_EQ(Sent(channel::MPCMD_WRITE_BIOS), 0u);

    EXPECT_EQ(Run({"bios", "update", "0", path, "--yes"}), halvctl::kExitOk);
    EXPECT_EQ(console.out, kTarget + IDS_TEXT_UPDATE_DONE + "\n");
    EXPECT_EQ(Flash(), image);
    EXPECT_EQ(Run({"show", "0"}), halvctl::kExitOk);
    EXPECT_NE(console.out.find("BIOS Version:        1.00.0.31\n"), std::string::npos);

    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_WRITE_BIOS, sim::kFaultReturnCodeOff,
                     1);
    EXPECT_EQ(Run({"bios", "update", "0", path, "--yes"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find(IDS_TEXT_IOCTL_FAILED), std::string::npos);
}

// ---- Queued commands and transfer mode ---------------------------------------------------

TEST_F(Halvctl, TcqReadsAndWritesTagCmdAsTheOptionMenuDoes) {
    EXPECT_EQ(Run({"tcq"}), halvctl::kExitOk);
    EXPECT_EQ(console.out, "off\n");
    EXPECT_EQ(Run({"tcq", "on"}), halvctl::kExitOk);
    EXPECT_EQ(console.out, std::string(IDS_TEXT_TCQ_CHANGED) +
                               "\nTAG_CMD under HKEY_LOCAL_MACHINE\\" + halv::kQueuedCommandKey +
                               " is now on, for every adapter of the miniport\n");
    EXPECT_EQ(setting.value, 1);
    EXPECT_EQ(Run({"tcq"}), halvctl::kExitOk);
    EXPECT_EQ(console.out, "on\n");
    EXPECT_EQ(Run({"tcq", "off"}), halvctl::kExitOk);
    EXPECT_EQ(setting.value, 0);
    EXPECT_EQ(Requests(), 0u) << "the setting is the registry's, not the adapters'";

    EXPECT_EQ(Run({"tcq", "yes"}), halvctl::kExitRefused);
    setting.value = halv::kQueuedCommandUnreadable;
    EXPECT_EQ(Run({"tcq"}), halvctl::kExitFailed);
    EXPECT_NE(console.err.find("cannot read TAG_CMD under HKEY_LOCAL_MACHINE\\System\\"),
              std::string::npos);
    EXPECT_EQ(Run({"tcq", "on"}), halvctl::kExitFailed);
    EXPECT_EQ(console.out, "");
    EXPECT_NE(console.err.find("halvctl: tcq on: cannot write TAG_CMD"), std::string::npos);
}

TEST_F(Halvctl, TransferModeSendsTheDialogsRequestForModesItOffers) {
    const sim::SimDevice& disk = pop->adapters[kAdapter0].devices[0][0];  // UDMA-6
    EXPECT_EQ(Run({"transfer-mode", "0/0/0", "udma", "4"}), halvctl::kExitOk);
    EXPECT_EQ(console.out, "device 0/0/0 on adapter 0 (scsi1, Velo300 Duo Plus): " +
                               std::string(IDS_TEXT_TRANSFER_MODE_SET) +
                               "\ndevice 0/0/0 now uses UDMA-4\n");
    EXPECT_EQ(disk.lastAtaSectorCount, 0x44);
    EXPECT_EQ(Run({"transfer-mode", "0/0/0", "dma", "1"}), halvctl::kExitOk);
    EXPECT_EQ(disk.lastAtaSectorCount, 0x21);
    EXPECT_EQ(Run({"transfer-mode", "0/0/0", "pio", "3"}), halvctl::kExitOk);
    EXPECT_EQ(disk.lastAtaSectorCount, 0x0B);
    EXPECT_EQ(disk.ataCommands, 3);

    // Modes the dialog would not offer are refused, and nothing is sent.
    EXPECT_EQ(Run({"transfer-mode", "0/0/0", "udma", "7"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err,
              "halvctl: transfer-mode 0/0/0 udma 7: device 0/0/0's highest UDMA "
              "mode is UDMA-6; nothing was sent\n");
    EXPECT_EQ(Run({"transfer-mode", "0/0/0", "pio", "5"}), halvctl::kExitRefused);
    EXPECT_EQ(Run({"transfer-mode", "1/3/0", "dma", "0"}), halvctl::kExitRefused) << "PIO only";
    EXPECT_EQ(Run({"transfer-mode", "1/0/0", "udma", "0"}), halvctl::kExitRefused) << "DMA-2 only";
    EXPECT_EQ(Run({"transfer-mode", "1/0/0", "dma", "2"}), halvctl::kExitOk);
    EXPECT_EQ(pop->adapters[2].devices[0][0].lastAtaSectorCount, 0x22);
    EXPECT_EQ(Run({"transfer-mode", "0", "pio", "4"}), halvctl::kExitRefused);
    EXPECT_EQ(Run({"transfer-mode", "0/0/0", "pio", "+4"}), halvctl::kExitRefused);
    EXPECT_EQ(Run({"transfer-mode", "0/3/0", "pio", "4"}), halvctl::kExitRefused);
    EXPECT_EQ(disk.ataCommands, 3);

    sim::InjectFault(pop->adapters[kAdapter0], channel::MPCMD_ATA_COMMAND, sim::kFaultCallFails);
    EXPECT_EQ(Run({"transfer-mode", "0/0/0", "udma", "5"}), halvctl::kExitFailed);
    EXPECT_EQ(console.err,
              "halvctl: transfer-mode 0/0/0 udma 5: device 0/0/0 on adapter 0 (scsi1, Velo300 "
              "Duo Plus): " +
                  std::string(IDS_TEXT_TRANSFER_MODE_FAILED) +
                  " (the adapter did not accept the request)\n");
}

// ---- The command line --------------------------------------------------------------------

TEST_F(Halvctl, EveryCommandHasHelpAndAnUnknownLineIsRefused) {
    for (std::vector<std::string> line : {std::vector<std::string>{"--help"},
                                          {"help"},
                                          {"list", "--help"},
                                          {"show", "-h"},
                                          {"health", "--help"},
                                          {"bios", "--help"},
                                          {"bios", "update", "--help"},
                                          {"tcq", "--help"},
                                          {"transfer-mode", "--help"},
                                          {"help", "transfer-mode"}}) {
        EXPECT_EQ(Run(line), halvctl::kExitOk) << line[0];
        EXPECT_EQ(console.out.rfind("Usage: halvctl", 0), 0u) << line[0];
    }
    EXPECT_EQ(Requests(), 0u);
    EXPECT_EQ(Run({}), halvctl::kExitRefused);
    EXPECT_EQ(console.err.rfind("Usage: halvctl", 0), 0u);
    EXPECT_EQ(Run({"format"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err,
              "halvctl: unknown command \"format\"; \"halvctl --help\" lists the commands\n");
    EXPECT_EQ(Run({"list", "--all"}), halvctl::kExitRefused);
    EXPECT_EQ(console.err, "halvctl: list: unknown option --all\n");
    EXPECT_EQ(Run({"tcq", "--force", "on"}), halvctl::kExitRefused);
    EXPECT_EQ(Run({"bios", "erase", "0", "x"}), halvctl::kExitRefused);
    EXPECT_EQ(Requests(), 0u) << "a refused line sends nothing";
}

}  // namespace
