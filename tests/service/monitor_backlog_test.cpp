// The event monitor against a miniport that does no more than its contract promises: it
// signals only when a record lands in an empty queue (edge), or never for records that waited
// for the registration. Records owed after the burst of unsignalled reads are fetched after a
// back-off, records that waited for the start are read at once, the ten-minute sweep keeps its
// pace through back-offs, and a stop cuts the sweep short.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "channel/protocol.h"
#include "fakes.h"
#include "korrin/messages.h"
#include "korrin/monitor.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace korrin {
namespace {

namespace ev = channel::events;

// Counts the requests of one command on their way to the simulator and lets a test act after
// each (a writer that queues more, a stop that comes meanwhile).
class WatchedAdapters final : public channel::DeviceAccess {
  public:
    explicit WatchedAdapters(channel::DeviceAccess& inner) : inner_(inner) {}
    channel::DeviceHandle Open(const char* name) override { return inner_.Open(name); }
    void Close(channel::DeviceHandle d) override { inner_.Close(d); }
    bool MiniportControl(channel::DeviceHandle d, std::span<uint8_t> buffer) override {
        const bool ok = inner_.MiniportControl(d, buffer);
        const uint32_t command =
            wire::ByteView(buffer.data(), buffer.size()).U32(channel::env::Command.offset);
        if (after) after(command);
        return ok;
    }
    std::function<void(uint32_t command)> after;

  private:
    channel::DeviceAccess& inner_;
};

// Adapters whose notification sets the slot's event, as the bridge's deferred routine does;
// every wait is answered from the events' state and a time-out takes the wait's whole time on
// the fake clock.
class Backlog : public ::testing::Test {
  protected:
    Backlog()
        : pop_(sim::NewPopulation()),
          io_(*pop_, sim::SignalHook{&Backlog::Signal, this}),
          watched_(io_),
          thread_(MonitorPlatform{watched_, scm_, bridge_, sync_, boxes_, log_, module_, queue_}) {
        sync_.onWait = [this](int call) { return Answer(call); };
    }

    static void Signal(void* self, uint64_t, int32_t* slot) {
        auto* t = static_cast<Backlog*>(self);
        t->sync_.SetEvent(t->sync_.Find("Global\\VEXMOND-" + std::to_string(*slot)));
    }

    sim::SimAdapter& Adapter(int position, sim::SignalMode mode) {
        sim::SimAdapter& a = sim::AddAdapter(*pop_, position, 0x3124, 4, 2, "Torvale");
        sim::AddDisk(a, 0, 0, "DISK");
        a.signalling = mode;
        return a;
    }
    // Media errors numbered by their LBA from `first`, queued as one batch with one signal
    // (which an edge-signalling adapter gives only when its queue was empty).
    uint32_t Queue(int position, uint32_t first, uint32_t count) {
        std::vector<uint8_t> records(count * ev::kRecordSize);
        for (uint32_t i = 0; i < count; ++i)
            sim::MakeEventRecord(&records[i * ev::kRecordSize], 0x102, 1, 0, 0, first + i);
        return sim::QueueEvents(*pop_, position, records.data(), count, true, &hook_);
    }
    uint32_t Answer(int call) {
        if (onWait) onWait(call);
        if (call >= stopAt) return win::kWaitObject0;
        // Nothing owed any more: the loop is back at its long wait.
        if (stopWhenQuiet && call > 0 && sync_.waitTimeouts.back() > kBackoffMs)
            return win::kWaitObject0;
        const std::vector<Handle>& handles = sync_.waits.back();
        for (size_t i = 1; i < handles.size(); ++i)
            if (sync_.events[handles[i]].set) return win::kWaitObject0 + static_cast<uint32_t>(i);
        return win::kWaitTimeout;
    }
    uint32_t Sent(int position, uint32_t command) {
        return pop_->adapters[position].counters.byCommand[sim::CommandIndex(command)];
    }
    // The LBAs of the entries for card `card` (1-based), in the order they were written.
    std::vector<uint32_t> Logged(unsigned card) {
        std::vector<uint32_t> lbas;
        for (const test::FakeLog::Entry& e : log_.entries) {
            unsigned disk = 0, lba = 0, c = 0, port = 0;
            if (std::sscanf(e.text.c_str(),
                            "A media error occurred on disk%u LBA 0x%x at device path "
                            "\\card%u\\port%u .",
                            &disk, &lba, &c, &port) == 4 &&
                c == card)
                lbas.push_back(lba);
        }
        return lbas;
    }
    static std::vector<uint32_t> Numbers(uint32_t count, uint32_t first = 0) {
        std::vector<uint32_t> v(count);
        for (uint32_t i = 0; i < count; ++i) v[i] = first + i;
        return v;
    }

    std::unique_ptr<sim::SimPopulation> pop_;
    sim::SignalHook hook_{&Backlog::Signal, this};
    sim::SimDeviceAccess io_;
    WatchedAdapters watched_;
    test::FakeScm scm_;
    test::FakeBridge bridge_;
    test::FakeSync sync_;
    test::FakeBoxes boxes_;
    test::FakeLog log_;
    test::FakeModule module_;
    test::FakeQueue queue_;
    CKorrinThread thread_;
    std::function<void(int call)> onWait;  // runs before wait `call` is answered
    int stopAt = 5000;                     // from this wait on, the terminate event
    bool stopWhenQuiet = false;  // the first long wait after the first is the terminate event
};

// A pause holds the monitor where it is safe to hold (before a wait, or after one ends), never
// wherever it happens to be: a signal that comes with the pause is not served until the
// continue, and is served after it. The handler's side runs on a thread of its own.
TEST_F(Backlog, PauseHoldsTheMonitorAtItsWaitAndTheContinueLetsItServeWhatCame) {
    Adapter(0, sim::kSignalEdge);
    std::atomic<bool> paused{false}, continued{false};
    std::atomic<int> readsWhilePaused{0};
    watched_.after = [&](uint32_t command) {
        if (command == channel::MPCMD_READ_EVENTS && paused && !continued) ++readsWhilePaused;
    };
    std::thread handler;
    onWait = [&](int call) {
        if (call != 0) return;
        ASSERT_EQ(Queue(0, 0, 5), 5u);
        thread_.RequestPause();
        paused = true;
        handler = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continued = true;
            thread_.RequestContinue();
        });
    };
    stopWhenQuiet = true;
    thread_.Run();
    if (handler.joinable()) handler.join();
    EXPECT_EQ(readsWhilePaused, 0) << "the monitor read while paused";
    EXPECT_EQ(Logged(1), Numbers(5)) << "the signal that came with the pause is served after it";
}

TEST_F(Backlog, StopWhilePausedEndsTheLoopWithoutAContinue) {
    Adapter(0, sim::kSignalEdge);
    std::thread handler;
    onWait = [&](int call) {
        if (call != 0) return;
        thread_.RequestPause();
        handler = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            thread_.RequestStop();
        });
    };
    thread_.Run();  // returns: the stop woke the paused loop
    if (handler.joinable()) handler.join();
    EXPECT_EQ(sync_.waits.size(), 1u) << "no wait after the pause";
    EXPECT_EQ(pop_->adapters[0].dpcRegistered, 0) << "the exit work ran";
}

TEST_F(Backlog, FourHundredRecordsWithOneEdgeSignalAreAllLoggedInOrder) {
    Adapter(0, sim::kSignalEdge);
    // After the start, 400 records land in the empty queue at once: the one signal there is.
    onWait = [&](int call) {
        if (call == 0) {
            ASSERT_EQ(Queue(0, 0, 400), 400u);
        }
    };
    stopWhenQuiet = true;
    thread_.Run();
    EXPECT_EQ(pop_->adapters[0].signalsSent, 1u);
    EXPECT_EQ(Logged(1), Numbers(400));
    EXPECT_EQ(pop_->adapters[0].queuedEvents, 0u);
    // Seventeen reads at once, then one per back-off until a reply is not full.
    EXPECT_EQ(Sent(0, channel::MPCMD_READ_EVENTS), 1u + 17 + 3 + 1);
    int backOffs = 0;
    for (uint32_t t : sync_.waitTimeouts) backOffs += t == kBackoffMs;
    EXPECT_EQ(backOffs, 4);
    EXPECT_GT(sync_.waitTimeouts.back(), kBackoffMs) << "nothing owed: back to the long wait";
    EXPECT_EQ(Sent(0, channel::MPCMD_GET_SMART_STATUS), 0u) << "back-offs are no quiet minutes";
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(Backlog, WriterFasterThanTheReaderUnderEdgeSignallingLosesNothing) {
    // The queue never empties, so the miniport never signals again after the first record.
    Adapter(0, sim::kSignalEdge);
    Adapter(1, sim::kSignalEdge);
    uint32_t written = 0;
    watched_.after = [&](uint32_t command) {
        if (command != channel::MPCMD_READ_EVENTS || written == 0 || written >= 1000) return;
        written += Queue(0, written, 30);
    };
    onWait = [&](int call) {
        if (call == 0) written = Queue(0, 0, 30);
        if (call == 5) Queue(1, 0, 3);  // the other adapter meanwhile
    };
    stopWhenQuiet = true;
    thread_.Run();
    EXPECT_EQ(Logged(1), Numbers(written));
    EXPECT_GE(written, 1000u);
    EXPECT_EQ(Logged(2), Numbers(3));
    EXPECT_EQ(pop_->adapters[0].signalsSent, 1u);
    EXPECT_EQ(pop_->adapters[0].queuedEvents, 0u);
}

TEST_F(Backlog, AdapterClaimingRecordsForeverIsReadOncePerBackOffAndTheSweepKeepsItsPace) {
    Adapter(0, sim::kSignalEdge);
    sim::SimAdapter& babbler = Adapter(1, sim::kSignalEdge);
    babbler.eventCountOverride = 20;  // every reply claims to be full
    uint64_t start = 0;
    uint32_t readsAtTenMinutes = 0;
    onWait = [&](int call) {
        if (call == 0) {
            start = sync_.now;
            Queue(1, 0, 1);  // its one signal
        }
        const uint64_t elapsed = sync_.now - start;
        if (elapsed < 600000) {
            EXPECT_EQ(Sent(0, channel::MPCMD_GET_SMART_STATUS), 0u) << elapsed << " ms";
            readsAtTenMinutes = Sent(1, channel::MPCMD_READ_EVENTS);
        }
        if (elapsed >= 660000 && stopAt > call) stopAt = call;
    };
    thread_.Run();
    // After the burst, one read a second: about 600 in ten minutes, not thousands.
    EXPECT_GE(readsAtTenMinutes, 17u + 590);
    EXPECT_LE(readsAtTenMinutes, 1u + 17 + 600);
    for (size_t i = 20; i < sync_.waitTimeouts.size(); ++i)
        ASSERT_GE(sync_.waitTimeouts[i], kBackoffMs - 1) << "wait " << i << " spins";
    // The sweep came once, after ten minutes without a signal, for both adapters.
    EXPECT_EQ(Sent(0, channel::MPCMD_GET_SMART_STATUS), 8u);
    EXPECT_EQ(Sent(1, channel::MPCMD_GET_SMART_STATUS), 8u);
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(Backlog, SignalsOfAnotherAdapterKeepTheSweepAwayButDoNotSpeedUpTheBackOff) {
    sim::SimAdapter& babbler = Adapter(0, sim::kSignalEdge);
    Adapter(1, sim::kSignalEdge);
    babbler.eventCountOverride = 20;
    uint64_t start = 0, lastSignal = 0;
    uint32_t next = 0;
    onWait = [&](int call) {
        if (call == 0) start = lastSignal = sync_.now;
        // Adapter 1 has a record every 30 s (its queue is empty each time: one signal each).
        if (sync_.now - lastSignal >= 30000 && sync_.now - start < 720000) {
            lastSignal = sync_.now;
            Queue(1, next++, 1);
        }
        if (sync_.now - start >= 720000 && stopAt > call) stopAt = call;
    };
    thread_.Run();
    EXPECT_EQ(Sent(0, channel::MPCMD_GET_SMART_STATUS), 0u) << "never ten minutes without events";
    EXPECT_EQ(Logged(2), Numbers(next));
    // The babbler's reads: the burst after its connect read, then one a second.
    EXPECT_LE(Sent(0, channel::MPCMD_READ_EVENTS), 17u + 720 + 1);
}

// Records queued while the service was stopped: neither strict miniport announces them.
class WaitingAtStart : public Backlog, public ::testing::WithParamInterface<sim::SignalMode> {};

TEST_P(WaitingAtStart, RecordsAreLoggedWithoutASignalAndAnEmptyAdapterIsNoFailure) {
    Adapter(0, GetParam());
    Adapter(1, GetParam());
    Queue(1, 0, 45);
    std::vector<uint32_t> signalsAtRegistration;
    watched_.after = [&](uint32_t command) {
        if (command == channel::MPCMD_REGISTER_EVENT_DPC)
            signalsAtRegistration.push_back(pop_->adapters[1].signalsSent);
    };
    stopWhenQuiet = true;
    thread_.Run();
    EXPECT_EQ(signalsAtRegistration, (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(Logged(2), Numbers(45));
    EXPECT_EQ(Sent(0, channel::MPCMD_READ_EVENTS), 1u) << "the empty one is read once too";
    EXPECT_TRUE(boxes_.shown.empty());
    EXPECT_EQ(sync_.waitTimeouts.back(), kWaitTimeoutMs);
}

INSTANTIATE_TEST_SUITE_P(StrictMiniports, WaitingAtStart,
                         ::testing::Values(sim::kSignalEdge, sim::kSignalNoRegistration));

TEST_F(Backlog, ReadThatFailsAtTheStartWarnsNobodyAndIsTriedAgainAfterABackOff) {
    Adapter(0, sim::kSignalEdge);
    sim::SimAdapter& failing = Adapter(1, sim::kSignalEdge);
    Queue(1, 0, 5);
    sim::InjectFault(failing, channel::MPCMD_READ_EVENTS, sim::kFaultCallFails);
    onWait = [&](int call) {
        if (call == 1) sim::InjectFault(failing, channel::MPCMD_READ_EVENTS, sim::kFaultNone);
    };
    stopWhenQuiet = true;
    thread_.Run();
    EXPECT_TRUE(boxes_.shown.empty()) << "no signal asked for that read";
    ASSERT_GE(sync_.waitTimeouts.size(), 2u);
    EXPECT_EQ(sync_.waitTimeouts[0], kBackoffMs);
    EXPECT_EQ(Logged(2), Numbers(5));
}

TEST_F(Backlog, SignalledReadThatFailsUnderEdgeSignallingWarnsOnceAndIsTriedAgain) {
    sim::SimAdapter& a = Adapter(0, sim::kSignalEdge);
    onWait = [&](int call) {
        if (call == 0) {
            sim::InjectFault(a, channel::MPCMD_READ_EVENTS, sim::kFaultCallFails);
            Queue(0, 0, 4);
        }
        // The miniport queues behind the records it still holds: no signal for these.
        if (call == 2) Queue(0, 4, 2);
        if (call == 4) sim::InjectFault(a, channel::MPCMD_READ_EVENTS, sim::kFaultNone);
    };
    stopWhenQuiet = true;
    thread_.Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_READ_EVENTS_FAILED}))
        << "the retries asked for by nobody warn nobody";
    EXPECT_EQ(Logged(1), Numbers(6));
    EXPECT_EQ(a.signalsSent, 1u);
    ASSERT_GE(sync_.waitTimeouts.size(), 5u);
    for (int w = 1; w <= 4; ++w) EXPECT_EQ(sync_.waitTimeouts[w], kBackoffMs) << w;
}

TEST_F(Backlog, StopDuringTheSweepEndsItAtTheNextRequest) {
    for (int p = 0; p < 4; ++p) Adapter(p, sim::kSignalEdge);
    int polls = 0;
    watched_.after = [&](uint32_t command) {
        if (command == channel::MPCMD_GET_SMART_STATUS && ++polls == 3) thread_.RequestStop();
    };
    thread_.Run();
    EXPECT_EQ(polls, 3) << "32 requests would keep the stop waiting";
    EXPECT_EQ(sync_.waits.size(), 1u);
    EXPECT_FALSE(scm_.services.count("KvDpcService")) << "the stop's work is done";
}

}  // namespace
}  // namespace korrin
