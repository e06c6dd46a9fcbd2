// The event monitor over the simulator's adapters and fakes of the SCM, the bridge, events,
// boxes and the event log: start, the wait loop, every failure path and the stop order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "channel/protocol.h"
#include "fakes.h"
#include "korrin/messages.h"
#include "korrin/monitor.h"
#include "korrin/warning_boxes.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace korrin {
namespace {

using test::FakeBridge;
namespace ev = channel::events;

// Adapters at SCSI positions; a finished loop after the waits the test scripts.
class Monitor : public ::testing::Test {
  protected:
    Monitor() : pop_(sim::NewPopulation()), io_(*pop_) {
        scm_.trace = &trace_;
        sync_.trace = &trace_;
    }

    sim::SimAdapter& Adapter(int position) {
        sim::SimAdapter& a = sim::AddAdapter(*pop_, position, 0x3124, 4, 2, "Torvale");
        sim::AddDisk(a, 0, 0, "DISK");
        return a;
    }
    CKorrinThread& Thread() {
        if (!thread_)
            thread_ = std::make_unique<CKorrinThread>(
                MonitorPlatform{io_, scm_, bridge_, sync_, boxes_, log_, module_, queue_});
        return *thread_;
    }
    void Queue(int position, uint32_t code, uint32_t severity, uint32_t port, uint32_t disk,
               uint32_t value) {
        uint8_t record[ev::kRecordSize];
        sim::MakeEventRecord(record, code, severity, port, disk, value);
        ASSERT_TRUE(sim::QueueEvent(*pop_, position, record, nullptr));
    }
    // Wait results in order; after them the terminate event.
    void Waits(std::vector<uint32_t> results) {
        sync_.onWait = [results](int call) {
            return call < static_cast<int>(results.size()) ? results[call] : win::kWaitObject0;
        };
    }
    // Waits answered from the events' state: the lowest set one, the terminate event when none
    // is set (or after `limit` waits), a time-out for a look without waiting.
    void RealWaits(int limit, std::vector<int> signalledAtStart = {}) {
        sync_.onWait = [this, limit, signalledAtStart](int call) -> uint32_t {
            if (call >= limit) return win::kWaitObject0;
            if (call == 0)
                for (int a : signalledAtStart)
                    sync_.SetEvent(sync_.Find("Global\\VEXMOND-" + std::to_string(a)));
            const std::vector<Handle>& handles = sync_.waits.back();
            for (size_t i = 1; i < handles.size(); ++i)
                if (sync_.events[handles[i]].set)
                    return win::kWaitObject0 + static_cast<uint32_t>(i);
            return sync_.waitTimeouts.back() == 0 ? win::kWaitTimeout : win::kWaitObject0;
        };
    }
    static std::string ToHex(size_t v) {
        char b[16];
        std::snprintf(b, sizeof b, "%zx", v);
        return b;
    }
    uint32_t Sent(int position, uint32_t command) {
        return pop_->adapters[position].counters.byCommand[sim::CommandIndex(command)];
    }
    int Index(const std::string& entry) {
        auto it = std::find(trace_.begin(), trace_.end(), entry);
        return it == trace_.end() ? -1 : static_cast<int>(it - trace_.begin());
    }

    std::unique_ptr<sim::SimPopulation> pop_;
    sim::SimDeviceAccess io_;
    test::FakeScm scm_;
    FakeBridge bridge_;
    test::FakeSync sync_;
    test::FakeBoxes boxes_;
    test::FakeLog log_;
    test::FakeModule module_;
    test::FakeQueue queue_;
    std::vector<std::string> trace_;
    std::unique_ptr<CKorrinThread> thread_;
};

TEST_F(Monitor, NoAdapterEndsAtOnceAndTouchesNothing) {
    Thread().Run();
    EXPECT_EQ(Thread().ControllerCount, 0);
    EXPECT_TRUE(scm_.calls.empty());
    EXPECT_TRUE(sync_.events.empty());
    EXPECT_TRUE(boxes_.shown.empty());
    EXPECT_EQ(queue_.loops, 0);
}

TEST_F(Monitor, TwoAdaptersConnectThroughTwoSlots) {
    Adapter(1);
    Adapter(3);
    CKorrinThread& t = Thread();
    ASSERT_TRUE(t.InitInstance());
    // Each adapter was told its slot and that slot's DPC address.
    EXPECT_EQ(t.Controllers[1].BridgeSlot, 1u);
    EXPECT_EQ(t.Controllers[1].BridgeDpcAddress, FakeBridge::kDpcBase + 64);
    EXPECT_EQ(pop_->adapters[3].dpcAddress, FakeBridge::kDpcBase + 64);
    EXPECT_EQ(pop_->adapters[3].dpcSlot, 1);
    EXPECT_EQ(pop_->adapters[1].dpcAddress, FakeBridge::kDpcBase);
    EXPECT_EQ(t.ConnectedCount, 2);
    t.ExitInstance();
    EXPECT_EQ(t.ControllerCount, 2);
    EXPECT_STREQ(t.Controllers[0].DevicePath, "\\\\.\\Scsi1:");
    EXPECT_STREQ(t.Controllers[1].DevicePath, "\\\\.\\Scsi3:");
    // The driver service: beside the program, demand start, no group, no dependencies.
    ASSERT_EQ(scm_.Count("CreateService KvDpcService C:\\Program Files\\Torvale\\XAPHLINK.sys"), 1);
    EXPECT_EQ(scm_.displayNames["KvDpcService"], "XAPHLINK");
    EXPECT_EQ(scm_.Count("OpenManager 0xC0000000"), scm_.Count("OpenManager"));
    // Kernel-shared adapter events, manual reset; the bridge gets the plain names, 64 bytes.
    const Handle e0 = sync_.Find("Global\\VEXMOND-0"), e1 = sync_.Find("Global\\VEXMOND-1");
    ASSERT_NE(e0, kNoHandle);
    ASSERT_NE(e1, kNoHandle);
    EXPECT_TRUE(sync_.events[e0].manualReset);
    EXPECT_EQ(bridge_.names, (std::vector<std::u16string>{u"VEXMOND-0", u"VEXMOND-1"}));
    EXPECT_EQ(bridge_.inputSizes, (std::vector<uint32_t>{64, 8, 64, 8}));
    EXPECT_EQ(bridge_.lastPath, "\\\\.\\XAPHLINK");
    EXPECT_EQ(bridge_.opens, 1);
    EXPECT_EQ(bridge_.closes, 1);
    EXPECT_EQ(t.ConnectedCount, 0) << "reset by the exit work";
    // One wait over terminate + two adapter events, ten minutes.
    ASSERT_EQ(sync_.waits.size(), 1u);
    const Handle tmn = sync_.Find("VEXNOND-TMN");
    EXPECT_FALSE(sync_.events[tmn].manualReset);
    EXPECT_EQ(sync_.waits[0], (std::vector<Handle>{tmn, e0, e1}));
    EXPECT_EQ(sync_.waitTimeouts[0], 600000u);
    EXPECT_TRUE(boxes_.shown.empty());
    EXPECT_EQ(sync_.OpenCount(), 0) << "every event closed at the end";
    EXPECT_EQ(scm_.openHandles, 0);
    EXPECT_EQ(io_.OpenHandles(), 0u);
}

TEST_F(Monitor, ThreeRecordsOnTheSecondAdapterGiveThreeEntriesForCardTwo) {
    Adapter(0);
    Adapter(2);
    // The records come after the start, with the signal.
    sync_.onWait = [&](int call) {
        if (call > 0) return win::kWaitObject0;
        Queue(2, 0x101, 2, 0, 0, 0);
        Queue(2, 0x102, 1, 1, 0, 0xABCDEF);
        Queue(2, 0x999, 2, 0, 0, 0);
        return win::kWaitObject0 + 2;
    };
    Thread().Run();
    ASSERT_EQ(log_.entries.size(), 3u);
    EXPECT_EQ(log_.entries[0].text, "Disk1 has been attached at device path \\card2\\port1 .");
    EXPECT_EQ(log_.entries[0].type, win::kEventlogInformationType);
    EXPECT_EQ(log_.entries[0].id, 0x40000101u);
    EXPECT_EQ(log_.entries[1].text,
              "A media error occurred on disk1 LBA 0xabcdef at device path \\card2\\port2 .");
    EXPECT_EQ(log_.entries[1].type, win::kEventlogWarningType);
    EXPECT_EQ(log_.entries[2].id, 0xC0000000u);
    EXPECT_EQ(log_.entries[2].type, win::kEventlogErrorType);
    EXPECT_EQ(Sent(2, channel::MPCMD_READ_EVENTS), 2u)
        << "the read after the start, then one signalled read: a reply that was not full is all";
    EXPECT_EQ(Sent(0, channel::MPCMD_READ_EVENTS), 1u) << "only the read after the start";
    EXPECT_EQ(sync_.events[sync_.Find("Global\\VEXMOND-1")].resets, 2);
    EXPECT_EQ(sync_.waits.size(), 2u) << "the wait goes on after handling";
    EXPECT_TRUE(boxes_.shown.empty());
}

// The miniport queues a record before it queues the DPC: an earlier read may have taken the
// record before the DPC set the event, and the wake then finds nothing. No failure.
TEST_F(Monitor, SpuriousWakeShowsNoBoxAndLogsNothing) {
    Adapter(0);
    Waits({win::kWaitObject0 + 1});
    Thread().Run();
    EXPECT_TRUE(boxes_.shown.empty());
    EXPECT_TRUE(log_.entries.empty());
    EXPECT_EQ(Sent(0, channel::MPCMD_READ_EVENTS), 2u) << "after the start, and at the wake";
    EXPECT_EQ(sync_.waits.size(), 2u);
    EXPECT_EQ(sync_.events[sync_.Find("Global\\VEXMOND-0")].resets, 2);
}

TEST_F(Monitor, FailedReadShowsTheReadWarning) {
    Adapter(0);
    Queue(0, 0x101, 2, 0, 0, 0);
    sim::InjectFault(pop_->adapters[0], channel::MPCMD_READ_EVENTS, sim::kFaultReturnCodeOff, 1);
    Waits({win::kWaitObject0 + 1});
    Thread().Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_READ_EVENTS_FAILED}));
    EXPECT_TRUE(log_.entries.empty());
}

TEST_F(Monitor, AdapterClaimingRecordsForeverIsReadABoundedNumberOfTimes) {
    Adapter(0);
    for (int i = 0; i < 25; ++i) Queue(0, 0x104, 2, 0, 0, 0);
    pop_->adapters[0].eventCountOverride = 25;  // every reply claims 25 records
    // One signal; afterwards a look without waiting finds nothing new, a real wait the stop.
    sync_.onWait = [&](int call) {
        if (call == 0) return win::kWaitObject0 + 1;
        if (call > 100) return win::kWaitObject0;  // a loop without end fails, not hangs
        return sync_.waitTimeouts.back() == 0 ? win::kWaitTimeout : win::kWaitObject0;
    };
    Thread().Run();
    // Twenty per read; a full reply is read again at once without a signal, but only so often
    // (after the read after the start and the signalled one), and then the loop waits a
    // back-off (here the stop comes during it) instead of setting the event itself.
    EXPECT_EQ(Sent(0, channel::MPCMD_READ_EVENTS), 2u + kUnsignalledReads);
    EXPECT_EQ(log_.entries.size(), 20u * (2 + kUnsignalledReads));
    ASSERT_EQ(sync_.waits.size(), 2u + kUnsignalledReads);
    EXPECT_EQ(sync_.waitTimeouts.back(), kBackoffMs);
    EXPECT_FALSE(sync_.events[sync_.Find("Global\\VEXMOND-0")].set);
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(Monitor, FullReplyIsFollowedUpWithoutANewSignal) {
    // A miniport that signals once for 45 records: nothing waits for a later signal.
    Adapter(0);
    for (int i = 0; i < 45; ++i) Queue(0, 0x102, 1, 0, 0, static_cast<uint32_t>(i));
    sync_.onWait = [&](int call) {
        if (call == 0) return win::kWaitObject0 + 1;
        if (call > 100) return win::kWaitObject0;  // a loop without end fails, not hangs
        return sync_.waitTimeouts.back() == 0 ? win::kWaitTimeout : win::kWaitObject0;
    };
    Thread().Run();
    ASSERT_EQ(log_.entries.size(), 45u);
    for (size_t i = 0; i < 45; ++i)
        EXPECT_NE(log_.entries[i].text.find("LBA 0x" + ToHex(i) + " "), std::string::npos) << i;
    EXPECT_EQ(Sent(0, channel::MPCMD_READ_EVENTS), 3u) << "20, 20, then 5";
    EXPECT_EQ(sync_.waitTimeouts.back(), 600000u);
}

TEST_F(Monitor, TenMinutesWithoutEventsPollsEightDevicesPerAdapter) {
    Adapter(0);
    Adapter(1);
    Waits({win::kWaitTimeout});
    Thread().Run();
    EXPECT_EQ(Sent(0, channel::MPCMD_GET_SMART_STATUS), 8u);
    EXPECT_EQ(Sent(1, channel::MPCMD_GET_SMART_STATUS), 8u);
    EXPECT_EQ(sync_.waits.size(), 2u);
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(Monitor, EventLogThatDoesNotOpenWarnsPerRecord) {
    Adapter(0);
    for (int i = 0; i < 3; ++i) Queue(0, 0x101, 2, 0, 0, 0);
    log_.openFailures = 3;
    Waits({win::kWaitObject0 + 1});
    Thread().Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>(3, IDS_LOG_FAILED)));
    EXPECT_TRUE(log_.entries.empty());
    Queue(0, 0x101, 2, 0, 0, 0);
    // The next read is unaffected.
    thread_.reset();
    sync_.waits.clear();
    Waits({win::kWaitObject0 + 1});
    Thread().Run();
    EXPECT_EQ(log_.entries.size(), 1u);
}

// Queues one more record on the adapter at `position` after the first READ_EVENTS reply: as
// when the miniport signals between the monitor's read and its reset.
class LateRecordAccess final : public channel::DeviceAccess {
  public:
    LateRecordAccess(channel::DeviceAccess& inner, sim::SimPopulation& pop, int position,
                     std::function<void()> signal)
        : inner_(inner), pop_(pop), position_(position), signal_(std::move(signal)) {}
    channel::DeviceHandle Open(const char* name) override { return inner_.Open(name); }
    void Close(channel::DeviceHandle d) override { inner_.Close(d); }
    bool MiniportControl(channel::DeviceHandle d, std::span<uint8_t> buffer) override {
        const bool ok = inner_.MiniportControl(d, buffer);
        const wire::ByteView v(buffer.data(), buffer.size());
        if (!done_ && v.U32(channel::env::Command.offset) == channel::MPCMD_READ_EVENTS) {
            done_ = true;
            uint8_t record[ev::kRecordSize];
            sim::MakeEventRecord(record, 0x103, 1, 2, 0, 0);
            sim::QueueEvent(pop_, position_, record, nullptr);
            signal_();  // the miniport's DPC for it
        }
        return ok;
    }

  private:
    channel::DeviceAccess& inner_;
    sim::SimPopulation& pop_;
    int position_;
    std::function<void()> signal_;
    bool done_ = false;
};

TEST_F(Monitor, RecordThatCameJustAfterTheReadIsReadAtTheNextWake) {
    Adapter(0);
    Queue(0, 0x101, 2, 0, 0, 0);
    LateRecordAccess late(io_, *pop_, 0, [&] { sync_.SetEvent(sync_.Find("Global\\VEXMOND-0")); });
    CKorrinThread thread(
        MonitorPlatform{late, scm_, bridge_, sync_, boxes_, log_, module_, queue_});
    RealWaits(10, {0});
    thread.Run();
    ASSERT_EQ(log_.entries.size(), 2u);
    EXPECT_EQ(log_.entries[1].text,
              "S.M.A.R.T. error reported on disk1 at device path \\card1\\port3 .");
    EXPECT_EQ(Sent(0, channel::MPCMD_READ_EVENTS), 2u);
    EXPECT_EQ(sync_.events[sync_.Find("Global\\VEXMOND-0")].resets, 2)
        << "the reset before each read keeps the late signal";
    EXPECT_TRUE(boxes_.shown.empty());
}

// Refills adapter 0 with twenty records after each of its reads and signals it, as a miniport
// under a storm of errors does.
class BusyAdapterAccess final : public channel::DeviceAccess {
  public:
    BusyAdapterAccess(channel::DeviceAccess& inner, sim::SimPopulation& pop,
                      std::function<void()> signal)
        : inner_(inner), pop_(pop), signal_(std::move(signal)) {}
    channel::DeviceHandle Open(const char* name) override {
        const channel::DeviceHandle d = inner_.Open(name);
        if (d != channel::kInvalidDevice) names_[d] = name;
        return d;
    }
    void Close(channel::DeviceHandle d) override {
        names_.erase(d);
        inner_.Close(d);
    }
    bool MiniportControl(channel::DeviceHandle d, std::span<uint8_t> buffer) override {
        const bool ok = inner_.MiniportControl(d, buffer);
        const wire::ByteView v(buffer.data(), buffer.size());
        if (v.U32(channel::env::Command.offset) == channel::MPCMD_READ_EVENTS &&
            names_[d] == "\\\\.\\Scsi0:") {
            while (pop_.adapters[0].queuedEvents < ev::kMaxRecords) {
                uint8_t record[ev::kRecordSize];
                sim::MakeEventRecord(record, 0x104, 2, 0, 0, 0);
                sim::QueueEvent(pop_, 0, record, nullptr);
            }
            signal_();
        }
        return ok;
    }

  private:
    channel::DeviceAccess& inner_;
    sim::SimPopulation& pop_;
    std::function<void()> signal_;
    std::map<channel::DeviceHandle, std::string> names_;
};

TEST_F(Monitor, BusyFirstAdapterDoesNotKeepTheFourthWaitingBeyondOneRound) {
    for (int p = 0; p < 4; ++p) Adapter(p);
    BusyAdapterAccess busy(io_, *pop_, [&] { sync_.SetEvent(sync_.Find("Global\\VEXMOND-0")); });
    CKorrinThread thread(
        MonitorPlatform{busy, scm_, bridge_, sync_, boxes_, log_, module_, queue_});
    // Adapter 0 is refilled from its read after the start on; adapter 3 has its record when
    // the loop begins. Both are signalled then; the wait reports the lowest.
    RealWaits(6, {0, 3});
    const auto realWaits = sync_.onWait;
    sync_.onWait = [&](int call) {
        if (call == 0) Queue(3, 0x101, 2, 0, 0, 0);
        return realWaits(call);
    };
    thread.Run();
    // Adapter 0's first signalled read gave twenty entries; adapter 3's entry comes next,
    // before adapter 0 is read a second time.
    ASSERT_GT(log_.entries.size(), 21u);
    EXPECT_EQ(log_.entries[20].text, "Disk1 has been attached at device path \\card4\\port1 .");
    EXPECT_EQ(Sent(3, channel::MPCMD_READ_EVENTS), 2u) << "after the start, and signalled";
    // A busy adapter is served once per wake, so the stop is seen between its reads.
    EXPECT_EQ(Sent(0, channel::MPCMD_READ_EVENTS), 1u + 6) << "after the start, then per wake";
}

TEST_F(Monitor, FailedReadShowsItsBoxOnceWhileOtherAdaptersKeepBeingLogged) {
    Adapter(0);
    Adapter(1);
    sim::InjectFault(pop_->adapters[0], channel::MPCMD_READ_EVENTS, sim::kFaultCallFails);
    test::BlockingBoxes screen;
    AsyncWarningBoxes boxes(screen);
    CKorrinThread thread(MonitorPlatform{io_, scm_, bridge_, sync_, boxes, log_, module_, queue_});
    // Adapter 0 and adapter 1 take turns; adapter 1 has a new record each time.
    sync_.onWait = [&](int call) -> uint32_t {
        if (call >= 8) return win::kWaitObject0;
        if (call % 2 == 0) return win::kWaitObject0 + 1;
        Queue(1, 0x102, 1, 0, 0, static_cast<uint32_t>(call));
        return win::kWaitObject0 + 2;
    };
    thread.Run();
    EXPECT_EQ(log_.entries.size(), 4u) << "every record of adapter 1, while the box was open";
    EXPECT_TRUE(screen.AwaitOpen(1));
    EXPECT_EQ(screen.Shown(), (std::vector<uint32_t>{IDS_READ_EVENTS_FAILED}))
        << "four failed reads, one box";
    EXPECT_FALSE(screen.timedOut) << "the monitor waited for the box";
    screen.CloseAll();
}

TEST_F(Monitor, OpenBoxHoldsUpNeitherTheNextRecordNorAStop) {
    Adapter(0);
    sim::InjectFault(pop_->adapters[0], channel::MPCMD_READ_EVENTS, sim::kFaultCallFails);
    test::BlockingBoxes screen;
    AsyncWarningBoxes boxes(screen);
    CKorrinThread thread(MonitorPlatform{io_, scm_, bridge_, sync_, boxes, log_, module_, queue_});
    bool openWhileLogging = false;
    sync_.onWait = [&](int call) -> uint32_t {
        if (call == 0) return win::kWaitObject0 + 1;  // the read fails: box 61225
        if (call == 1) {
            sim::InjectFault(pop_->adapters[0], channel::MPCMD_READ_EVENTS, sim::kFaultNone);
            Queue(0, 0x101, 2, 0, 0, 0);
            return win::kWaitObject0 + 1;
        }
        openWhileLogging = log_.entries.size() == 1 && screen.AwaitOpen(1) && screen.Open() == 1;
        thread.RequestStop();
        return win::kWaitObject0;
    };
    thread.Run();  // returns although the box is still open
    EXPECT_TRUE(openWhileLogging);
    EXPECT_EQ(screen.Open(), 1);
    EXPECT_FALSE(screen.timedOut);
    EXPECT_FALSE(scm_.services.count("KvDpcService")) << "the stop's work is done";
    screen.CloseAll();
}

TEST_F(Monitor, MoreThanFourAdaptersServesTheFirstFour) {
    for (int p = 0; p < 6; ++p) Adapter(p);
    Thread().Run();
    EXPECT_EQ(Thread().ControllerCount, 4);
    ASSERT_EQ(sync_.waits.size(), 1u);
    EXPECT_EQ(sync_.waits[0].size(), 5u);
    EXPECT_EQ(sync_.Find("Global\\VEXMOND-4"), kNoHandle);
    EXPECT_EQ(bridge_.names.size(), 4u);
    EXPECT_EQ(Thread().Controllers[4].DevicePath[0], '\0');
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(Monitor, StopOrderDisconnectsThenClosesThenUnloads) {
    Adapter(0);
    Adapter(1);
    Thread().Run();
    EXPECT_EQ(pop_->adapters[0].dpcRegistered, 0);
    EXPECT_EQ(pop_->adapters[1].dpcRegistered, 0);
    EXPECT_EQ(Sent(0, channel::MPCMD_UNREGISTER_EVENT_DPC), 1u);
    const int closeEvents = Index("close Global\\VEXMOND-1");
    const int stopDriver = Index("ControlService KvDpcService 1");
    const int deleteDriver = Index("DeleteService KvDpcService");
    ASSERT_GE(closeEvents, 0);
    EXPECT_LT(Index("close VEXNOND-TMN"), closeEvents) << "the loop's own event first";
    EXPECT_LT(closeEvents, stopDriver);
    EXPECT_LT(stopDriver, deleteDriver);
    EXPECT_FALSE(scm_.services.count("KvDpcService"));
    EXPECT_EQ(scm_.locks, 0);
}

TEST_F(Monitor, RunningDriverServiceIsUsedUnchanged) {
    Adapter(0);
    auto& s = scm_.services["KvDpcService"];
    s.state = win::kServiceRunning;
    s.binaryPath = "Z:\\elsewhere\\XAPHLINK.sys";
    s.group = "test group";
    Thread().InitInstance();
    EXPECT_EQ(scm_.Count("CreateService"), 0);
    EXPECT_EQ(scm_.Count("DeleteService"), 0);
    EXPECT_EQ(scm_.services["KvDpcService"].binaryPath, "Z:\\elsewhere\\XAPHLINK.sys");
    EXPECT_TRUE(boxes_.shown.empty());
    EXPECT_EQ(Thread().ConnectedCount, 1);
}

TEST_F(Monitor, LeftoverDriverServiceIsReplacedAfterASecond) {
    Adapter(0);
    scm_.services["KvDpcService"].startFails = true;
    scm_.services["KvDpcService"].binaryPath = "C:\\old\\XAPHLINK.sys";
    Thread().InitInstance();
    const int del = Index("DeleteService KvDpcService");
    const int create = Index("CreateService KvDpcService C:\\Program Files\\Torvale\\XAPHLINK.sys");
    ASSERT_GE(del, 0);
    EXPECT_GT(create, del);
    EXPECT_LT(Index("Lock"), del);
    EXPECT_GT(Index("Unlock"), create);
    EXPECT_EQ(sync_.sleeps.front(), 1000u);
    EXPECT_EQ(scm_.services["KvDpcService"].state, win::kServiceRunning);
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(Monitor, ProgramPathDecidesTheDriverPath) {
    std::string driver;
    EXPECT_TRUE(CKorrinThread::DriverPathFor("C:\\Vexmond\\Vexmond.exe", driver));
    EXPECT_EQ(driver, "C:\\XAPHLINK.sys") << "the first occurrence";
    EXPECT_FALSE(CKorrinThread::DriverPathFor("C:\\svc\\vexmond.exe", driver)) << "exact case";

    // A path longer than 128 characters is used whole.
    Adapter(0);
    module_.path = "C:\\" + std::string(150, 'd') + "\\Vexmond.exe";
    Thread().InitInstance();
    EXPECT_EQ(
        scm_.Count("CreateService KvDpcService C:\\" + std::string(150, 'd') + "\\XAPHLINK.sys"),
        1);
}

TEST_F(Monitor, ProgramPathWithoutTheServiceNameFailsTheInstall) {
    Adapter(0);
    module_.path = "C:\\tools\\korrin.exe";
    EXPECT_FALSE(Thread().InitInstance());
    EXPECT_EQ(scm_.Count("CreateService"), 0);
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
}

TEST_F(Monitor, BridgeFailuresShowTheBridgeErrorAndUndoTheStart) {
    Adapter(0);
    Adapter(1);
    bridge_.openFails = true;
    EXPECT_FALSE(Thread().InitInstance());
    Thread().ExitInstance();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
    EXPECT_FALSE(scm_.services.count("KvDpcService")) << "the driver service is removed";
    EXPECT_EQ(Sent(0, channel::MPCMD_REGISTER_EVENT_DPC), 0u);
}

TEST_F(Monitor, EventThatCannotBeCreatedShowsTheBridgeError) {
    Adapter(0);
    Adapter(1);
    sync_.createFails = {"Global\\VEXMOND-1"};
    EXPECT_FALSE(Thread().InitInstance());
    EXPECT_EQ(Thread().CreatedEventCount, 1);
    Thread().ExitInstance();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
    EXPECT_EQ(sync_.OpenCount(), 0);
    EXPECT_EQ(bridge_.closes, 1);
}

TEST_F(Monitor, RefusedBridgeRequestsShowTheBridgeError) {
    Adapter(0);
    bridge_.registerFailsAt = 0;
    EXPECT_FALSE(Thread().InitInstance());
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));

    thread_.reset();
    boxes_.shown.clear();
    bridge_ = FakeBridge();
    bridge_.queryFails = true;
    EXPECT_FALSE(Thread().InitInstance());
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
}

TEST_F(Monitor, DriverServiceThatDoesNotStartShowsTheBridgeError) {
    Adapter(0);
    scm_.createFails = true;
    EXPECT_FALSE(Thread().InitInstance());
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
}

TEST_F(Monitor, NoSlotMeansNoDpcAndTheDpcError) {
    Adapter(0);
    bridge_.noSlots = true;
    EXPECT_FALSE(Thread().InitInstance());
    EXPECT_EQ(Thread().Controllers[0].BridgeDpcAddress, 0u);
    EXPECT_EQ(bridge_.inputSizes, (std::vector<uint32_t>{64})) << "no DPC query without a slot";
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_DPC_CREATE_FAILED}));
}

TEST_F(Monitor, AdapterRefusingTheDpcShowsTheDpcErrorAndEveryAdapterIsWithdrawn) {
    Adapter(0);
    sim::SimAdapter& second = Adapter(1);
    sim::InjectFault(second, channel::MPCMD_REGISTER_EVENT_DPC, sim::kFaultReturnCodeOff, 1);
    Thread().Run();
    EXPECT_EQ(Thread().ControllerCount, 2);
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_DPC_CREATE_FAILED}));
    EXPECT_EQ(Sent(0, channel::MPCMD_UNREGISTER_EVENT_DPC), 1u);
    // Also the adapter never connected: a run before this one may have left it registered.
    EXPECT_EQ(Sent(1, channel::MPCMD_UNREGISTER_EVENT_DPC), 1u);
    EXPECT_TRUE(sync_.waits.empty());
    EXPECT_EQ(sync_.OpenCount(), 0);
    EXPECT_FALSE(scm_.services.count("KvDpcService"));
}

TEST_F(Monitor, TerminateEventThatCannotBeCreatedEndsTheLoopAtOnce) {
    Adapter(0);
    sync_.createFails = {"VEXNOND-TMN"};
    Thread().Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_EVENT_CREATE_FAILED}));
    EXPECT_TRUE(sync_.waits.empty());
    EXPECT_EQ(queue_.loops, 1);
    EXPECT_FALSE(scm_.services.count("KvDpcService"));
}

TEST_F(Monitor, FailedDisconnectWarnsAndTheStopGoesOnWithoutUnloading) {
    Adapter(0);
    sim::InjectFault(pop_->adapters[0], channel::MPCMD_UNREGISTER_EVENT_DPC, sim::kFaultCallFails);
    Thread().Run();
    EXPECT_EQ(boxes_.shown,
              (std::vector<uint32_t>{IDS_DPC_DELETE_FAILED, IDS_UNLOAD_BRIDGE_FAILED}));
    EXPECT_EQ(sync_.OpenCount(), 0);
    EXPECT_TRUE(scm_.services.count("KvDpcService")) << "the adapter may still call the bridge";
}

TEST_F(Monitor, FailedDisconnectStillTriesTheLaterAdapters) {
    Adapter(0);
    Adapter(1);
    Adapter(2);
    sim::InjectFault(pop_->adapters[1], channel::MPCMD_UNREGISTER_EVENT_DPC, sim::kFaultCallFails);
    Thread().Run();
    EXPECT_EQ(boxes_.shown,
              (std::vector<uint32_t>{IDS_DPC_DELETE_FAILED, IDS_UNLOAD_BRIDGE_FAILED}));
    for (int p = 0; p < 3; ++p) EXPECT_EQ(Sent(p, channel::MPCMD_UNREGISTER_EVENT_DPC), 1u) << p;
    EXPECT_EQ(pop_->adapters[0].dpcRegistered, 0);
    EXPECT_EQ(pop_->adapters[2].dpcRegistered, 0) << "the adapter after the failed one";
    EXPECT_EQ(sync_.OpenCount(), 0);
}

TEST_F(Monitor, ExitStepsAreReportedEachAfterItsWork) {
    Adapter(0);
    sim::InjectFault(pop_->adapters[0], channel::MPCMD_UNREGISTER_EVENT_DPC, sim::kFaultCallFails);
    boxes_.onShow = [&](uint32_t id) { trace_.push_back("box " + std::to_string(id)); };
    Thread().OnExitStep([&] { trace_.push_back("step"); });
    Thread().Run();
    std::vector<std::string> exit;
    for (const std::string& e : trace_)
        if (e == "step" || e.rfind("box", 0) == 0 || e.rfind("close Global", 0) == 0 ||
            e.rfind("DeleteService", 0) == 0)
            exit.push_back(e);
    EXPECT_EQ(exit, (std::vector<std::string>{"box 61223", "step", "close Global\\VEXMOND-0",
                                              "step", "box 61220", "step"}));
}

TEST_F(Monitor, ExitCodeIsTheQuitMessagesParameter) {
    queue_.quitCode = 7;
    EXPECT_EQ(Thread().Run(), 0) << "no adapter: the message loop never ran";
    thread_.reset();
    Adapter(0);
    EXPECT_EQ(Thread().Run(), 7);
    EXPECT_EQ(queue_.loops, 1);
}

TEST_F(Monitor, DriverThatNeverRunsIsPolledFiveTimesAndStillStarted) {
    scm_.services["KvDpcService"].neverRuns = true;
    EXPECT_TRUE(Thread().StartBridgeService());
    EXPECT_EQ(sync_.sleeps, std::vector<uint32_t>(5, 1000u));
    EXPECT_EQ(scm_.Count("QueryState KvDpcService"), 6);
    EXPECT_EQ(scm_.openHandles, 0);
}

TEST_F(Monitor, AlreadyStoppedDriverServiceIsDeleted) {
    Adapter(0);
    Thread().InitInstance();
    scm_.services["KvDpcService"].state = win::kServiceStopped;
    Thread().ExitInstance();
    EXPECT_TRUE(boxes_.shown.empty());
    EXPECT_FALSE(scm_.services.count("KvDpcService")) << "not active counts as stopped";
}

TEST_F(Monitor, DriverServiceGoneAtStopIsNoFailure) {
    Adapter(0);
    Thread().InitInstance();
    scm_.services.erase("KvDpcService");
    Thread().ExitInstance();
    EXPECT_TRUE(boxes_.shown.empty());

    scm_.openError = 5;  // access denied is a failure
    EXPECT_FALSE(Thread().RemoveBridgeService());
}

TEST_F(Monitor, SlowDriverStopIsPolledFiveTimesThenDeleted) {
    Adapter(0);
    Thread().InitInstance();
    scm_.services["KvDpcService"].neverStops = true;
    EXPECT_TRUE(Thread().RemoveBridgeService());
    EXPECT_EQ(std::count(sync_.sleeps.begin(), sync_.sleeps.end(), 1000u), 5);
    EXPECT_FALSE(scm_.services.count("KvDpcService"));
}

TEST_F(Monitor, StopRequestedBeforeTheLoopEndsItWithoutWaiting) {
    Adapter(0);
    Thread().RequestStop();  // before the terminate event exists
    Thread().Run();
    EXPECT_TRUE(sync_.waits.empty());
    EXPECT_EQ(queue_.loops, 1);
}

TEST_F(Monitor, StopRequestedWhileHandlingEndsTheLoopAfterIt) {
    Adapter(0);
    sync_.onWait = [&](int call) {
        if (call == 0) Queue(0, 0x101, 2, 0, 0, 0);
        return call < 2 ? win::kWaitObject0 + 1 : win::kWaitObject0;
    };
    // The stop arrives while the thread writes the record: the terminate event stays set.
    bool asked = false;
    log_.openFailures = 1;
    boxes_.onShow = [&](uint32_t) {
        if (!asked) Thread().RequestStop();
        asked = true;
        EXPECT_TRUE(sync_.events[sync_.Find("VEXNOND-TMN")].set);
    };
    Thread().Run();
    EXPECT_EQ(sync_.waits.size(), 1u) << "no second wait after the stop";
}

TEST_F(Monitor, FailedOrAbandonedWaitEndsTheLoop) {
    Adapter(0);
    Waits({win::kWaitFailed});
    Thread().Run();
    EXPECT_EQ(sync_.waits.size(), 1u);
    thread_.reset();
    sync_.waits.clear();
    Waits({win::kWaitAbandoned0 + 1});
    Thread().Run();
    EXPECT_EQ(sync_.waits.size(), 1u);
}

}  // namespace
}  // namespace korrin
