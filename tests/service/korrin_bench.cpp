// Benchmark of the event monitor, natively: the monitor's own code on a thread of its own over
// the simulator's four adapters, with real events and waits in place of the kernel's, and an
// event log that notes when each entry is written. Prints signal-to-entry latency, entries per
// second in a four-adapter storm, the drain rate of a backlog announced by one edge signal, and
// the CPU time of an idle monitor, also while one adapter claims records forever. Not a test:
// it judges nothing; scripts/bench.sh runs it.
//
// Usage: korrin_bench [latency events] [storm records per adapter] [idle seconds]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge_public.h"
#include "channel/protocol.h"
#include "korrin/monitor.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace {

using Clock = std::chrono::steady_clock;
using korrin::Handle;
namespace win = korrin::win;
namespace ev = channel::events;

constexpr int kAdapters = 4;
constexpr uint32_t kBatch = 8;

// Events and waits as the kernel gives them: manual- and auto-reset, named, waited for with a
// time limit.
class Events final : public korrin::Synchronization {
  public:
    Handle CreateNamedEvent(const char* name, bool manualReset) override {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& [h, e] : events_)
            if (e.name == name && !e.closed) return h;
        events_[next_] = Event{name, manualReset, false, false};
        return next_++;
    }
    // The bench's event names are its own: none is ever found made by someone else.
    korrin::SecuredEvent CreateSecuredEvent(const char* name, bool manualReset,
                                            std::span<const uint8_t>) override {
        return {CreateNamedEvent(name, manualReset), false, {}};
    }
    bool SetEvent(Handle h) override {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = events_.find(h);
        if (it == events_.end() || it->second.closed) return false;
        it->second.set = true;
        changed_.notify_all();
        return true;
    }
    bool ResetEvent(Handle h) override {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = events_.find(h);
        if (it == events_.end() || it->second.closed) return false;
        it->second.set = false;
        return true;
    }
    void CloseHandle(Handle h) override {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = events_.find(h);
        if (it != events_.end()) it->second.closed = true;
        changed_.notify_all();
    }
    uint32_t WaitAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> hold(lock_);
        uint32_t result = win::kWaitTimeout;
        const auto ready = [&] {
            for (uint32_t i = 0; i < count; ++i) {
                auto it = events_.find(handles[i]);
                if (it == events_.end() || it->second.closed) {
                    result = win::kWaitFailed;
                    return true;
                }
                if (it->second.set) {
                    if (!it->second.manualReset) it->second.set = false;
                    result = win::kWaitObject0 + i;
                    return true;
                }
            }
            return false;
        };
        if (timeoutMs == win::kInfinite)
            changed_.wait(hold, ready);
        else
            changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), ready);
        return result;
    }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    Handle Find(const std::string& name) {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& [h, e] : events_)
            if (e.name == name && !e.closed) return h;
        return korrin::kNoHandle;
    }

  private:
    struct Event {
        std::string name;
        bool manualReset, set, closed;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<Handle, Event> events_;
    Handle next_ = 0x1000;
};

// A Service Control Manager whose bridge driver service installs, starts and stops.
class Scm final : public korrin::ServiceControl {
  public:
    Handle OpenManager(uint32_t) override { return 1; }
    Handle OpenServiceEntry(Handle, const char*, uint32_t) override { return exists_ ? 2 : 0; }
    Handle CreateServiceEntry(Handle, const korrin::ServiceConfig&) override {
        exists_ = true;
        return 2;
    }
    bool StartServiceEntry(Handle) override {
        running_ = true;
        return true;
    }
    bool QueryState(Handle, uint32_t& state) override {
        state = running_ ? win::kServiceRunning : win::kServiceStopped;
        return true;
    }
    bool ControlServiceEntry(Handle, uint32_t) override {
        running_ = false;
        return true;
    }
    bool DeleteServiceEntry(Handle) override {
        exists_ = false;
        return true;
    }
    Handle LockDatabase(Handle) override { return 3; }
    void UnlockDatabase(Handle) override {}
    void CloseServiceHandle(Handle) override {}
    uint32_t LastError() override { return win::kErrorServiceDoesNotExist; }

  private:
    bool exists_ = false, running_ = false;
};

// The bridge: slot i for the i-th name registered, and a DPC address that names the slot.
class Bridge final : public korrin::BridgeDevice {
  public:
    static constexpr uint64_t kDpcBase = 0xFFFF800000100000ull;
    Handle Open(const char*) override { return 4; }
    bool Control(Handle, uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t& returned) override {
        uint8_t* out = static_cast<uint8_t*>(output);
        if (code == IOCTL_BRIDGE_REGISTER_EVENT && outputSize >= 4) {
            const uint32_t slot = registered_++;
            for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(slot >> (8 * i));
            returned = 4;
            return slot < BRIDGE_SLOT_COUNT;
        }
        if (code == IOCTL_BRIDGE_QUERY_DPC && inputSize == 8 && outputSize >= 8) {
            const uint8_t* in = static_cast<const uint8_t*>(input);
            const uint64_t address = kDpcBase + in[0] * 64ull;
            for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(address >> (8 * i));
            returned = 8;
            return true;
        }
        return false;
    }
    void Close(Handle) override {}

  private:
    uint32_t registered_ = 0;
};

// The event log: when each entry was written.
class Log final : public korrin::EventLog {
  public:
    Handle Open(const char*) override { return 5; }
    bool Report(Handle, uint16_t, uint32_t, const char*) override {
        std::lock_guard<std::mutex> hold(lock_);
        times_.push_back(Clock::now());
        changed_.notify_all();
        return true;
    }
    void Close(Handle) override {}
    size_t Count() {
        std::lock_guard<std::mutex> hold(lock_);
        return times_.size();
    }
    // Waits until entry `index` (0-based) has been written; its time.
    bool Await(size_t index, Clock::time_point& when, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> hold(lock_);
        if (!changed_.wait_for(hold, limit, [&] { return times_.size() > index; })) return false;
        when = times_[index];
        return true;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> times_;
};

class Boxes final : public korrin::WarningBoxes {
  public:
    void Show(uint32_t id) override {
        std::fprintf(stderr, "korrin_bench: warning box %u\n", id);
        ++shown;
    }
    std::atomic<int> shown{0};
};

class Module final : public korrin::ModuleInfo {
  public:
    bool ModulePath(std::string& path) override {
        path = "C:\\Bench\\Vexmond.exe";
        return true;
    }
};

class MessageLoop final : public korrin::MessageQueue {
  public:
    int RunUntilQuit() override { return 0; }
};

// The simulator is one miniport: its requests and the queueing of records take one lock, as
// the kernel-mode simulator does.
class LockedAdapters final : public channel::DeviceAccess {
  public:
    LockedAdapters(sim::SimPopulation& pop, sim::SignalHook hook, std::mutex& lock)
        : io_(pop, hook), lock_(lock) {}
    channel::DeviceHandle Open(const char* name) override {
        std::lock_guard<std::mutex> hold(lock_);
        return io_.Open(name);
    }
    bool MiniportControl(channel::DeviceHandle device, std::span<uint8_t> buffer) override {
        std::lock_guard<std::mutex> hold(lock_);
        return io_.MiniportControl(device, buffer);
    }
    void Close(channel::DeviceHandle device) override {
        std::lock_guard<std::mutex> hold(lock_);
        io_.Close(device);
    }

  private:
    sim::SimDeviceAccess io_;
    std::mutex& lock_;
};

struct Bench {
    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    std::mutex simLock;
    Events events;
    Scm scm;
    Bridge bridge;
    Boxes boxes;
    Log log;
    Module module;
    MessageLoop queue;
    // The bridge's deferred routine: the slot's event is set.
    static void Signal(void* context, uint64_t, int32_t* slot) {
        auto* self = static_cast<Bench*>(context);
        self->events.SetEvent(self->events.Find("Global\\VEXMOND-" + std::to_string(*slot)));
    }
    LockedAdapters adapters{*pop, sim::SignalHook{&Bench::Signal, this}, simLock};
    sim::SignalHook hook{&Bench::Signal, this};
    korrin::CKorrinThread monitor{
        korrin::MonitorPlatform{adapters, scm, bridge, events, boxes, log, module, queue}};
    std::thread thread;

    Bench() {
        for (int p = 0; p < kAdapters; ++p)
            sim::AddDisk(sim::AddAdapter(*pop, p, 0x3124, 4, 2, "Bench"), 0, 0, "DISK");
    }
    bool Start() {
        thread = std::thread([this] { monitor.Run(); });
        for (int i = 0; i < 5000; ++i) {
            {
                std::lock_guard<std::mutex> hold(simLock);
                bool all = true;
                for (int p = 0; p < kAdapters; ++p) all = all && pop->adapters[p].dpcRegistered;
                if (all) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    void Stop() {
        monitor.RequestStop();
        if (thread.joinable()) thread.join();
    }
    uint32_t Reads(int position) {
        std::lock_guard<std::mutex> hold(simLock);
        return pop->adapters[position]
            .counters.byCommand[sim::CommandIndex(channel::MPCMD_READ_EVENTS)];
    }
    // Queues up to `count` records with one signal; how many the queue took.
    uint32_t Queue(int position, uint32_t firstLba, uint32_t count) {
        uint8_t records[kBatch * ev::kRecordSize];
        for (uint32_t i = 0; i < count; ++i)
            sim::MakeEventRecord(&records[i * ev::kRecordSize], 0x102, 1, 0, 0, firstLba + i);
        std::lock_guard<std::mutex> hold(simLock);
        return sim::QueueEvents(*pop, position, records, count, true, &hook);
    }
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int latencyEvents = argc > 1 ? std::atoi(argv[1]) : 1000;
    const uint32_t stormPerAdapter = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 20000;
    const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 60;

    Bench bench;
    if (!bench.Start()) {
        std::fprintf(stderr, "korrin_bench: the monitor did not connect the adapters\n");
        return 1;
    }

    // Latency: one record at a time, on each adapter in turn, from queueing to its entry.
    std::vector<double> latencies;
    for (int i = 0; i < latencyEvents; ++i) {
        const size_t index = bench.log.Count();
        const Clock::time_point queued = Clock::now();
        if (bench.Queue(i % kAdapters, static_cast<uint32_t>(i), 1) != 1) return 1;
        Clock::time_point logged;
        if (!bench.log.Await(index, logged, std::chrono::seconds(10))) {
            std::fprintf(stderr, "korrin_bench: record %d was not logged\n", i);
            return 1;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(logged - queued).count());
    }

    // Storm: four writers, batches of eight with a signal after each; a full queue is offered
    // the rest again.
    const size_t before = bench.log.Count();
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> writers;
    for (int p = 0; p < kAdapters; ++p)
        writers.emplace_back([&, p] {
            for (uint32_t next = 0; next < stormPerAdapter;) {
                const uint32_t taken =
                    bench.Queue(p, next, std::min(kBatch, stormPerAdapter - next));
                next += taken;
                if (taken == 0) std::this_thread::yield();
            }
        });
    for (std::thread& w : writers) w.join();
    Clock::time_point last;
    const size_t total = static_cast<size_t>(stormPerAdapter) * kAdapters;
    if (!bench.log.Await(before + total - 1, last, std::chrono::seconds(120))) {
        std::fprintf(stderr, "korrin_bench: the storm was not logged whole\n");
        return 1;
    }
    const double stormSeconds = std::chrono::duration<double>(last - start).count();

    // Drain: a backlog of 250 records on adapter 0, whose miniport signals only when a record
    // lands in an empty queue: one signal for all of them.
    constexpr uint32_t kBacklog = 250;
    const size_t beforeDrain = bench.log.Count();
    Clock::time_point drainStart, drained;
    uint32_t signalsBefore = 0, signalsAfter = 0;
    {
        std::vector<uint8_t> records(kBacklog * ev::kRecordSize);
        for (uint32_t i = 0; i < kBacklog; ++i)
            sim::MakeEventRecord(&records[i * ev::kRecordSize], 0x102, 1, 0, 0, i);
        std::lock_guard<std::mutex> hold(bench.simLock);
        sim::SimAdapter& a = bench.pop->adapters[0];
        a.signalling = sim::kSignalEdge;
        signalsBefore = a.signalsSent;
        drainStart = Clock::now();
        if (sim::QueueEvents(*bench.pop, 0, records.data(), kBacklog, true, &bench.hook) !=
            kBacklog)
            return 1;
    }
    if (!bench.log.Await(beforeDrain + kBacklog - 1, drained, std::chrono::seconds(60))) {
        std::fprintf(stderr, "korrin_bench: the backlog was not drained\n");
        return 1;
    }
    {
        std::lock_guard<std::mutex> hold(bench.simLock);
        signalsAfter = bench.pop->adapters[0].signalsSent;
    }
    const double drainSeconds = std::chrono::duration<double>(drained - drainStart).count();

    // Idle: nothing queued; the process's CPU time is the monitor's.
    const double cpuBefore = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double idleCpu = CpuSeconds() - cpuBefore;

    // Idle again, while adapter 1 owes records that it never delivers: every reply claims to be
    // full. Its one signal starts it.
    {
        std::lock_guard<std::mutex> hold(bench.simLock);
        bench.pop->adapters[1].eventCountOverride = ev::kMaxRecords;
    }
    bench.Queue(1, 0, 1);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the burst of reads at once
    const uint32_t readsBefore = bench.Reads(1);
    const double owingCpuBefore = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double owingCpu = CpuSeconds() - owingCpuBefore;
    const uint32_t owingReads = bench.Reads(1) - readsBefore;
    bench.Stop();

    std::printf("native  signal-to-entry latency over %d events: p50 %.1f us, p99 %.1f us\n",
                latencyEvents, Percentile(latencies, 0.50), Percentile(latencies, 0.99));
    std::printf("native  four-adapter storm: %zu entries in %.3f s, %.0f entries/s\n", total,
                stormSeconds, total / stormSeconds);
    std::printf(
        "native  backlog of %u records, %u edge signal(s): drained in %.3f s, %.0f records/s\n",
        kBacklog, signalsAfter - signalsBefore, drainSeconds, kBacklog / drainSeconds);
    std::printf("native  idle monitor over %d s: %.3f s CPU\n", idleSeconds, idleCpu);
    std::printf(
        "native  idle monitor over %d s with one adapter owing records forever: %.3f s "
        "CPU, %u reads of it\n",
        idleSeconds, owingCpu, owingReads);
    if (bench.boxes.shown)
        std::printf("native  warning boxes shown: %d\n", bench.boxes.shown.load());
    return 0;
}
