// End to end: halvctl.exe against the simulator driver HALVSIM.sys, as an administrator's
// script runs it. Every command and exit code, what reached the adapters (read back from the
// driver), the registry value TAG_CMD, and BIOS files. The JSON documents it prints are kept
// for the schema check that runs after this program (halvctl_e2e_json_schema).
//
//   halvctl_e2e <HALVSIM.sys> <halvctl.exe> <population folder> <JSON output folder>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_support.h"
#include "manager/core/queued_commands.h"
#include "sim/population.h"

namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;

std::string g_halvctl, g_populations, g_jsonOut;

constexpr int kAdapter0 = 1;  // the default population's adapter 0 sits at \\.\Scsi1:
constexpr char kIoctlFailed[] = "IOCTL failed ! Please try again after a moment";
constexpr char kBackupDone[] = "Backup BIOS to file successfully!";
constexpr char kUpdateDone[] = "Update BIOS successfully! Please reboot host to take effect.";
constexpr char kCorrupted[] = "File corrupted or BIOS could't be updated by this file.";
constexpr char kRestart[] = "Setting is changed ! Please reboot host to take effect.";
constexpr char kModeSet[] = "Transfer Mode is set successfully, please refresh HBA List.";
constexpr char kModeFailed[] = "Set Transfer Mode failed, please try again.";
constexpr char kTarget[] = "adapter 0 (scsi1, Velo300 Duo Plus): ";

struct Outcome {
    bool finished = false;
    DWORD exitCode = 0;
    std::string out, err;
};

// Reads a pipe to its end; the text loses the carriage returns of the console's text mode.
void Drain(HANDLE pipe, std::string& into) {
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0)
        for (DWORD i = 0; i < got; ++i)
            if (chunk[i] != '\r') into += chunk[i];
}

// Runs halvctl.exe with `args` to its end (at most a minute), collecting both outputs.
Outcome Halvctl(const std::vector<std::string>& args) {
    Outcome o;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return o;
    simctl::ScopedHandle outR(outRead), outW(outWrite);
    if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) return o;
    simctl::ScopedHandle errR(errRead), errW(errWrite);
    SetHandleInformation(outR.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errR.get(), HANDLE_FLAG_INHERIT, 0);

    std::string line = "\"" + g_halvctl + "\"";
    for (const std::string& a : args) line += " \"" + a + "\"";
    std::vector<char> text(line.begin(), line.end());
    text.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outW.get();
    startup.hStdError = errW.get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, text.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info))
        return o;
    simctl::ScopedHandle process(info.hProcess), thread(info.hThread);
    outW.reset();  // the child holds the only write ends now: its end ends the reads
    errW.reset();
    std::thread errReader([&] { Drain(errR.get(), o.err); });
    std::thread outReader([&] { Drain(outR.get(), o.out); });
    if (WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0) {
        o.finished = GetExitCodeProcess(process.get(), &o.exitCode) != FALSE;
    } else {
        TerminateProcess(process.get(), 255);
    }
    outReader.join();
    errReader.join();
    return o;
}

std::string Show(const Outcome& o) {
    return "exit " + std::to_string(o.exitCode) + "\n--- stdout\n" + o.out + "--- stderr\n" + o.err;
}

Bytes ReadFileBytes(const std::string& path) {
    Bytes bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        std::fclose(f);
    }
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
    return WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
}

class HalvctlE2E : public e2e::SimTest {
  protected:
    void SetUp() override {
        char temp[MAX_PATH] = {};
        ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
        dir = std::string(temp) + "halvctl-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(GetTickCount());
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr)) << dir;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, halv::kQueuedCommandKey);
    }
    void TearDown() override {
        for (const std::string& f : created) DeleteFileA(f.c_str());
        RemoveDirectoryA(dir.c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, halv::kQueuedCommandKey);
        e2e::SimTest::TearDown();
    }

    void LoadPopulation(const std::string& name) {
        pop = e2e::EmptyPopulation();
        std::string error;
        const std::string path = g_populations + "\\" + name + ".json";
        ASSERT_TRUE(sim::LoadPopulationFile(path, *pop, &error)) << path << ": " << error;
        Load(*pop);
    }

    std::string File(const std::string& name) {
        created.push_back(dir + "\\" + name);
        return created.back();
    }

    // Keeps a JSON document for the schema check and returns it parsed.
    json KeepJson(const std::string& name, const Outcome& o) {
        EXPECT_TRUE(WriteFileBytes(g_jsonOut + "\\" + name + ".json", o.out)) << g_jsonOut;
        return json::parse(o.out, nullptr, false);
    }

    uint32_t Sent(uint32_t command, int position = kAdapter0) {
        return ReadBack()->adapters[position].counters.byCommand[sim::CommandIndex(command)];
    }

    std::unique_ptr<sim::SimPopulation> pop;
    std::string dir;
    std::vector<std::string> created;
};

TEST_F(HalvctlE2E, ListAndShowPrintHalvsTreeRowsAndDocument) {
    LoadPopulation("default");
    Outcome o = Halvctl({"list"});
    ASSERT_TRUE(o.finished);
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out,
              "Torvale HBA List\n"
              "  0 scsi1 Velo300 Duo Plus\n"
              "    Port-1\n"
              "      0/0/0 KESTREL KD160S\n"
              "    Port-2\n"
              "      0/1/0 KESTREL KD250S\n"
              "    Port-3\n"
              "      0/2/0 LUMEN DVR-118\n"
              "    Port-4\n"
              "  1 scsi2 Velo150 Quad Rack\n"
              "    Port-1\n"
              "      1/0/0 ORLO OD80T\n"
              "    Port-2\n"
              "      1/1/0 KESTREL KD500S\n"
              "      1/1/1 KESTREL KD500S\n"
              "    Port-3\n"
              "    Port-4\n"
              "      1/3/0 ORLO OD40P\n");
    EXPECT_EQ(o.err, "");

    o = Halvctl({"show", "0/0/0"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out,
              "Model Name:          KESTREL KD160S\n"
              "Serial No:           KD1604A7731\n"
              "Firmware Version:    3.AAE\n"
              "Geometry(C/H/S):     16383/16/63\n"
              "Capacity:            LBA = 312581808 ,  156 GB\n"
              "Transfer Mode:       UDMA-6\n"
              "Smart Status:        Functional\n"
              "Type:                Drivecove5200\n"
              "Location:            Bay-3\n"
              "Fan(RPM):            3000\n"
              "Fan2(RPM):           3120\n"
              "Temperature(C/F):    40/104\n"
              "Temperature2(C/F):   38/100\n"
              "Vol.(5/12V):         5.012/12.05\n");
    o = Halvctl({"show", "1"});
    EXPECT_EQ(o.out,
              "Model Name:          Velo150 Quad Rack\nChip Name:           KLN61003\n"
              "BIOS Version:        1.00.0.28\nDriver Version:      1.0.0.21\n"
              "SCSI Port:           scsi2 (\\\\.\\Scsi2:)\n");
    EXPECT_EQ(Halvctl({"SHOW", "SCSI2"}).out, o.out) << "keywords and port names in any case";
    o = Halvctl({"show"});
    EXPECT_EQ(o.exitCode, 0u);
    EXPECT_NE(o.out.find("\n1/1/1 KESTREL KD500S\nModel Name:"), std::string::npos) << o.out;

    o = Halvctl({"show", "--json"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    const json doc = KeepJson("default", o);
    ASSERT_FALSE(doc.is_discarded()) << o.out;
    EXPECT_EQ(doc["schema_version"], 2);
    EXPECT_EQ(doc["adapters"][0]["scsi_port"], "scsi1");
    EXPECT_FALSE(doc["host"].is_null()) << "the computer's name";
    EXPECT_EQ(doc["collected_at"].get<std::string>().back(), 'Z') << "UTC";
    ASSERT_EQ(doc["adapters"].size(), 2u);
    EXPECT_EQ(doc["adapters"][0]["device_name"], "\\\\.\\Scsi1:");
    EXPECT_EQ(doc["adapters"][0]["pci_device_id"], 0x6A31);
    EXPECT_EQ(doc["adapters"][0]["bios_version"], "1.00.0.30");
    const json& disk = doc["adapters"][0]["ports"][1]["devices"][0];
    EXPECT_EQ(disk["model"], "KESTREL KD250S");
    EXPECT_EQ(disk["smart"]["state"], "Predictive Error");
    EXPECT_EQ(disk["smart"]["value"], 2);
    EXPECT_EQ(disk["capacity"]["sectors"], 488397168);
    EXPECT_EQ(disk["enclosure"]["voltages"]["12v"]["millivolts"], 11950);

    o = Halvctl({"list", "--json"});
    json listed = json::parse(o.out, nullptr, false), shown = doc;
    listed.erase("collected_at"), shown.erase("collected_at");  // the runs' seconds may differ
    EXPECT_EQ(listed, shown);
    o = Halvctl({"show", "0/2/0", "--json"});
    EXPECT_EQ(o.exitCode, 0u);
    const json optical = KeepJson("default-optical", o);
    EXPECT_EQ(optical["adapters"][0]["ports"][0]["devices"][0]["kind"], "optical");

    o = Halvctl({"show", "0/3/0"});
    EXPECT_EQ(o.exitCode, 2u) << Show(o);
    EXPECT_EQ(o.err,
              "halvctl: show 0/3/0: no device at 0/3/0 (\"halvctl list\" shows those found)\n");
    o = Halvctl({"show", "0/1"});
    EXPECT_EQ(o.exitCode, 2u);

    // The requests closed every device they opened.
    auto back = ReadBack();
    EXPECT_EQ(back->adapters[kAdapter0].counters.opens, back->adapters[kAdapter0].counters.closes);
}

TEST_F(HalvctlE2E, HealthExitCodesForEachKindOfHost) {
    struct Case {
        const char* population;
        DWORD health;
        DWORD show;
        const char* summary;  // the first line, which monitoring shows
        const char* line;
    } cases[] = {
        {"healthy", 0, 0, "OK: 2 devices functional, 1 without S.M.A.R.T. state\n",
         "0/0/1 KESTREL KD250S serial KD2501A0002: Functional\n"},
        {"default", 1, 0, "CRITICAL: 1 of 7 devices report Predictive Error\n",
         "0/1/0 KESTREL KD250S serial KD2509C0412: Predictive Error\n"},
        {"unreadable-device", 2, 1, "UNKNOWN: 2 device slots could not be read\n",
         "1/0/0: device information could not be read\n"},
        {"no-adapter", 3, 0, "UNKNOWN: no adapter found\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.population);
        LoadPopulation(c.population);
        Outcome o = Halvctl({"health"});
        ASSERT_TRUE(o.finished);
        EXPECT_EQ(o.exitCode, c.health) << Show(o);
        EXPECT_EQ(o.out.rfind(c.summary, 0), 0u) << o.out;
        EXPECT_NE(o.out.find(c.line), std::string::npos) << o.out;
        std::printf("%s: health exit %lu\n%s", c.population, o.exitCode, o.out.c_str());
        o = Halvctl({"show", "--json"});
        EXPECT_EQ(o.exitCode, c.show) << Show(o);
        const json doc = KeepJson(c.population, o);
        ASSERT_FALSE(doc.is_discarded()) << o.out;
        if (std::string(c.population) == "no-adapter") {
            EXPECT_TRUE(doc["adapters"].empty());
        }
        if (std::string(c.population) == "unreadable-device") {
            EXPECT_EQ(doc["unreadable"].size(), 2u);
            EXPECT_EQ(o.err,
                      "halvctl: show: device 1/0/0 could not be read\n"
                      "halvctl: show: device 1/1/0 could not be read\n");
        }
    }
    LoadPopulation("default");
    Outcome o = Halvctl({"health", "extra"});
    EXPECT_EQ(o.exitCode, 3u) << "a refused command line is unknown to monitoring";
}

// The population's adapter at \\.\Scsi1: does not open. The simulator makes that a missing
// name, which is "not found" (no adapter there), so under Wine the adapter at \\.\Scsi2: is
// adapter 0 with nothing to report; a port that exists and refuses (what an unelevated prompt
// meets) is tested natively. What is tested here is the name that does not move: the port.
TEST_F(HalvctlE2E, AdaptersAreNamedByTheirScsiPort) {
    LoadPopulation("unopened-port");
    Outcome o = Halvctl({"list"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_NE(o.out.find("\n  0 scsi2 Velo150 Quad\n"), std::string::npos) << o.out;
    o = Halvctl({"transfer-mode", "SCSI2/1/0", "udma", "4"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out.rfind("device 0/1/0 on adapter 0 (scsi2, Velo150 Quad): ", 0), 0u) << o.out;
    EXPECT_EQ(ReadBack()->adapters[2].devices[1][0].lastAtaSectorCount, 0x44);
    o = Halvctl({"show", "scsi1"});
    EXPECT_EQ(o.exitCode, 2u) << Show(o);
    EXPECT_EQ(o.err,
              "halvctl: show scsi1: no adapter at scsi1 (\"halvctl list\" shows those found)\n");
    o = Halvctl({"show", "--json"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    const json doc = KeepJson("unopened-port", o);
    ASSERT_FALSE(doc.is_discarded()) << o.out;
    EXPECT_EQ(doc["adapters"][0]["scsi_port"], "scsi2");

    // The metrics name the adapter by its port beside its number (halvctl_e2e_metrics checks
    // the file with promtool); a port that is not there is no series.
    const std::string unopened = g_jsonOut + "\\metrics-unopened";
    o = Halvctl({"metrics", "--textfile", unopened});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    const Bytes prom = ReadFileBytes(unopened + "\\halv.prom");
    const std::string text(prom.begin(), prom.end());
    EXPECT_NE(text.find("halv_adapter_info{adapter=\"0\",scsi_port=\"scsi2\","), std::string::npos)
        << text;
    EXPECT_NE(
        text.find(
            "halv_scsi_port_readable{scsi_port=\"scsi2\",device_name=\"\\\\\\\\.\\\\Scsi2:\"} 1\n"),
        std::string::npos)
        << text;
    EXPECT_EQ(text.find("scsi_port=\"scsi1\""), std::string::npos) << text;
}

TEST_F(HalvctlE2E, BiosRoundTripAndARefusedImageSendsNothing) {
    LoadPopulation("default");
    const std::string backup = File("velo300.rom");
    Outcome o = Halvctl({"bios", "backup", "0", backup});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out, kTarget + std::string(kBackupDone) + "\n");
    const Bytes flash(pop->adapters[kAdapter0].bios,
                      pop->adapters[kAdapter0].bios + sim::kBiosSize);
    EXPECT_TRUE(ReadFileBytes(backup) == flash) << "the file is the flash";

    // Not overwritten without --force; nothing is read from the adapter for it.
    const uint32_t reads = Sent(channel::MPCMD_READ_BIOS);
    o = Halvctl({"bios", "backup", "0", backup});
    EXPECT_EQ(o.exitCode, 2u) << Show(o);
    EXPECT_EQ(o.err, "halvctl: bios backup: " + backup + " exists; --force replaces it\n");
    EXPECT_EQ(Sent(channel::MPCMD_READ_BIOS), reads);
    // A read that fails keeps the existing file whole, even with --force.
    ASSERT_TRUE(e2e::Control().SetFault(kAdapter0, channel::MPCMD_READ_BIOS, sim::kFaultCallFails));
    o = Halvctl({"bios", "backup", "0", backup, "--force"});
    EXPECT_EQ(o.exitCode, 1u) << Show(o);
    EXPECT_EQ(o.err, "halvctl: bios backup 0 " + backup + ": " + kTarget + kIoctlFailed +
                         " (the adapter did not accept the request)\n");
    EXPECT_TRUE(ReadFileBytes(backup) == flash);
    EXPECT_EQ(GetFileAttributesA((backup + ".halvctl-partial").c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(e2e::Control().SetFault(kAdapter0, channel::MPCMD_READ_BIOS, sim::kFaultNone));

    // The backup goes back in, then a newer image; the list shows the new version.
    o = Halvctl({"bios", "update", "0", backup});
    EXPECT_EQ(o.exitCode, 2u) << "no --yes";
    EXPECT_EQ(Sent(channel::MPCMD_WRITE_BIOS), 0u);
    o = Halvctl({"bios", "update", "0", backup, "--yes"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out, kTarget + std::string(kUpdateDone) + "\n");
    Bytes newer(sim::kBiosSize);
    sim::FillBiosImage(newer.data(), 0x6A31, "1.00.0.31");
    const std::string newerFile = File("newer.rom");
    ASSERT_TRUE(WriteFileBytes(newerFile, newer));
    o = Halvctl({"bios", "update", "0", newerFile, "--yes"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    auto back = ReadBack();
    EXPECT_TRUE(Bytes(back->adapters[kAdapter0].bios,
                      back->adapters[kAdapter0].bios + sim::kBiosSize) == newer);
    o = Halvctl({"show", "0"});
    EXPECT_NE(o.out.find("BIOS Version:        1.00.0.31\n"), std::string::npos) << o.out;

    // A spoilt image, and one for the other adapter's model: refused, nothing is sent.
    const uint32_t writes = Sent(channel::MPCMD_WRITE_BIOS);
    EXPECT_EQ(writes, 2u);
    Bytes spoilt = newer;
    spoilt[0x100] ^= 0x01;
    const std::string spoiltFile = File("spoilt.rom");
    ASSERT_TRUE(WriteFileBytes(spoiltFile, spoilt));
    o = Halvctl({"bios", "update", "0", spoiltFile, "--yes"});
    EXPECT_EQ(o.exitCode, 1u) << Show(o);
    EXPECT_EQ(o.err, "halvctl: bios update 0 " + spoiltFile + ": " + kTarget + kCorrupted +
                         " (the image's byte sum is 255, not 0)\n");
    o = Halvctl({"bios", "update", "1", newerFile, "--yes"});
    EXPECT_EQ(o.exitCode, 1u) << Show(o);
    EXPECT_EQ(Sent(channel::MPCMD_WRITE_BIOS), writes);
    EXPECT_EQ(Sent(channel::MPCMD_WRITE_BIOS, 2), 0u);
    back = ReadBack();
    EXPECT_TRUE(Bytes(back->adapters[kAdapter0].bios,
                      back->adapters[kAdapter0].bios + sim::kBiosSize) == newer)
        << "the flash is untouched";

    ASSERT_TRUE(
        e2e::Control().SetFault(kAdapter0, channel::MPCMD_WRITE_BIOS, sim::kFaultReturnCodeOff, 1));
    o = Halvctl({"bios", "update", "0", backup, "--yes"});
    EXPECT_EQ(o.exitCode, 1u) << Show(o);
    EXPECT_EQ(o.err, "halvctl: bios update 0 " + backup + ": " + kTarget + kIoctlFailed +
                         " (the adapter did not accept the request)\n");
    o = Halvctl({"bios", "backup", "3", File("x.rom")});
    EXPECT_EQ(o.exitCode, 2u) << Show(o);
}

TEST_F(HalvctlE2E, TcqReadsAndWritesTagCmd) {
    LoadPopulation("default");
    Outcome o = Halvctl({"tcq"});
    EXPECT_EQ(o.exitCode, 1u) << "the key belongs to the miniport's installation\n" << Show(o);
    EXPECT_EQ(o.err, std::string("halvctl: tcq: cannot read TAG_CMD under HKEY_LOCAL_MACHINE\\") +
                         halv::kQueuedCommandKey +
                         ": the key or value is missing, or access was denied\n");
    o = Halvctl({"tcq", "on"});
    EXPECT_EQ(o.exitCode, 1u) << Show(o);

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, halv::kQueuedCommandKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD zero = 0;
    RegSetValueExA(key, halv::kQueuedCommandValue, 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&zero), sizeof zero);
    auto stored = [&] {
        DWORD value = 0xdeadf00d, type = 0, size = sizeof value;
        RegQueryValueExA(key, halv::kQueuedCommandValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size);
        return type == REG_DWORD && size == 4 ? value : 0xdeadf00d;
    };
    o = Halvctl({"tcq"});
    EXPECT_EQ(o.out, "off\n") << Show(o);
    o = Halvctl({"tcq", "on"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out, std::string(kRestart) + "\nTAG_CMD under HKEY_LOCAL_MACHINE\\" +
                         halv::kQueuedCommandKey +
                         " is now on, for every adapter of the miniport\n");
    EXPECT_EQ(stored(), 1u);
    o = Halvctl({"tcq"});
    EXPECT_EQ(o.out, "on\n");
    o = Halvctl({"tcq", "off"});
    EXPECT_EQ(o.exitCode, 0u);
    EXPECT_EQ(stored(), 0u);
    o = Halvctl({"tcq", "OFF"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out, "TCQ/NCQ is already off; nothing was changed\n");
    o = Halvctl({"tcq", "maybe"});
    EXPECT_EQ(o.exitCode, 2u);
    EXPECT_EQ(stored(), 0u);
    RegCloseKey(key);
}

TEST_F(HalvctlE2E, TransferModeSendsSetFeaturesForAnOfferedMode) {
    LoadPopulation("default");
    Outcome o = Halvctl({"transfer-mode", "0/0/0", "udma", "4"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out, "device 0/0/0 on " + std::string(kTarget) + kModeSet +
                         "\ndevice 0/0/0 now uses UDMA-4\n");
    auto back = ReadBack();
    EXPECT_EQ(back->adapters[kAdapter0].devices[0][0].lastAtaSectorCount, 0x44);
    EXPECT_EQ(back->adapters[kAdapter0].devices[0][0].ataCommands, 1u);

    o = Halvctl({"transfer-mode", "0/0/0", "udma", "7"});
    EXPECT_EQ(o.exitCode, 2u) << Show(o);
    o = Halvctl({"transfer-mode", "1/3/0", "dma", "0"});
    EXPECT_EQ(o.exitCode, 2u) << "a PIO-only device\n" << Show(o);
    o = Halvctl({"transfer-mode", "1/3/0", "pio", "4"});
    EXPECT_EQ(o.exitCode, 2u) << "above the device's PIO-3\n" << Show(o);
    o = Halvctl({"transfer-mode", "1/3/0", "pio", "2"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    back = ReadBack();
    EXPECT_EQ(back->adapters[kAdapter0].devices[0][0].ataCommands, 1u) << "nothing more was sent";
    EXPECT_EQ(back->adapters[2].devices[3][0].lastAtaSectorCount, 0x0A);

    ASSERT_TRUE(
        e2e::Control().SetFault(kAdapter0, channel::MPCMD_ATA_COMMAND, sim::kFaultCallFails));
    o = Halvctl({"transfer-mode", "0/0/0", "dma", "2"});
    EXPECT_EQ(o.exitCode, 1u) << Show(o);
    EXPECT_EQ(o.err, std::string("halvctl: transfer-mode 0/0/0 dma 2: device 0/0/0 on ") + kTarget +
                         kModeFailed + " (the adapter did not accept the request)\n");
}

// metrics --textfile into folders of the output folder, which promtool checks after this
// program (halvctl_e2e_metrics): the default population, then with its S.M.A.R.T. requests
// failing, then with device slots that discovery cannot read.
TEST_F(HalvctlE2E, MetricsTextfileIsReplacedWholeAndLeavesOutWhatFailed) {
    const std::string folder = g_jsonOut + "\\metrics", faulty = g_jsonOut + "\\metrics-fault";
    const std::string prom = folder + "\\halv.prom", faultyProm = faulty + "\\halv.prom";
    auto entries = [](const std::string& dir) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
        if (h == INVALID_HANDLE_VALUE) return names;
        do {
            if (std::string(found.cFileName) != "." && std::string(found.cFileName) != "..")
                names.push_back(found.cFileName);
        } while (FindNextFileA(h, &found));
        FindClose(h);
        return names;
    };
    auto text = [](const std::string& path) {
        const Bytes b = ReadFileBytes(path);
        return std::string(b.begin(), b.end());
    };

    LoadPopulation("default");
    ASSERT_TRUE(WriteFileBytes(prom, std::string("stale\n")));
    Outcome o = Halvctl({"metrics", "--textfile", folder});
    ASSERT_TRUE(o.finished);
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out, "");
    std::string t = text(prom);  // replaced, not appended to
    EXPECT_EQ(t.rfind("# HELP halv_up ", 0), 0u) << t;
    EXPECT_NE(t.find("halv_device_smart_state{adapter=\"0\",port=\"1\",device=\"0\","
                     "address=\"0/1/0\"} 2\n"),
              std::string::npos)
        << t;
    EXPECT_NE(
        t.find("halv_enclosure_temperature_celsius{adapter=\"0\",port=\"0\",sensor=\"1\"} 40\n"),
        std::string::npos);
    EXPECT_EQ(t.find('\r'), std::string::npos) << "the format's lines end in LF alone";
    EXPECT_EQ(entries(folder), std::vector<std::string>{"halv.prom"});

    ASSERT_TRUE(
        e2e::Control().SetFault(kAdapter0, channel::MPCMD_GET_SMART_STATUS, sim::kFaultCallFails));
    o = Halvctl({"metrics", "--textfile", faulty});
    EXPECT_EQ(o.exitCode, 1u) << Show(o);  // unknown, as show says it
    EXPECT_NE(o.err.find("halvctl: metrics: S.M.A.R.T. state of device 0/1/0 could not be read\n"),
              std::string::npos)
        << o.err;
    t = text(faultyProm);
    EXPECT_EQ(t.find("halv_device_smart_state{adapter=\"0\",port=\"1\""), std::string::npos) << t;
    EXPECT_NE(t.find("halv_device_readable{adapter=\"0\",port=\"1\",device=\"0\","
                     "address=\"0/1/0\"} 0\n"),
              std::string::npos)
        << t;

    LoadPopulation("unreadable-device");
    const std::string unreadable = g_jsonOut + "\\metrics-unreadable";
    o = Halvctl({"metrics", "--textfile", unreadable});
    EXPECT_EQ(o.exitCode, 1u) << Show(o);
    EXPECT_NE(o.err.find("device 1/0/0 could not be read"), std::string::npos) << o.err;
    EXPECT_NE(text(unreadable + "\\halv.prom").find("halv_up 1\n"), std::string::npos);
}

TEST_F(HalvctlE2E, HelpAndRefusedCommandLines) {
    LoadPopulation("default");
    for (const char* command :
         {"list", "show", "health", "metrics", "bios", "tcq", "transfer-mode"}) {
        Outcome o = Halvctl({command, "--help"});
        EXPECT_EQ(o.exitCode, 0u) << command;
        EXPECT_EQ(o.out.rfind(std::string("Usage: halvctl ") + command, 0), 0u) << o.out;
    }
    Outcome o = Halvctl({"--help"});
    EXPECT_EQ(o.exitCode, 0u);
    const std::string usage = o.out;
    o = Halvctl({"/?"});
    EXPECT_EQ(o.exitCode, 0u) << "Windows' own way to ask\n" << Show(o);
    EXPECT_EQ(o.out, usage);
    o = Halvctl({"--version"});
    EXPECT_EQ(o.exitCode, 0u) << Show(o);
    EXPECT_EQ(o.out.rfind("halvctl ", 0), 0u) << o.out;
    o = Halvctl({});
    EXPECT_EQ(o.exitCode, 2u);
    EXPECT_EQ(o.err.rfind("Usage: halvctl", 0), 0u);
    o = Halvctl({"erase"});
    EXPECT_EQ(o.exitCode, 2u);
    EXPECT_EQ(o.err, "halvctl: unknown command \"erase\"; \"halvctl --help\" lists the commands\n");
    EXPECT_EQ(ReadBack()->adapters[kAdapter0].counters.requests, 0u) << "help sends nothing";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 4) {
        g_halvctl = e2e::WindowsPath(argv[2]);
        g_populations = e2e::WindowsPath(argv[3]);
        g_jsonOut = e2e::WindowsPath(argv[4]);
    }
    if (g_halvctl.empty()) {
        std::fprintf(stderr,
                     "usage: halvctl_e2e <HALVSIM.sys> <halvctl.exe> <population folder> "
                     "<JSON output folder>\n");
        return 2;
    }
    CreateDirectoryA(g_jsonOut.c_str(), nullptr);
    for (const char* folder :
         {"metrics", "metrics-fault", "metrics-unreadable", "metrics-unopened"}) {
        const std::string dir = g_jsonOut + "\\" + folder;
        CreateDirectoryA(dir.c_str(), nullptr);
        DeleteFileA((dir + "\\halv.prom").c_str());
    }
    for (const char* name : {"default", "default-optical", "healthy", "no-adapter",
                             "unreadable-device", "unopened-port"})
        DeleteFileA((g_jsonOut + "\\" + name + ".json").c_str());
    return e2e::Main(argc, argv);
}
