// The bridge's lifetime across stops and starts, the adapter events' security, the control
// handler's silence where a report could hang it, and the warnings that reach the event log and
// the console session.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "channel/protocol.h"
#include "fakes.h"
#include "korrin/event_security.h"
#include "korrin/messages.h"
#include "korrin/monitor.h"
#include "korrin/service_host.h"
#include "korrin/warning_boxes.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace korrin {
namespace {

constexpr uint32_t kUnregister = channel::MPCMD_UNREGISTER_EVENT_DPC;
constexpr uint32_t kRegister = channel::MPCMD_REGISTER_EVENT_DPC;

// Binary SIDs: S-1-5-18, S-1-5-32-544, S-1-5-32-545 and a user's S-1-5-21-1-2-3-1001.
const std::vector<uint8_t> kSystem{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const std::vector<uint8_t> kAdministrators{1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
const std::vector<uint8_t> kUsers{1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0};
const std::vector<uint8_t> kSomeUser{1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                                     0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xE9, 3, 0, 0};

class Lifetime : public ::testing::Test {
  protected:
    Lifetime() : pop_(sim::NewPopulation()), io_(*pop_) {}

    sim::SimAdapter& Adapter(int position) {
        sim::SimAdapter& a = sim::AddAdapter(*pop_, position, 0x3124, 4, 2, "Torvale");
        sim::AddDisk(a, 0, 0, "DISK");
        return a;
    }
    // A monitor thread object of its own: each run of the service is a new process.
    std::unique_ptr<CKorrinThread> NewRun() {
        return std::make_unique<CKorrinThread>(
            MonitorPlatform{io_, scm_, bridge_, sync_, boxes_, log_, module_, queue_});
    }
    uint32_t Sent(int position, uint32_t command) {
        return pop_->adapters[position].counters.byCommand[sim::CommandIndex(command)];
    }
    bool BridgeLoaded() {
        return scm_.services.count("KvDpcService") &&
               scm_.services.at("KvDpcService").state == win::kServiceRunning;
    }

    std::unique_ptr<sim::SimPopulation> pop_;
    sim::SimDeviceAccess io_;
    test::FakeScm scm_;
    test::FakeBridge bridge_;
    test::FakeSync sync_;
    test::FakeBoxes boxes_;
    test::FakeLog log_;
    test::FakeModule module_;
    test::FakeQueue queue_;
};

// ---- The bridge stays loaded while an adapter may still call it -----------------------------

TEST_F(Lifetime, FailedUnregisterKeepsTheBridgeAndTheNextStartConnectsEveryAdapterAgain) {
    Adapter(0);
    Adapter(2);
    sim::InjectFault(pop_->adapters[0], kUnregister, sim::kFaultCallFails);
    NewRun()->Run();
    EXPECT_EQ(boxes_.shown,
              (std::vector<uint32_t>{IDS_DPC_DELETE_FAILED, IDS_UNLOAD_BRIDGE_FAILED}));
    EXPECT_TRUE(BridgeLoaded()) << "adapter 0 still holds its DPC address";
    EXPECT_EQ(scm_.Count("ControlService"), 0);
    EXPECT_EQ(pop_->adapters[0].dpcRegistered, 1);
    EXPECT_EQ(pop_->adapters[2].dpcRegistered, 0);
    const uint64_t address0 = pop_->adapters[0].dpcAddress;

    // The next start: the bridge runs on and still holds the events, so the names exist (made by
    // the service) and find their old slots.
    sim::InjectFault(pop_->adapters[0], kUnregister, sim::kFaultNone);
    sync_.existing["Global\\VEXMOND-0"] = kSystem;
    sync_.existing["Global\\VEXMOND-1"] = kSystem;
    boxes_.shown.clear();
    auto second = NewRun();
    ASSERT_TRUE(second->InitInstance()) << ::testing::PrintToString(boxes_.shown);
    EXPECT_EQ(second->ConnectedCount, 2);
    EXPECT_EQ(Sent(0, kRegister), 2u);
    EXPECT_EQ(Sent(2, kRegister), 2u);
    EXPECT_EQ(pop_->adapters[0].dpcAddress, address0) << "the same slot, the same DPC";
    EXPECT_EQ(pop_->adapters[2].dpcSlot, 1);
    // A clean stop now unloads and deletes it.
    second->ExitInstance();
    EXPECT_TRUE(boxes_.shown.empty()) << ::testing::PrintToString(boxes_.shown);
    EXPECT_FALSE(scm_.services.count("KvDpcService"));
}

TEST_F(Lifetime, StartFailingBeforeConnectingWithdrawsEveryAdapterFound) {
    // A predecessor that crashed left both adapters registered with the loaded bridge.
    for (int p : {0, 1}) {
        sim::SimAdapter& a = Adapter(p);
        a.dpcRegistered = 1;
        a.dpcAddress = test::FakeBridge::kDpcBase + 64u * static_cast<unsigned>(p);
    }
    bridge_.openFails = true;
    NewRun()->Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
    for (int p : {0, 1}) {
        EXPECT_EQ(Sent(p, kUnregister), 1u) << p;
        EXPECT_EQ(pop_->adapters[p].dpcRegistered, 0) << p;
    }
    EXPECT_FALSE(scm_.services.count("KvDpcService")) << "withdrawn everywhere: unloaded";
}

TEST_F(Lifetime, AdapterNeverConnectedThatCannotBeWithdrawnKeepsTheBridge) {
    Adapter(0);
    Adapter(1);
    // Adapter 1 refuses the connection, and its withdrawal fails: whatever a predecessor left
    // there stays, so the bridge must stay too.
    sim::InjectFault(pop_->adapters[1], kRegister, sim::kFaultReturnCodeOff, 1);
    sim::InjectFault(pop_->adapters[1], kUnregister, sim::kFaultCallFails);
    NewRun()->Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_DPC_CREATE_FAILED, IDS_DPC_DELETE_FAILED,
                                                   IDS_UNLOAD_BRIDGE_FAILED}));
    EXPECT_EQ(Sent(0, kUnregister), 1u);
    EXPECT_TRUE(BridgeLoaded());
    EXPECT_EQ(sync_.OpenCount(), 0) << "the events are closed all the same";
}

// ---- A driver service that never started ----------------------------------------------------

TEST_F(Lifetime, DriverThatNeverStartedLeavesNoServiceEntry) {
    Adapter(0);
    scm_.startsFail = true;  // its file missing, say
    NewRun()->Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
    EXPECT_FALSE(scm_.services.count("KvDpcService")) << "not active counts as stopped";
}

TEST_F(Lifetime, StoppedDriverIsDeletedButARefusedStopIsAFailure) {
    Adapter(0);
    auto run = NewRun();
    ASSERT_TRUE(run->InitInstance());
    scm_.services["KvDpcService"].state = win::kServiceStopped;
    EXPECT_TRUE(run->RemoveBridgeService());
    EXPECT_FALSE(scm_.services.count("KvDpcService"));

    scm_.services["KvDpcService"].state = win::kServiceRunning;
    scm_.services["KvDpcService"].stopFails = true;
    EXPECT_FALSE(run->RemoveBridgeService());
    EXPECT_TRUE(scm_.services.count("KvDpcService")) << "a running driver is not deleted";
    EXPECT_EQ(scm_.openHandles, 0);
    EXPECT_EQ(scm_.locks, 0);
}

// ---- Who may own the adapter events ---------------------------------------------------------

// Reads a self-relative descriptor as Windows does: the offsets in its header, the SIDs and
// ACEs at them.
struct Parsed {
    uint16_t control = 0;
    std::vector<uint8_t> owner;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> allowed;  // mask, SID
    bool ok = false;
};
uint32_t Le(const std::vector<uint8_t>& b, size_t at, int width) {
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | b.at(at + static_cast<size_t>(i));
    return v;
}
std::vector<uint8_t> SidAt(const std::vector<uint8_t>& b, size_t at) {
    const size_t size = 8 + 4 * static_cast<size_t>(b.at(at + 1));
    return std::vector<uint8_t>(b.begin() + static_cast<long>(at),
                                b.begin() + static_cast<long>(at + size));
}
Parsed Parse(const std::vector<uint8_t>& b) {
    Parsed p;
    if (b.size() < 20 || b[0] != 1) return p;
    p.control = static_cast<uint16_t>(Le(b, 2, 2));
    const uint32_t owner = Le(b, 4, 4), group = Le(b, 8, 4), sacl = Le(b, 12, 4),
                   dacl = Le(b, 16, 4);
    if (owner) p.owner = SidAt(b, owner);
    if (group || sacl || !dacl || b.at(dacl) != 2) return p;
    size_t ace = dacl + 8;
    for (uint32_t i = 0; i < Le(b, dacl + 4, 2); ++i) {
        if (b.at(ace) != 0) return p;  // access-allowed only
        p.allowed.emplace_back(Le(b, ace + 4, 4), SidAt(b, ace + 8));
        ace += Le(b, ace + 2, 2);
    }
    p.ok = ace <= dacl + Le(b, dacl + 2, 2) && dacl + Le(b, dacl + 2, 2) <= b.size();
    return p;
}

TEST_F(Lifetime, AdapterEventsAreForSystemAndAdministratorsOnly) {
    Adapter(0);
    Adapter(1);
    auto run = NewRun();
    ASSERT_TRUE(run->InitInstance());
    ASSERT_EQ(sync_.descriptors.size(), 2u) << "every adapter event is secured";
    for (const std::vector<uint8_t>& d : sync_.descriptors) {
        const Parsed p = Parse(d);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.control, 0x9004) << "self-relative, DACL present and protected";
        EXPECT_EQ(p.owner, kAdministrators);
        const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> expected{
            {0x10000000, kSystem}, {0x10000000, kAdministrators}};
        EXPECT_EQ(p.allowed, expected);
    }
    EXPECT_EQ(sync_.Find("VEXNOND-TMN") != kNoHandle, true);
    run->ExitInstance();
}

TEST_F(Lifetime, EventSomeoneElseMadeFirstIsNotUsed) {
    Adapter(0);
    Adapter(1);
    sync_.existing["Global\\VEXMOND-1"] = kSomeUser;
    NewRun()->Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
    EXPECT_EQ(bridge_.names, (std::vector<std::u16string>{u"VEXMOND-0"}))
        << "the squatted name never reaches the bridge";
    EXPECT_EQ(sync_.OpenCount(), 0) << "the squatter's event is closed at once";
    EXPECT_EQ(Sent(0, kRegister), 0u);
    EXPECT_FALSE(scm_.services.count("KvDpcService"));
}

TEST_F(Lifetime, EventWhoseOwnerCannotBeReadIsNotUsed) {
    Adapter(0);
    sync_.existing["Global\\VEXMOND-0"] = {};
    NewRun()->Run();
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_BRIDGE_ERROR}));
    EXPECT_TRUE(bridge_.names.empty());
}

TEST(EventOwner, OnlySystemAndAdministratorsAreTrusted) {
    EXPECT_TRUE(IsTrustedEventOwner(kSystem));
    EXPECT_TRUE(IsTrustedEventOwner(kAdministrators));
    EXPECT_FALSE(IsTrustedEventOwner(kUsers));
    EXPECT_FALSE(IsTrustedEventOwner(kSomeUser));
    EXPECT_FALSE(IsTrustedEventOwner({}));
    std::vector<uint8_t> cut(kAdministrators.begin(), kAdministrators.end() - 1);
    EXPECT_FALSE(IsTrustedEventOwner(cut));
    std::vector<uint8_t> longer = kSystem;  // S-1-5-18-0: one sub-authority more
    longer[1] = 2;
    longer.insert(longer.end(), {0, 0, 0, 0});
    EXPECT_FALSE(IsTrustedEventOwner(longer));
    std::vector<uint8_t> otherAuthority = kSystem;  // S-1-1-18
    otherAuthority[7] = 1;
    EXPECT_FALSE(IsTrustedEventOwner(otherAuthority));
    std::vector<uint8_t> highAuthority = kSystem;
    highAuthority[2] = 1;
    EXPECT_FALSE(IsTrustedEventOwner(highAuthority));
    std::vector<uint8_t> revision = kSystem;
    revision[0] = 2;
    EXPECT_FALSE(IsTrustedEventOwner(revision));
}

// ---- The control handler never reports where a report could hang it -------------------------

class RecordingHost final : public HostPlatform {
  public:
    std::vector<uint32_t> reported;
    bool CreateInstanceMutex(const char*) override { return true; }
    bool RunDispatcher(const char*) override { return false; }
    Handle RegisterControlHandler(const char*) override { return 0x5151; }
    bool SetStatus(Handle, const ServiceStatus& status) override {
        reported.push_back(status.currentState);
        return true;
    }
};

class CountingWorker final : public WorkerThread {
  public:
    int resumes = 0;
    bool Create() override { return true; }
    void Resume() override { ++resumes; }
    void PostQuit() override {}
    void WaitEnded() override {}
};

TEST_F(Lifetime, InterrogateRepeatedPauseAndUnknownControlsReportNothing) {
    RecordingHost host;
    CountingWorker worker;
    test::FakeRegistry registry;
    auto monitor = NewRun();
    CKorrinApp app(HostServices{host, scm_, registry, module_, boxes_, sync_}, *monitor, worker);
    app.ServiceMain({});
    app.ServiceControlHandler(win::kServiceControlInterrogate);
    app.ServiceControlHandler(win::kServiceControlPause);
    EXPECT_EQ(host.reported, (std::vector<uint32_t>{win::kServiceRunning, win::kServicePaused}));
    // Paused: nothing changes, and nothing is reported.
    for (uint32_t control :
         {win::kServiceControlInterrogate, win::kServiceControlPause, 0x80u, 0x20u, 0xFFu})
        app.ServiceControlHandler(control);
    EXPECT_EQ(host.reported.size(), 2u) << ::testing::PrintToString(host.reported);
    EXPECT_EQ(worker.resumes, 1) << "started once, never suspended";
    app.ServiceControlHandler(win::kServiceControlContinue);
    app.ServiceControlHandler(win::kServiceControlStop);
    EXPECT_EQ(host.reported,
              (std::vector<uint32_t>{win::kServiceRunning, win::kServicePaused,
                                     win::kServiceRunning, win::kServiceStopPending}));
}

// ---- Warnings in the event log and at the console -------------------------------------------

TEST(Warnings, TheFiveThatMatterAreLoggedWithIdentifiersOfTheirOwn) {
    test::FakeBoxes shown;
    test::FakeLog log;
    std::vector<std::string> order;
    shown.onShow = [&](uint32_t id) { order.push_back("box " + std::to_string(id)); };
    LoggedWarningBoxes boxes(shown, log);
    const struct {
        uint32_t stringId, messageId;
        uint16_t type;
    } expected[] = {{61220, 0x8000EF24, win::kEventlogWarningType},
                    {61221, 0xC000EF25, win::kEventlogErrorType},
                    {61222, 0xC000EF26, win::kEventlogErrorType},
                    {61223, 0xC000EF27, win::kEventlogErrorType},
                    {61224, 0x8000EF28, win::kEventlogWarningType}};
    for (const auto& e : expected) {
        boxes.Show(e.stringId);
        ASSERT_EQ(log.entries.size(), order.size()) << "the entry is written before the box";
        EXPECT_EQ(log.entries.back().id, e.messageId) << e.stringId;
        EXPECT_EQ(log.entries.back().type, e.type) << e.stringId;
        EXPECT_EQ(log.entries.back().text, LoadText(e.stringId)) << e.stringId;
        EXPECT_EQ(log.source, kEventSource);
    }
    // The others are boxes only.
    boxes.Show(IDS_READ_EVENTS_FAILED);
    boxes.Show(IDS_LOG_FAILED);
    EXPECT_EQ(log.entries.size(), 5u);
    EXPECT_EQ(shown.shown.size(), 7u);
    EXPECT_EQ(log.opens, log.closes);
}

// Records the thread each box was shown on; returns at once, as a handed-over box does.
class HandedOver final : public WarningBoxes {
  public:
    void Show(uint32_t id) override {
        std::lock_guard<std::mutex> hold(lock);
        shown.emplace_back(id, std::this_thread::get_id());
    }
    std::mutex lock;
    std::vector<std::pair<uint32_t, std::thread::id>> shown;
};

TEST(Warnings, HandedOverBoxesGoOutOnTheCallersThreadOncePerQuietTime) {
    HandedOver console;
    AsyncWarningBoxes boxes(console);
    boxes.HandOver(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    boxes.Show(IDS_DPC_DELETE_FAILED);
    boxes.Show(IDS_UNLOAD_BRIDGE_FAILED);
    for (int i = 0; i < 50; ++i) boxes.Show(IDS_READ_EVENTS_FAILED);
    // Shown before Show returned: a warning at the very end of the process is not lost.
    ASSERT_EQ(console.shown.size(), 3u);
    for (const auto& [id, thread] : console.shown)
        EXPECT_EQ(thread, std::this_thread::get_id()) << id;
    EXPECT_EQ(boxes.OpenCount(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    boxes.Show(IDS_READ_EVENTS_FAILED);
    const bool quietPassed =
        std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(300);
    EXPECT_TRUE(quietPassed);
    EXPECT_EQ(console.shown.size(), 4u) << "handed over again once the quiet time passed";
}

}  // namespace
}  // namespace korrin
