// End to end: Vexmond.exe under the real Service Control Manager, with the bridge XAPHLINK.sys
// and the simulator HALVSIM.sys standing in for the adapters' miniport. Installs the service
// from its command line, starts it, queues adapter events in the simulator (which runs the
// bridge's deferred routine as the miniport would), reads the event-log entries from the driver
// log, pauses, continues and stops it; runs the usage box and debug mode as child processes.
//
// Usage: service_e2e HALVSIM.sys Vexmond.exe XAPHLINK.sys (Unix paths become Wine's Z: form).
// Under Wine two drivers share a winedevice process, and with it the address space in which a
// DPC address means something, only when both services name the same load-order group. The
// service installs the bridge's driver service without a group, but uses one that already runs
// as it is: so the test starts "KvDpcService" in the simulator's group before each run.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "channel/protocol.h"
#include "e2e_support.h"
#include "korrin/messages.h"
#include "service_e2e_support.h"
#include "sim/population.h"

namespace {

using namespace svc_e2e;

constexpr char kGroup[] = "HALV bridge and simulator";
// A folder of the test's own, with a blank: the service path is then registered in quotes.
constexpr char kFolder[] = "C:\\Korrin Test\\";
constexpr char kServiceKey[] = "SOFTWARE\\Torvale Technology Inc.\\HALV\\Service\\Vexmond";
constexpr char kMutex[] = "Global\\Vexmond-Mutex";

std::string g_exeSource, g_sysSource;

std::string Exe() {
    return std::string(kFolder) + "Vexmond.exe";
}
std::string Sys() {
    return std::string(kFolder) + "XAPHLINK.sys";
}
std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// The texts of every message box captioned "Korrin" now on screen.
std::vector<std::string> KorrinBoxes() {
    std::vector<std::string> texts;
    HWND box = nullptr;
    while ((box = FindWindowExA(nullptr, box, "#32770", "Korrin")) != nullptr) {
        char text[1024] = {};
        GetWindowTextA(GetDlgItem(box, 0xFFFF), text, sizeof text);
        texts.push_back(text);
    }
    return texts;
}

// Waits for a box captioned "Korrin" with `text`; clicks its OK button when `close`.
bool AwaitBox(const std::string& text, DWORD ms, bool close) {
    for (DWORD waited = 0; waited <= ms; waited += 50) {
        HWND box = nullptr;
        while ((box = FindWindowExA(nullptr, box, "#32770", "Korrin")) != nullptr) {
            char shown[1024] = {};
            GetWindowTextA(GetDlgItem(box, 0xFFFF), shown, sizeof shown);
            if (text == shown) {
                if (close) PostMessageA(box, WM_COMMAND, IDOK, 0);
                return true;
            }
        }
        Sleep(50);
    }
    return false;
}

std::string RegistryValue(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    char value[512] = {};
    DWORD size = sizeof value, type = 0;
    const LONG r =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || type != REG_SZ) return "<no value>";
    return std::string(value) + "|" + std::to_string(size);
}

class ServiceE2E : public e2e::SimTest {
  protected:
    static void SetUpTestSuite() {
        CreateDirectoryA(kFolder, nullptr);
        ASSERT_TRUE(CopyFileA(g_exeSource.c_str(), Exe().c_str(), FALSE))
            << g_exeSource << ": error " << GetLastError();
        ASSERT_TRUE(CopyFileA(g_sysSource.c_str(), Sys().c_str(), FALSE))
            << g_sysSource << ": error " << GetLastError();
    }

    void SetUp() override {
        auto pop = e2e::EmptyPopulation();
        sim::AddDisk(sim::AddAdapter(*pop, 0, 0x3124, 4, 2, "First"), 0, 0, "DISK A");
        sim::AddDisk(sim::AddAdapter(*pop, 2, 0x3124, 4, 2, "Second"), 1, 0, "DISK B");
        // A miniport that signals only when a record lands in an empty queue.
        pop->adapters[0].signalling = pop->adapters[2].signalling = sim::kSignalEdge;
        Load(*pop);
    }

    void TearDown() override {
        for (const std::string& box : KorrinBoxes()) ADD_FAILURE() << "box left open: " << box;
        Sc service(OpenSvc("Vexmond"));
        SERVICE_STATUS status{};
        if (service && StateOf("Vexmond") != SERVICE_STOPPED) {
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            AwaitState("Vexmond", SERVICE_STOPPED, 20000);
        }
        if (service) DeleteService(service.get());
        std::string error;
        simctl::StopAndDelete("KvDpcService", &error);
        e2e::SimTest::TearDown();
    }

    // The bridge's driver service, started in the simulator's group before the service runs.
    // Called as ASSERT_TRUE(StartBridge()): a failure here must stop the case, not only the
    // helper.
    static bool StartBridge() {
        std::string error;
        const bool ok = simctl::InstallAndStart({"KvDpcService", Sys(), kGroup}, &error);
        EXPECT_TRUE(ok) << "KvDpcService: " << error;
        return ok;
    }

    // What an earlier case may leave for a while: its service still registered (deleted, but
    // referred to), or its process still ending with the single-instance mutex.
    static void AwaitEarlierCasesGone() {
        ASSERT_TRUE(AwaitGone("Vexmond", 90000)) << Describe("Vexmond");
        ASSERT_TRUE(AwaitProcessGone(kMutex, 30000)) << "an earlier Vexmond.exe still runs";
    }

    static e2e::ChildResult Run(const std::string& arguments) {
        return e2e::RunProgram(Quoted(Exe()) + " " + arguments, 30000);
    }

    // Both adapters connected to the bridge: the simulator holds their DPC addresses.
    bool AwaitConnected(DWORD ms) {
        for (DWORD waited = 0; waited <= ms; waited += 100) {
            auto pop = ReadBack();
            if (pop->adapters[0].dpcRegistered && pop->adapters[2].dpcRegistered) return true;
            Sleep(100);
        }
        return false;
    }

    // Installs the service from its command line unless it is installed, and starts it; true
    // once it runs.
    static bool StartVexmond() {
        if (!Exists("Vexmond") && !Run("/SvcInstall").finished) return false;
        Sc service(OpenSvc("Vexmond"));
        if (!service) return false;
        if (!StartServiceA(service.get(), 0, nullptr) &&
            GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            return false;
        return AwaitState("Vexmond", SERVICE_RUNNING, 15000);
    }

    // Stops the service and waits until its process has ended (the monitor's exit work done).
    static bool StopVexmond() {
        Sc service(OpenSvc("Vexmond"));
        SERVICE_STATUS status{};
        if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return false;
        return AwaitState("Vexmond", SERVICE_STOPPED, 30000) && AwaitProcessGone(kMutex, 15000);
    }

    // The entry of the service's own warning `stringId`, with its identifier and its box's text.
    static bool HasWarningEntry(const std::vector<Entry>& entries, uint32_t stringId) {
        for (const korrin::WarningMessage& w : korrin::WarningMessages()) {
            if (w.stringId != stringId) continue;
            for (const Entry& e : entries)
                if (e.id == w.messageId && e.text == korrin::LoadText(stringId)) return true;
        }
        return false;
    }

    static void QueueEvent(int position, uint32_t code, uint32_t severity, uint32_t port,
                           uint32_t disk, uint32_t value) {
        uint8_t record[channel::events::kRecordSize];
        sim::MakeEventRecord(record, code, severity, port, disk, value);
        ASSERT_TRUE(e2e::Control().QueueEvent(position, record))
            << "error " << e2e::Control().last_error();
    }
};

TEST_F(ServiceE2E, ResourcesCarryTheStringsAndTheMessageTable) {
    HMODULE module = LoadLibraryExA(Exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << "error " << GetLastError();
    for (const korrin::StringEntry& s : korrin::StringTable()) {
        char text[1024] = {};
        LoadStringA(module, s.id, text, sizeof text);
        EXPECT_STREQ(text, s.text) << s.id;
    }
    std::vector<uint32_t> ids{korrin::kUndefinedEventMessage};
    for (const korrin::EventMessage& m : korrin::EventMessages()) ids.push_back(m.messageId);
    for (const korrin::WarningMessage& w : korrin::WarningMessages()) ids.push_back(w.messageId);
    for (uint32_t id : ids) {
        const char* inserts[] = {"some text"};
        char text[256] = {};
        const DWORD n =
            FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                           MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text,
                           reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
        EXPECT_GT(n, 0u) << std::hex << id << ": error " << GetLastError();
        EXPECT_STREQ(text, "some text\r\n") << std::hex << id;
    }
    FreeLibrary(module);
}

TEST_F(ServiceE2E, UsageBoxEndsTheProgram) {
    for (const char* argument : {"/?", "HELP"}) {
        Child child(Quoted(Exe()) + " " + argument);
        ASSERT_TRUE(child.started);
        EXPECT_TRUE(AwaitBox(korrin::LoadText(korrin::IDS_USAGE), 15000, true)) << argument;
        DWORD code = 1;
        EXPECT_TRUE(child.Ended(10000, &code)) << argument;
        EXPECT_EQ(code, 0u);
    }
    EXPECT_FALSE(Exists("Vexmond"));
}

TEST_F(ServiceE2E, InstallRegistersTheServiceAndRemoveTakesItAway) {
    for (int round = 0; round < 2; ++round) {  // the second install replaces the first
        const e2e::ChildResult r = Run("-SvcInstall");
        ASSERT_TRUE(r.finished);
    }
    {
        Sc service(OpenSvc("Vexmond", SERVICE_QUERY_CONFIG));
        ASSERT_TRUE(service);
        std::vector<BYTE> buffer(8192);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigA(service.get(), config, buffer.size(), &needed));
        EXPECT_STREQ(config->lpBinaryPathName, Quoted(Exe()).c_str());
        EXPECT_EQ(config->dwServiceType, 0x10u);
        EXPECT_EQ(config->dwStartType, 2u);
        EXPECT_EQ(config->dwErrorControl, 1u);
        EXPECT_STREQ(config->lpDisplayName, "Torvale Strata Message Agent");
    }
    // Wine's QueryServiceConfigA leaves the dependencies out; the SCM keeps them here.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Vexmond", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    char depends[64] = {};
    DWORD size = sizeof depends, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "DependOnService", nullptr, &type,
                               reinterpret_cast<BYTE*>(depends), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_STREQ(depends, "RPCSS");
    EXPECT_EQ(RegistryValue("ServiceName"), "Vexmond|8");
    EXPECT_EQ(RegistryValue("ServiceDisplayName"), "Torvale Strata Message Agent|29");
    EXPECT_EQ(RegistryValue("ServiceBinaryPath"), Exe() + "|" + std::to_string(Exe().size() + 1));

    ASSERT_TRUE(Run("/svcremove").finished);
    EXPECT_FALSE(Exists("Vexmond"));
    EXPECT_EQ(RegistryValue("ServiceName"), "<no key>");
}

TEST_F(ServiceE2E, ServiceLogsAdapterEventsAndUndoesEverythingAtStop) {
    DriverLog log;
    ASSERT_TRUE(log.available()) << "HALV_E2E_DRIVER_LOG is not set: run under scripts/e2e.sh";
    ASSERT_TRUE(StartBridge());
    AwaitEarlierCasesGone();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(Run("/SvcInstall").finished);
    {
        Sc service(OpenSvc("Vexmond"));
        ASSERT_TRUE(service);
        ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << "error " << GetLastError();
    }
    ASSERT_TRUE(AwaitState("Vexmond", SERVICE_RUNNING, 15000)) << StateOf("Vexmond");
    ASSERT_TRUE(AwaitConnected(15000)) << "boxes: " << ::testing::PrintToString(KorrinBoxes());

    // Three records on the second adapter: three entries for card 2, in record order.
    QueueEvent(2, 0x101, 2, 1, 0, 0);
    QueueEvent(2, 0x102, 1, 1, 0, 0xABC);
    QueueEvent(2, 0x100, 0, 1, 0, 0);
    std::vector<Entry> entries = log.AwaitEntries(3, 15000);
    ASSERT_EQ(entries.size(), 3u) << log.Read().substr(0, 4000);
    EXPECT_EQ(entries[0].text, "Disk1 has been attached at device path \\card2\\port2 .");
    EXPECT_EQ(entries[0].id, 0x40000101u);
    EXPECT_EQ(entries[0].type, 4u);
    EXPECT_EQ(entries[0].level, "trace");
    EXPECT_EQ(entries[1].text,
              "A media error occurred on disk1 LBA 0xabc at device path \\card2\\port2 .");
    EXPECT_EQ(entries[1].id, 0x80000102u);
    EXPECT_EQ(entries[1].type, 2u);
    EXPECT_EQ(entries[1].level, "warn");
    EXPECT_EQ(entries[2].text, "Disk1 has been removed at device path \\card2\\port2 .");
    EXPECT_EQ(entries[2].id, 0xC0000100u);
    EXPECT_EQ(entries[2].type, 1u);
    EXPECT_EQ(entries[2].level, "err");

    // Pause holds the monitor; continue lets it handle what came meanwhile.
    Sc service(OpenSvc("Vexmond"));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
    EXPECT_TRUE(AwaitState("Vexmond", SERVICE_PAUSED, 10000));
    QueueEvent(0, 0x300, 1, 0, 1, 110);
    Sleep(500);
    EXPECT_EQ(log.Entries().size(), 3u) << "a paused monitor writes nothing";
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_CONTINUE, &status));
    EXPECT_TRUE(AwaitState("Vexmond", SERVICE_RUNNING, 10000));
    entries = log.AwaitEntries(4, 15000);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[3].text,
              "Temperature is 55.0 C/ 131.0 F that too high for the Enclosure at device path "
              "\\card1\\port1\\disk2 .");
    EXPECT_EQ(entries[3].id, 0x80000300u);

    // An interrogate reports the state unchanged.
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    // Stop: adapters disconnected, the bridge's driver service stopped and deleted, and the
    // process gone (its mutex with it).
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(AwaitState("Vexmond", SERVICE_STOPPED, 30000)) << StateOf("Vexmond");
    EXPECT_FALSE(Exists("KvDpcService"));
    auto pop = ReadBack();
    for (int position : {0, 2}) {
        EXPECT_EQ(pop->adapters[position].dpcRegistered, 0) << position;
        EXPECT_EQ(pop->adapters[position]
                      .counters.byCommand[sim::CommandIndex(channel::MPCMD_UNREGISTER_EVENT_DPC)],
                  1u)
            << position;
    }
    EXPECT_TRUE(AwaitProcessGone(kMutex, 10000)) << "the service process did not end";
    EXPECT_EQ(log.Read().find("wine: Unhandled"), std::string::npos);
}

// A failed withdrawal at stop leaves the bridge loaded, since the adapter may still call it; the
// next start finds the same slots and connects every adapter again, and a clean stop then
// unloads and deletes it. The failures reach the event log and the console session.
TEST_F(ServiceE2E, BridgeStaysLoadedWhileAnAdapterMayCallItAndGoesAtACleanStop) {
    DriverLog log;
    ASSERT_TRUE(log.available()) << "HALV_E2E_DRIVER_LOG is not set: run under scripts/e2e.sh";
    ASSERT_TRUE(StartBridge());
    AwaitEarlierCasesGone();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(StartVexmond()) << Describe("Vexmond");
    ASSERT_TRUE(AwaitConnected(15000));
    const uint64_t address = ReadBack()->adapters[0].dpcAddress;
    ASSERT_TRUE(
        e2e::Control().SetFault(0, channel::MPCMD_UNREGISTER_EVENT_DPC, sim::kFaultCallFails));
    ASSERT_TRUE(StopVexmond()) << Describe("Vexmond");
    EXPECT_EQ(StateOf("KvDpcService"), static_cast<DWORD>(SERVICE_RUNNING))
        << Describe("KvDpcService");
    EXPECT_EQ(ReadBack()->adapters[0].dpcRegistered, 1);
    EXPECT_EQ(ReadBack()->adapters[2].dpcRegistered, 0);
    std::vector<Entry> entries = log.AwaitEntries(2, 5000);
    EXPECT_TRUE(HasWarningEntry(entries, korrin::IDS_DPC_DELETE_FAILED));
    EXPECT_TRUE(HasWarningEntry(entries, korrin::IDS_UNLOAD_BRIDGE_FAILED));
    EXPECT_EQ(log.Dialogs(), 2) << "both boxes handed to the console session";

    // The next start: the same slots, both adapters connected again, events read through them.
    ASSERT_TRUE(e2e::Control().SetFault(0, channel::MPCMD_UNREGISTER_EVENT_DPC, sim::kFaultNone));
    const size_t before = log.Entries().size();
    ASSERT_TRUE(StartVexmond()) << Describe("Vexmond");
    ASSERT_TRUE(AwaitConnected(15000));
    auto pop = ReadBack();
    for (int position : {0, 2})
        EXPECT_EQ(pop->adapters[position]
                      .counters.byCommand[sim::CommandIndex(channel::MPCMD_REGISTER_EVENT_DPC)],
                  2u)
            << position;
    EXPECT_EQ(pop->adapters[0].dpcAddress, address) << "the same slot's DPC";
    QueueEvent(0, 0x104, 2, 0, 0, 0);
    entries = log.AwaitEntries(before + 1, 15000);
    ASSERT_EQ(entries.size(), before + 1) << log.Read().substr(0, 4000);
    EXPECT_EQ(entries.back().id, 0x40000104u) << "the reconnected adapter's event is logged";

    // A clean stop takes the bridge away.
    ASSERT_TRUE(StopVexmond()) << Describe("Vexmond");
    EXPECT_TRUE(AwaitGone("KvDpcService", 10000)) << Describe("KvDpcService");
    EXPECT_EQ(ReadBack()->adapters[0].dpcRegistered, 0);
    EXPECT_EQ(log.Read().find("wine: Unhandled"), std::string::npos);
}

// A bridge driver that cannot start (its file is missing) leaves no driver service behind.
TEST_F(ServiceE2E, DriverThatCannotStartLeavesNoDriverService) {
    DriverLog log;
    ASSERT_TRUE(log.available()) << "HALV_E2E_DRIVER_LOG is not set: run under scripts/e2e.sh";
    AwaitEarlierCasesGone();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(AwaitGone("KvDpcService", 10000)) << Describe("KvDpcService");
    const std::string aside = Sys() + ".aside";
    ASSERT_TRUE(MoveFileExA(Sys().c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING))
        << "error " << GetLastError();
    const bool started = StartVexmond();
    // The monitor installs the driver, fails to start it, warns and ends: the entry goes.
    const std::vector<Entry> entries = log.AwaitEntries(1, 20000);
    const bool gone = started && AwaitGone("KvDpcService", 15000);
    MoveFileExA(aside.c_str(), Sys().c_str(), MOVEFILE_REPLACE_EXISTING);
    ASSERT_TRUE(started) << Describe("Vexmond");
    EXPECT_TRUE(gone) << Describe("KvDpcService");
    EXPECT_TRUE(HasWarningEntry(entries, korrin::IDS_BRIDGE_ERROR));
    EXPECT_FALSE(HasWarningEntry(entries, korrin::IDS_UNLOAD_BRIDGE_FAILED));
    EXPECT_TRUE(StopVexmond());
}

TEST_F(ServiceE2E, DebugModeRunsUntilItsBoxIsClosed) {
    ASSERT_TRUE(StartBridge());
    AwaitEarlierCasesGone();
    if (HasFatalFailure()) return;
    Child child(Quoted(Exe()) + " /x -svcdeb");
    ASSERT_TRUE(child.started);
    EXPECT_TRUE(AwaitConnected(15000)) << "boxes: " << ::testing::PrintToString(KorrinBoxes());
    // The monitor reads what an adapter announces.
    QueueEvent(0, 0x104, 2, 0, 0, 0);
    bool read = false;
    for (int i = 0; i < 100 && !read; ++i) {
        read = ReadBack()->adapters[0].queuedEvents == 0;
        if (!read) Sleep(100);
    }
    EXPECT_TRUE(read);
    // A second instance does nothing at all.
    EXPECT_TRUE(Run("/SvcInstall").finished);
    EXPECT_FALSE(Exists("Vexmond"));

    ASSERT_TRUE(AwaitBox(korrin::LoadText(korrin::IDS_DEBUG_MODE), 15000, true))
        << ::testing::PrintToString(KorrinBoxes());
    DWORD code = 1;
    EXPECT_TRUE(child.Ended(30000, &code));
    EXPECT_FALSE(Exists("KvDpcService"));
    EXPECT_EQ(ReadBack()->adapters[2].dpcRegistered, 0);
}

// The mode's two threads use the SCM at once from a fresh process: the host's thread installs
// the service while the monitor installs the bridge. Neither may fail for the other: under Wine
// a handle that the SCM does not know on the connection a request took is refused with "no
// context handle found", which fails the install or the bridge's start only some of the time.
TEST_F(ServiceE2E, Windows98ModeRunsUntilItsStopEventIsSet) {
    DriverLog log;
    ASSERT_TRUE(StartBridge());
    // The mode installs the service: what an earlier case registered must be gone first, or
    // the install fails as it should and the case would blame the program.
    AwaitEarlierCasesGone();
    if (HasFatalFailure()) return;
    Child child(Quoted(Exe()) + " -WIN98");
    ASSERT_TRUE(child.started);
    EXPECT_TRUE(AwaitConnected(15000)) << "boxes: " << ::testing::PrintToString(KorrinBoxes());
    const bool installed = AwaitExists("Vexmond", 30000);
    EXPECT_TRUE(installed) << "the mode did not install the service; program "
                           << (child.Ended(0) ? "ended" : "running") << ", mutex "
                           << (MutexExists(kMutex) ? "held" : "free") << ", " << Describe("Vexmond")
                           << ", boxes: " << ::testing::PrintToString(KorrinBoxes());
    EXPECT_FALSE(child.Ended(0));
    HANDLE stop = nullptr;
    for (int i = 0; i < 100 && !stop; ++i) {
        stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\Vexmond-ServiceStop");
        if (!stop) Sleep(100);
    }
    ASSERT_NE(stop, nullptr) << "error " << GetLastError();
    SetEvent(stop);
    CloseHandle(stop);
    EXPECT_TRUE(child.Ended(30000));
    EXPECT_FALSE(Exists("KvDpcService"));
    EXPECT_EQ(ReadBack()->adapters[0].dpcRegistered, 0);
    EXPECT_EQ(log.Read().find("no context handle found"), std::string::npos)
        << "the SCM refused a handle of the program's";
}

}  // namespace

int main(int argc, char** argv) {
    // After the simulator's path: the service program and the bridge driver to copy.
    if (argc > 3) {
        g_exeSource = e2e::WindowsPath(argv[2]);
        g_sysSource = e2e::WindowsPath(argv[3]);
    }
    return e2e::Main(argc, argv, kGroup);
}
