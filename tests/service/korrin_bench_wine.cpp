// Benchmark of Vexmond.exe under Wine: the real service under the Service Control Manager with
// the bridge XAPHLINK.sys and the simulator HALVSIM.sys. Prints signal-to-entry latency (from
// queueing a record with its signal to its entry's line in the driver log), entries per second
// in a four-adapter storm, the drain rate of a backlog announced by one edge signal, and the CPU
// time of the idle service process, also while one adapter claims records forever. Not a test:
// it judges
// nothing but whether it could measure; scripts/bench.sh runs it in the e2e harness's prefix.
//
// Usage: korrin_bench_wine HALVSIM.sys Vexmond.exe XAPHLINK.sys
// Environment: KORRIN_BENCH_EVENTS (default 300), KORRIN_BENCH_STORM (records per adapter,
// default 2000), KORRIN_BENCH_IDLE (seconds, default 60).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "channel/protocol.h"
#include "e2e_support.h"
#include "service_e2e_support.h"
#include "sim/population.h"

namespace {

using namespace svc_e2e;

constexpr char kGroup[] = "HALV bridge and simulator";
constexpr char kFolder[] = "C:\\Korrin Bench\\";
constexpr int kAdapters = 4;

std::string g_exeSource, g_sysSource;

std::string Exe() {
    return std::string(kFolder) + "Vexmond.exe";
}
std::string Sys() {
    return std::string(kFolder) + "XAPHLINK.sys";
}

// The service program's command line with `arguments`.
std::string CommandLine(const char* arguments) {
    std::string line = "\"";
    line += Exe();
    line += "\" ";
    line += arguments;
    return line;
}

int Setting(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / frequency.QuadPart;
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

double CpuSeconds(HANDLE process) {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) return -1;
    const auto value = [](FILETIME f) {
        return (static_cast<uint64_t>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 1e7;
    };
    return value(kernel) + value(user);
}

class KorrinBench : public e2e::SimTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(log_.available())
            << "HALV_E2E_DRIVER_LOG is not set: run under scripts/bench.sh";
        CreateDirectoryA(kFolder, nullptr);
        ASSERT_TRUE(CopyFileA(g_exeSource.c_str(), Exe().c_str(), FALSE)) << GetLastError();
        ASSERT_TRUE(CopyFileA(g_sysSource.c_str(), Sys().c_str(), FALSE)) << GetLastError();
        auto pop = e2e::EmptyPopulation();
        for (int p = 0; p < kAdapters; ++p)
            sim::AddDisk(sim::AddAdapter(*pop, p, 0x3124, 4, 2, "Bench"), 0, 0, "DISK");
        Load(*pop);
        ASSERT_TRUE(AwaitGone("Vexmond", 90000)) << Describe("Vexmond");
        ASSERT_TRUE(e2e::RunProgram(CommandLine("/SvcInstall"), 30000).finished);
        ASSERT_TRUE(AwaitExists("Vexmond", 10000)) << Describe("Vexmond");
        // The bridge in the simulator's group, so that its DPC addresses mean something there.
        std::string error;
        ASSERT_TRUE(simctl::InstallAndStart({"KvDpcService", Sys(), kGroup}, &error)) << error;
        Sc service(OpenSvc("Vexmond"));
        ASSERT_TRUE(service && StartServiceA(service.get(), 0, nullptr)) << GetLastError();
        ASSERT_TRUE(AwaitState("Vexmond", SERVICE_RUNNING, 30000));
        bool connected = false;
        for (int i = 0; i < 600 && !connected; ++i) {
            sim::SimPopulation pop;
            ASSERT_TRUE(e2e::Control().ReadPopulation(pop));
            connected = true;
            for (int p = 0; p < kAdapters; ++p)
                connected = connected && pop.adapters[p].dpcRegistered;
            if (!connected) Sleep(50);
        }
        ASSERT_TRUE(connected) << "the service did not connect the adapters";
    }

    void TearDown() override {
        Sc service(OpenSvc("Vexmond"));
        SERVICE_STATUS status{};
        if (service) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        AwaitState("Vexmond", SERVICE_STOPPED, 30000);
        AwaitProcessGone("Global\\Vexmond-Mutex", 30000);
        e2e::RunProgram(CommandLine("/SvcRemove"), 30000);
        std::string error;
        simctl::StopAndDelete("KvDpcService", &error);
        e2e::SimTest::TearDown();
    }

    DriverLog log_;
};

TEST_F(KorrinBench, Figures) {
    const int events = Setting("KORRIN_BENCH_EVENTS", 300);
    const uint32_t storm = static_cast<uint32_t>(Setting("KORRIN_BENCH_STORM", 2000));
    const int idle = Setting("KORRIN_BENCH_IDLE", 60);
    simctl::SimControl& control = e2e::Control();

    // Latency: one record at a time, each adapter in turn, from its queueing (with the signal)
    // to its entry's line in the driver log, which is polled every millisecond.
    std::vector<double> latencies;
    for (int i = 0; i < events; ++i) {
        const size_t before = log_.Entries().size();
        uint8_t record[channel::events::kRecordSize];
        sim::MakeEventRecord(record, 0x102, 1, 0, 0, static_cast<uint32_t>(i));
        uint32_t queued = 0;
        const LARGE_INTEGER start = Now();
        ASSERT_TRUE(control.QueueEvents(i % kAdapters, record, 1, true, queued) && queued == 1);
        LARGE_INTEGER seen{};
        for (DWORD waited = 0;; ++waited) {
            const std::vector<Entry>& entries = log_.Entries();
            if (entries.size() > before && !entries[before].text.empty()) {
                seen = Now();
                break;
            }
            ASSERT_LT(waited, 10000u) << "record " << i << " was not logged";
            Sleep(1);
        }
        latencies.push_back(Seconds(start, seen) * 1e6);
    }

    // Storm: four writers, batches of eight with a signal after each.
    const size_t before = log_.Entries().size();
    const size_t total = static_cast<size_t>(storm) * kAdapters;
    std::vector<std::unique_ptr<Writer>> writers;
    for (int p = 0; p < kAdapters; ++p) writers.push_back(std::make_unique<Writer>(p, storm));
    const LARGE_INTEGER start = Now();
    for (auto& w : writers) w->Start();
    for (auto& w : writers) w->Join();
    for (auto& w : writers) ASSERT_TRUE(w->ok()) << w->error();
    const std::vector<Entry> entries = log_.AwaitEntries(before + total, 300000);
    const LARGE_INTEGER end = Now();
    ASSERT_GE(entries.size(), before + total) << "the storm was not logged whole";
    const double stormSeconds = Seconds(start, end);

    // Drain: a backlog of 250 records on adapter 0, whose miniport now signals only when a
    // record lands in an empty queue: one signal for all of them.
    constexpr uint32_t kBacklog = 250;
    ASSERT_TRUE(control.SetSignalling(0, sim::kSignalEdge)) << control.last_error();
    const size_t beforeDrain = log_.Entries().size();
    const LARGE_INTEGER drainStart = Now();
    for (uint32_t next = 0; next < kBacklog;) {
        constexpr uint32_t kChunk = 16;
        const uint32_t count = std::min(kChunk, kBacklog - next);
        uint8_t records[kChunk * channel::events::kRecordSize];
        for (uint32_t i = 0; i < count; ++i)
            sim::MakeEventRecord(&records[i * channel::events::kRecordSize], 0x102, 1, 0, 0,
                                 next + i);
        uint32_t queued = 0;
        ASSERT_TRUE(control.QueueEvents(0, records, count, true, queued));
        next += queued;
    }
    const std::vector<Entry> backlog = log_.AwaitEntries(beforeDrain + kBacklog, 120000);
    const double drainSeconds = Seconds(drainStart, Now());
    ASSERT_GE(backlog.size(), beforeDrain + kBacklog) << "the backlog was not drained";

    // Idle: the service process's CPU time while nothing happens; then again while adapter 1
    // owes records that it never delivers (every reply claims to be full), after its signal.
    double idleCpu = -1, cpuSoFar = -1, owingCpu = -1;
    uint32_t owingReads = 0;
    {
        Sc service(OpenSvc("Vexmond"));
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<BYTE*>(&status), sizeof status, &needed));
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId);
        ASSERT_NE(process, nullptr) << GetLastError();
        const double cpuBefore = CpuSeconds(process);
        Sleep(static_cast<DWORD>(idle) * 1000);
        const double cpuAfter = CpuSeconds(process);
        if (cpuBefore >= 0 && cpuAfter >= 0) idleCpu = cpuAfter - cpuBefore;
        cpuSoFar = cpuBefore;

        // The population as it stands (registrations included), with the claim added.
        auto pop = std::make_unique<sim::SimPopulation>();
        ASSERT_TRUE(control.ReadPopulation(*pop));
        pop->adapters[1].eventCountOverride = channel::events::kMaxRecords;
        ASSERT_TRUE(control.LoadPopulation(*pop));
        uint8_t record[channel::events::kRecordSize];
        sim::MakeEventRecord(record, 0x102, 1, 0, 0, 0);
        uint32_t queued = 0;
        ASSERT_TRUE(control.QueueEvents(1, record, 1, true, queued));
        Sleep(2000);  // the burst of reads at once
        const auto reads = [&] {
            return control.ReadPopulation(*pop)
                       ? pop->adapters[1]
                             .counters.byCommand[sim::CommandIndex(channel::MPCMD_READ_EVENTS)]
                       : 0u;
        };
        const uint32_t readsBefore = reads();
        const double owingBefore = CpuSeconds(process);
        Sleep(static_cast<DWORD>(idle) * 1000);
        const double owingAfter = CpuSeconds(process);
        owingReads = reads() - readsBefore;
        CloseHandle(process);
        if (owingBefore >= 0 && owingAfter >= 0) owingCpu = owingAfter - owingBefore;
    }

    // What the log's polling adds at most: one Sleep(1) as Wine gives it.
    const LARGE_INTEGER sleepStart = Now();
    for (int i = 0; i < 100; ++i) Sleep(1);
    const double pollUs = Seconds(sleepStart, Now()) * 1e6 / 100;

    std::printf("wine    log polled every %.0f us\n", pollUs);
    std::printf("wine    signal-to-entry latency over %d events: p50 %.1f us, p99 %.1f us\n",
                events, Percentile(latencies, 0.50), Percentile(latencies, 0.99));
    std::printf("wine    four-adapter storm: %zu entries in %.3f s, %.0f entries/s\n", total,
                stormSeconds, total / stormSeconds);
    std::printf(
        "wine    backlog of %u records, edge signalling: drained in %.3f s, %.0f records/s\n",
        kBacklog, drainSeconds, kBacklog / drainSeconds);
    // The CPU time before the idle spell shows that the process's times are read at all.
    if (idleCpu >= 0)
        std::printf(
            "wine    idle service over %d s: %.3f s CPU (%.3f s CPU before, for the work "
            "above)\n",
            idle, idleCpu, cpuSoFar);
    else
        std::printf("wine    idle service over %d s: CPU time not available\n", idle);
    std::printf(
        "wine    idle service over %d s with one adapter owing records forever: %.3f s CPU, %u "
        "reads of it\n",
        idle, owingCpu, owingReads);
    std::printf("wine    warning boxes made: %d\n", log_.Dialogs());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3) {
        g_exeSource = e2e::WindowsPath(argv[2]);
        g_sysSource = e2e::WindowsPath(argv[3]);
    }
    return e2e::Main(argc, argv, kGroup);
}
