// End to end under load: Vexmond.exe under the real Service Control Manager with the bridge
// XAPHLINK.sys and the simulator HALVSIM.sys as the adapters' miniport, which signals no more
// than its contract promises: only when a record lands in an empty queue. Four writers queue
// records on four adapters in batches, faster than the service reads them, as a miniport does
// in a storm of media errors; every record must reach the event log once and in order, with no
// warning box. Then the same with one adapter's reads failing for a while, records that waited
// for the start under a miniport that does not announce them at registration, and two hundred
// start, pause, continue and stop cycles.
//
// Usage: korrin_load_e2e HALVSIM.sys Vexmond.exe XAPHLINK.sys (under scripts/e2e.sh, which
// collects the service's event-log lines and dialogs in HALV_E2E_DRIVER_LOG).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel/protocol.h"
#include "e2e_support.h"
#include "service_e2e_support.h"
#include "sim/population.h"

namespace {

using namespace svc_e2e;

constexpr char kGroup[] = "HALV bridge and simulator";
constexpr char kFolder[] = "C:\\Korrin Load\\";
constexpr char kMutex[] = "Global\\Vexmond-Mutex";
constexpr int kAdapters = 4;
constexpr uint32_t kRecordsPerAdapter = 500;  // 2000 in all

std::string g_exeSource, g_sysSource;

std::string Exe() {
    return std::string(kFolder) + "Vexmond.exe";
}
std::string Sys() {
    return std::string(kFolder) + "XAPHLINK.sys";
}

class KorrinLoad : public e2e::SimTest {
  protected:
    static void SetUpTestSuite() {
        CreateDirectoryA(kFolder, nullptr);
        ASSERT_TRUE(CopyFileA(g_exeSource.c_str(), Exe().c_str(), FALSE)) << GetLastError();
        ASSERT_TRUE(CopyFileA(g_sysSource.c_str(), Sys().c_str(), FALSE)) << GetLastError();
    }

    void SetUp() override {
        ASSERT_TRUE(log_.available()) << "HALV_E2E_DRIVER_LOG is not set: run under scripts/e2e.sh";
        auto pop = e2e::EmptyPopulation();
        for (int p = 0; p < kAdapters; ++p) {
            sim::SimAdapter& a = sim::AddAdapter(*pop, p, 0x3124, 4, 2, "Storm");
            sim::AddDisk(a, 0, 0, "DISK");
            a.signalling = sim::kSignalEdge;
        }
        Load(*pop);
        // The previous case's service, deleted at its end, may still be on its way out.
        ASSERT_TRUE(AwaitGone("Vexmond", 90000)) << Describe("Vexmond");
        ASSERT_TRUE(e2e::RunProgram("\"" + Exe() + "\" /SvcInstall", 30000).finished);
        ASSERT_TRUE(AwaitExists("Vexmond", 10000)) << Describe("Vexmond");
    }

    void TearDown() override {
        if (StateOf("Vexmond") != 0 && StateOf("Vexmond") != SERVICE_STOPPED) {
            Sc service(OpenSvc("Vexmond"));
            SERVICE_STATUS status{};
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            AwaitState("Vexmond", SERVICE_STOPPED, 20000);
        }
        AwaitProcessGone(kMutex, 10000);
        e2e::RunProgram("\"" + Exe() + "\" /SvcRemove", 30000);
        std::string error;
        simctl::StopAndDelete("KvDpcService", &error);
        EXPECT_EQ(log_.Read().find("wine: Unhandled"), std::string::npos) << "a crash";
        e2e::SimTest::TearDown();
    }

    // The bridge's driver service in the simulator's group, so that its DPC addresses mean
    // something to the simulator; the service uses a driver service that already runs.
    static bool StartBridge() {
        std::string error;
        const bool ok = simctl::InstallAndStart({"KvDpcService", Sys(), kGroup}, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }

    static bool Control(DWORD control, DWORD state) {
        Sc service(OpenSvc("Vexmond"));
        SERVICE_STATUS status{};
        if (!service || !ControlService(service.get(), control, &status)) {
            ADD_FAILURE() << "control " << control << ": error " << GetLastError();
            return false;
        }
        const bool reached = AwaitState("Vexmond", state, 30000);
        EXPECT_TRUE(reached) << "control " << control << ": state " << StateOf("Vexmond");
        return reached;
    }

    bool StartService() {
        if (!StartBridge()) return false;
        Sc service(OpenSvc("Vexmond"));
        if (!service || !::StartServiceA(service.get(), 0, nullptr)) {
            ADD_FAILURE() << "StartService: error " << GetLastError();
            return false;
        }
        const bool running = AwaitState("Vexmond", SERVICE_RUNNING, 30000);
        EXPECT_TRUE(running) << StateOf("Vexmond");
        return running;
    }

    bool AwaitConnected() {
        for (int i = 0; i < 300; ++i) {
            sim::SimPopulation pop;
            if (!e2e::Control().ReadPopulation(pop)) return false;
            bool all = true;
            for (int p = 0; p < kAdapters; ++p) all = all && pop.adapters[p].dpcRegistered;
            if (all) return true;
            Sleep(50);
        }
        ADD_FAILURE() << "the service did not connect all four adapters";
        return false;
    }

    // Stops the service and checks that everything went with it.
    void StopAndCheck() {
        ASSERT_TRUE(Control(SERVICE_CONTROL_STOP, SERVICE_STOPPED));
        EXPECT_TRUE(AwaitProcessGone(kMutex, 30000)) << "the service process did not end";
        EXPECT_FALSE(Exists("KvDpcService")) << "the bridge's driver service was left behind";
    }

    // Every record of every adapter exactly once and in order, read from the entries.
    void ExpectEveryRecordOnceInOrder(const std::vector<Entry>& entries,
                                      uint32_t perAdapter = kRecordsPerAdapter) {
        std::map<int, std::vector<uint32_t>> lbas;
        for (const Entry& e : entries) {
            unsigned disk = 0, lba = 0, card = 0, port = 0;
            if (std::sscanf(e.text.c_str(),
                            "A media error occurred on disk%u LBA 0x%x at device path "
                            "\\card%u\\port%u .",
                            &disk, &lba, &card, &port) != 4) {
                ADD_FAILURE() << "unexpected entry: " << e.text;
                continue;
            }
            lbas[static_cast<int>(card)].push_back(lba);
        }
        for (int card = 1; card <= kAdapters; ++card) {
            const std::vector<uint32_t>& got = lbas[card];
            EXPECT_EQ(got.size(), perAdapter) << "card " << card;
            for (uint32_t i = 0; i < got.size() && i < perAdapter; ++i)
                if (got[i] != i) {
                    ADD_FAILURE() << "card " << card << ": entry " << i << " is record " << got[i];
                    break;
                }
        }
    }

    std::vector<Entry> AwaitAllEntries() {
        return log_.AwaitEntries(kAdapters * kRecordsPerAdapter, 180000);
    }

    DriverLog log_;
};

TEST_F(KorrinLoad, StormOfFourAdaptersIsLoggedWholeAndInOrderWithoutABox) {
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(AwaitConnected());
    std::vector<std::unique_ptr<Writer>> writers;
    for (int p = 0; p < kAdapters; ++p)
        writers.push_back(std::make_unique<Writer>(p, kRecordsPerAdapter));
    for (auto& w : writers) w->Start();
    for (auto& w : writers) w->Join();
    for (auto& w : writers) EXPECT_TRUE(w->ok()) << w->error();
    const std::vector<Entry> entries = AwaitAllEntries();
    EXPECT_EQ(entries.size(), kAdapters * kRecordsPerAdapter);
    ExpectEveryRecordOnceInOrder(entries);
    EXPECT_EQ(log_.Dialogs(), 0) << "a warning box was opened";
    StopAndCheck();
}

TEST_F(KorrinLoad, OneAdapterWhoseReadsFailShowsOneBoxAndTheOthersLoseNothing) {
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(AwaitConnected());
    // Halfway through its records, adapter 1's reads fail for three batches, then work again.
    // Once, before the first batch from the middle on: a full queue takes part of a batch now
    // and then, so the writer need not pass the middle exactly.
    std::string faultError;
    bool faultInjected = false;
    auto failMidway = [&](simctl::SimControl& control, uint32_t next) -> uint32_t {
        if (faultInjected || next < kRecordsPerAdapter / 2) return 0;
        faultInjected = true;
        sim::SimPopulation pop;
        const auto reads = [&] {
            if (!control.ReadPopulation(pop)) return ~0u;
            return pop.adapters[1]
                .counters.byCommand[sim::CommandIndex(channel::MPCMD_READ_EVENTS)];
        };
        // What came before is read first, so that the three batches find room in the queue.
        for (int i = 0; i < 400 && control.ReadPopulation(pop) && pop.adapters[1].queuedEvents; ++i)
            Sleep(25);
        if (!control.SetFault(1, channel::MPCMD_READ_EVENTS, sim::kFaultCallFails)) {
            faultError = "setting the fault failed, error " + std::to_string(control.last_error());
            return 0;
        }
        // One batch at a time, each read (and failing) before the next: three failed reads.
        uint32_t queued = 0;
        for (uint32_t b = 0; b < 3 && faultError.empty(); ++b) {
            const uint32_t before = reads();
            uint8_t records[kBatch * channel::events::kRecordSize];
            for (uint32_t i = 0; i < kBatch; ++i)
                sim::MakeEventRecord(&records[i * channel::events::kRecordSize], 0x102, 1, 0, 0,
                                     next + queued + i);
            uint32_t taken = 0;
            control.QueueEvents(1, records, kBatch, true, taken);
            queued += taken;
            if (taken != kBatch) faultError = "the queue was full while the reads failed";
            for (int i = 0; i < 400 && reads() <= before; ++i) Sleep(25);
            if (reads() <= before) faultError = "a signal brought no read";
        }
        if (!control.SetFault(1, channel::MPCMD_READ_EVENTS, sim::kFaultNone))
            faultError = "clearing the fault failed, error " + std::to_string(control.last_error());
        return queued;
    };
    std::vector<std::unique_ptr<Writer>> writers;
    for (int p = 0; p < kAdapters; ++p)
        writers.push_back(std::make_unique<Writer>(p, kRecordsPerAdapter,
                                                   p == 1 ? Writer::Hook(failMidway) : nullptr));
    for (auto& w : writers) w->Start();
    for (auto& w : writers) w->Join();
    for (auto& w : writers) EXPECT_TRUE(w->ok()) << w->error();
    EXPECT_TRUE(faultInjected) << "adapter 1's reads never failed";
    EXPECT_EQ(faultError, "");
    const std::vector<Entry> entries = AwaitAllEntries();
    EXPECT_EQ(entries.size(), kAdapters * kRecordsPerAdapter);
    ExpectEveryRecordOnceInOrder(entries);
    // Three failed reads, and the box nobody under Wine can close stays the only one.
    // The box is made on a thread of its own: its line may come after the last entry.
    for (int i = 0; i < 200 && log_.Dialogs() == 0; ++i) Sleep(50);
    EXPECT_EQ(log_.Dialogs(), 1) << "the read warning is shown once";
    StopAndCheck();  // also while that box is still open
}

TEST_F(KorrinLoad, RecordsThatWaitedForTheStartAreLoggedAfterIt) {
    // Queued while the service is not running, on a miniport that announces nothing at
    // registration: only the service's own read after connecting finds them. 45 each: two full
    // replies and a partial one.
    constexpr uint32_t kWaiting = 45;
    simctl::SimControl& control = e2e::Control();
    for (int p = 0; p < kAdapters; ++p) {
        ASSERT_TRUE(control.SetSignalling(p, sim::kSignalNoRegistration)) << control.last_error();
        for (uint32_t next = 0; next < kWaiting;) {
            const uint32_t count = std::min(kBatch, kWaiting - next);
            uint8_t records[kBatch * channel::events::kRecordSize];
            for (uint32_t i = 0; i < count; ++i)
                sim::MakeEventRecord(&records[i * channel::events::kRecordSize], 0x102, 1, 0, 0,
                                     next + i);
            uint32_t queued = 0;
            ASSERT_TRUE(control.QueueEvents(p, records, count, true, queued));
            ASSERT_EQ(queued, count);
            next += queued;
        }
    }
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(AwaitConnected());
    const std::vector<Entry> entries = log_.AwaitEntries(kAdapters * kWaiting, 30000);
    EXPECT_EQ(entries.size(), kAdapters * kWaiting);
    ExpectEveryRecordOnceInOrder(entries, kWaiting);
    EXPECT_EQ(log_.Dialogs(), 0) << "a warning box was opened";
    StopAndCheck();
}

TEST_F(KorrinLoad, TwoHundredStartPauseContinueStopCycles) {
    for (int cycle = 0; cycle < 200; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_TRUE(StartService());
        // Records to read, so that the pause finds the monitor at work now and then.
        simctl::SimControl& control = e2e::Control();
        uint8_t records[kBatch * channel::events::kRecordSize];
        for (uint32_t i = 0; i < kBatch; ++i)
            sim::MakeEventRecord(&records[i * channel::events::kRecordSize], 0x104, 2, 0, 0, i);
        uint32_t queued = 0;
        control.QueueEvents(cycle % kAdapters, records, kBatch, true, queued);
        ASSERT_TRUE(Control(SERVICE_CONTROL_PAUSE, SERVICE_PAUSED));
        ASSERT_TRUE(Control(SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING));
        StopAndCheck();
        if (HasFatalFailure() || HasFailure()) return;
    }
    EXPECT_EQ(log_.Dialogs(), 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3) {
        g_exeSource = e2e::WindowsPath(argv[2]);
        g_sysSource = e2e::WindowsPath(argv[3]);
    }
    return e2e::Main(argc, argv, kGroup);
}
