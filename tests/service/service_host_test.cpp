// The service shell: command line, single instance, install and remove, the status reported to
// the SCM, and the order in which the monitor thread is started and stopped.
#include <gtest/gtest.h>

#include <memory>

#include "channel/protocol.h"
#include "fakes.h"
#include "korrin/messages.h"
#include "korrin/service_host.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace korrin {
namespace {

class FakeHost final : public HostPlatform {
  public:
    bool mutexExists = false;
    int mutexes = 0;
    std::string mutexName;
    int dispatchers = 0;
    bool registerFails = false;
    std::vector<ServiceStatus> reported;
    std::function<void()> onDispatch;
    std::vector<std::string>* trace = nullptr;  // shared with the worker, for ordering

    bool CreateInstanceMutex(const char* name) override {
        ++mutexes;
        mutexName = name;
        return !mutexExists;
    }
    bool RunDispatcher(const char* name) override {
        EXPECT_STREQ(name, "Vexmond");
        ++dispatchers;
        if (onDispatch) onDispatch();
        return onDispatch != nullptr;
    }
    Handle RegisterControlHandler(const char* name) override {
        EXPECT_STREQ(name, "Vexmond");
        return registerFails ? kNoHandle : 0x5151;
    }
    bool SetStatus(Handle h, const ServiceStatus& status) override {
        EXPECT_EQ(h, 0x5151u);
        reported.push_back(status);
        if (trace) trace->push_back("report " + std::to_string(status.currentState));
        return true;
    }
};

class FakeWorker final : public WorkerThread {
  public:
    bool createFails = false;
    std::vector<std::string> calls;
    std::vector<std::string>* trace = nullptr;
    std::function<void()> onQuit;
    bool Create() override {
        Record("create");
        return !createFails;
    }
    void Resume() override { Record("resume"); }
    void PostQuit() override {
        Record("quit");
        if (onQuit) onQuit();
    }
    void WaitEnded() override { Record("wait"); }

  private:
    void Record(const std::string& call) {
        calls.push_back(call);
        if (trace) trace->push_back(call);
    }
};

class Host : public ::testing::Test {
  protected:
    Host()
        : pop_(sim::NewPopulation()),
          io_(*pop_),
          monitor_(MonitorPlatform{io_, scm_, bridge_, sync_, boxes_, log_, module_, queue_}),
          app_(HostServices{host_, scm_, registry_, module_, boxes_, sync_}, monitor_, worker_) {}

    bool Start(std::vector<std::string> args) { return app_.InitInstance(args); }

    std::unique_ptr<sim::SimPopulation> pop_;
    sim::SimDeviceAccess io_;
    test::FakeScm scm_;
    test::FakeBridge bridge_;
    test::FakeSync sync_;
    test::FakeBoxes boxes_;
    test::FakeLog log_;
    test::FakeModule module_;
    test::FakeQueue queue_;
    test::FakeRegistry registry_;
    FakeHost host_;
    FakeWorker worker_;
    CKorrinThread monitor_;
    CKorrinApp app_;
};

constexpr char kKey[] = "SOFTWARE\\Torvale Technology Inc.\\HALV\\Service\\Vexmond";

TEST(CommandLine, SwitchesAreWholeAndCaseBlind) {
    EXPECT_EQ(StripSwitchPrefix("-x"), "x");
    EXPECT_EQ(StripSwitchPrefix("//x"), "/x") << "one character only";
    EXPECT_TRUE(SameSwitch("SVCDEB", "SvcDeb"));
    EXPECT_FALSE(SameSwitch("SvcDebug", "SvcDeb"));
    const std::vector<std::string> usage[] = {{"HELP"}, {"-?"}, {"?"}, {"/s", "/Help"}};
    for (const auto& args : usage) EXPECT_TRUE(IsUsageRequest(args)) << args[0];
    EXPECT_FALSE(IsUsageRequest(std::vector<std::string>{"/s", "-helpme"}));
    size_t index = 9;
    EXPECT_EQ(ChooseSwitch(std::vector<std::string>{"/x", "-svcdeb"}, index), Switch::Debug);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(ChooseSwitch(std::vector<std::string>{"SvcDeb"}, index), Switch::None);
    EXPECT_EQ(ChooseSwitch(std::vector<std::string>{"/SvcInstall", "/SvcDeb"}, index),
              Switch::Install);
    EXPECT_EQ(ChooseSwitch(std::vector<std::string>{"-WIN98"}, index), Switch::Win98);
    EXPECT_EQ(ChooseSwitch(std::vector<std::string>{"/svcremove"}, index), Switch::Remove);
}

TEST_F(Host, UsageShowsTheBoxAndNothingElse) {
    EXPECT_FALSE(Start({"/SvcInstall", "help"}));
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_USAGE}));
    EXPECT_EQ(host_.mutexes, 0);
    EXPECT_TRUE(scm_.calls.empty());
}

TEST_F(Host, SecondInstanceDoesNothing) {
    host_.mutexExists = true;
    EXPECT_FALSE(Start({"/SvcInstall"}));
    EXPECT_EQ(host_.mutexName, "Global\\Vexmond-Mutex") << "one instance across sessions";
    EXPECT_TRUE(scm_.calls.empty());
    EXPECT_FALSE(Start({}));
    EXPECT_EQ(host_.dispatchers, 0);
}

TEST_F(Host, NoArgumentsRunsTheDispatcher) {
    EXPECT_TRUE(Start({}));
    EXPECT_EQ(host_.dispatchers, 1);
    EXPECT_TRUE(worker_.calls.empty());
}

TEST_F(Host, SilentAndUnprefixedSwitchesDoNothing) {
    EXPECT_FALSE(Start({"/s"}));
    EXPECT_FALSE(Start({"SvcDeb", "SvcInstall"}));
    EXPECT_TRUE(worker_.calls.empty());
    EXPECT_TRUE(scm_.calls.empty());
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(Host, DebugModeRunsTheMonitorUntilTheBoxCloses) {
    EXPECT_FALSE(Start({"/other", "-SvcDeb"}));
    EXPECT_EQ(app_.m_nRunMode, 2);
    EXPECT_EQ(app_.m_bMonitorStarted, 1);
    EXPECT_EQ(boxes_.shown, (std::vector<uint32_t>{IDS_DEBUG_MODE}));
    EXPECT_EQ(worker_.calls, (std::vector<std::string>{"create", "resume", "quit", "wait"}));
    EXPECT_TRUE(scm_.calls.empty()) << "debug mode installs nothing";
}

TEST_F(Host, InstallBeforeDebugRunsOnlyTheInstall) {
    EXPECT_FALSE(Start({"/SvcInstall", "/SvcDeb"}));
    EXPECT_TRUE(worker_.calls.empty());
    EXPECT_EQ(scm_.Count("CreateService Vexmond"), 1);
}

TEST_F(Host, Win98ModeInstallsAndWaitsForTheStopEvent) {
    EXPECT_FALSE(Start({"/win98"}));
    EXPECT_EQ(app_.m_nRunMode, 1);
    const Handle stop = sync_.Find("Global\\Vexmond-ServiceStop");
    ASSERT_NE(stop, kNoHandle);
    EXPECT_FALSE(sync_.events[stop].manualReset);
    EXPECT_TRUE(sync_.events[stop].closed);
    ASSERT_EQ(sync_.waits.size(), 1u);
    EXPECT_EQ(sync_.waitTimeouts[0], win::kInfinite);
    EXPECT_EQ(scm_.Count("CreateService Vexmond"), 1);
    EXPECT_EQ(worker_.calls.back(), "wait");
}

TEST_F(Host, Win98ModeWithoutItsEventReturnsAtOnce) {
    sync_.createFails = {"Global\\Vexmond-ServiceStop"};
    EXPECT_FALSE(Start({"/win98"}));
    EXPECT_TRUE(sync_.waits.empty());
    EXPECT_EQ(worker_.calls.back(), "wait");
}

TEST_F(Host, InstallRegistersTheServiceAndItsKey) {
    module_.path = "C:\\Program Files\\Torvale\\Vexmond.exe";
    EXPECT_FALSE(Start({"-SvcInstall"}));
    ASSERT_TRUE(scm_.services.count("Vexmond"));
    const auto& s = scm_.services["Vexmond"];
    EXPECT_EQ(s.binaryPath, "\"C:\\Program Files\\Torvale\\Vexmond.exe\"");
    EXPECT_EQ(s.config.type, 0x10u);
    EXPECT_EQ(s.config.startType, 2u);
    EXPECT_EQ(s.config.errorControl, 1u);
    EXPECT_EQ(s.config.access, 0xF01FFu);
    EXPECT_EQ(s.dependencies, "RPCSS|");
    EXPECT_TRUE(s.group.empty());
    EXPECT_EQ(scm_.displayNames["Vexmond"], "Torvale Strata Message Agent");
    EXPECT_EQ(scm_.Count("OpenManager 0xF003F"), 2) << "remove first, then create";
    const auto& values = registry_.keys[kKey];
    EXPECT_EQ(values.at("ServiceName"), "Vexmond");
    EXPECT_EQ(values.at("ServiceDisplayName"), "Torvale Strata Message Agent");
    EXPECT_EQ(values.at("ServiceBinaryPath"), "C:\\Program Files\\Torvale\\Vexmond.exe");
    EXPECT_EQ(registry_.open, 0);
    EXPECT_EQ(scm_.openHandles, 0);

    // A second install replaces the first registration.
    module_.path = "C:\\svc\\Vexmond.exe";
    EXPECT_FALSE(Start({"-SvcInstall"}));
    EXPECT_EQ(scm_.services["Vexmond"].binaryPath, "C:\\svc\\Vexmond.exe") << "no blank, no quotes";
    EXPECT_EQ(scm_.Count("DeleteService Vexmond"), 1);
    EXPECT_EQ(registry_.keys[kKey].at("ServiceBinaryPath"), "C:\\svc\\Vexmond.exe");
}

TEST_F(Host, InstallFailuresEndSilently) {
    scm_.createFails = true;
    Start({"/SvcInstall"});
    EXPECT_TRUE(registry_.keys.empty());
    scm_.createFails = false;
    module_.fails = true;
    Start({"/SvcInstall"});
    EXPECT_FALSE(scm_.services.count("Vexmond"));
    EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(Host, RemoveDeletesServiceAndKeyOnlyWhenTheServiceWent) {
    Start({"/SvcInstall"});
    ASSERT_TRUE(registry_.keys.count(kKey));
    scm_.services["Vexmond"].deleteFails = true;
    Start({"/SvcRemove"});
    EXPECT_TRUE(registry_.keys.count(kKey));
    scm_.services["Vexmond"].deleteFails = false;
    Start({"/SvcRemove"});
    EXPECT_FALSE(scm_.services.count("Vexmond"));
    EXPECT_FALSE(registry_.keys.count(kKey));
    EXPECT_EQ(scm_.Count("OpenService Vexmond 0x10000"), 3);
}

TEST_F(Host, ServiceMainReportsRunningOnly) {
    app_.ServiceMain({});
    ASSERT_EQ(host_.reported.size(), 1u);
    const ServiceStatus s = host_.reported[0];
    EXPECT_EQ(s.serviceType, 0x30u);
    EXPECT_EQ(s.currentState, win::kServiceRunning);
    EXPECT_EQ(s.controlsAccepted, 3u);
    EXPECT_EQ(s.win32ExitCode, 0u);
    EXPECT_EQ(s.checkPoint, 0u);
    EXPECT_EQ(s.waitHint, 0u);
    EXPECT_EQ(worker_.calls, (std::vector<std::string>{"create", "resume"}));
}

TEST_F(Host, ServiceMainWithoutAMonitorReportsStoppedWithCodeOne) {
    worker_.createFails = true;
    app_.ServiceMain({});
    ASSERT_EQ(host_.reported.size(), 1u);
    EXPECT_EQ(host_.reported[0].currentState, win::kServiceStopped);
    EXPECT_EQ(host_.reported[0].win32ExitCode, 1u);
    EXPECT_EQ(host_.reported[0].serviceSpecificExitCode, 0u);
}

TEST_F(Host, ServiceMainWithoutAHandlerReportsNothing) {
    host_.registerFails = true;
    app_.ServiceMain({});
    EXPECT_TRUE(host_.reported.empty());
    EXPECT_TRUE(worker_.calls.empty());
}

TEST_F(Host, PauseContinueAndInterrogate) {
    app_.ServiceMain({});
    app_.ServiceControlHandler(win::kServiceControlPause);
    EXPECT_EQ(host_.reported.back().currentState, win::kServicePaused);
    app_.ServiceControlHandler(win::kServiceControlInterrogate);
    EXPECT_EQ(host_.reported.size(), 2u) << "the SCM answers an interrogate itself";
    app_.ServiceControlHandler(win::kServiceControlContinue);
    EXPECT_EQ(host_.reported.back().currentState, win::kServiceRunning);
    EXPECT_EQ(host_.reported.size(), 3u) << "one report per pause and continue";
    // The monitor thread is started once and never suspended: a thread stopped wherever it
    // is may hold the heap's lock, which the control dispatcher needs to deliver a continue.
    EXPECT_EQ(worker_.calls, (std::vector<std::string>{"create", "resume"}));
}

TEST_F(Host, StopIsPendingUntilTheMonitorHasEnded) {
    app_.ServiceMain({});
    app_.ServiceControlHandler(win::kServiceControlStop);
    ASSERT_EQ(host_.reported.size(), 2u) << "one report per control";
    EXPECT_EQ(host_.reported[1].currentState, win::kServiceStopPending);
    EXPECT_EQ(host_.reported[1].waitHint, 15000u);
    EXPECT_EQ(host_.reported[1].checkPoint, 0u);
    EXPECT_EQ(worker_.calls, (std::vector<std::string>{"create", "resume", "quit"}));
    app_.OnWorkEnded();
    ASSERT_EQ(host_.reported.size(), 3u);
    EXPECT_EQ(host_.reported[2].currentState, win::kServiceStopped);
    EXPECT_EQ(host_.reported[2].win32ExitCode, 0u);
    EXPECT_EQ(host_.reported[2].waitHint, 0u);
}

TEST_F(Host, StopWhilePausedEndsTheMonitorAndAnyNumberOfPausesEndAtOneContinue) {
    std::vector<std::string> trace;
    host_.trace = &trace;
    worker_.trace = &trace;
    app_.ServiceMain({});
    for (int i = 0; i < 5; ++i) app_.ServiceControlHandler(win::kServiceControlPause);
    app_.ServiceControlHandler(win::kServiceControlContinue);
    app_.ServiceControlHandler(win::kServiceControlPause);
    trace.clear();
    app_.ServiceControlHandler(win::kServiceControlStop);
    EXPECT_EQ(trace, (std::vector<std::string>{"quit", "report 3"}));
}

TEST_F(Host, StoppedIsReportedOnceWhenTheMonitorEndsDuringTheStop) {
    app_.ServiceMain({});
    // The monitor finishes its exit work at once, while the handler is still in Stop.
    worker_.onQuit = [&] { app_.OnWorkEnded(); };
    app_.ServiceControlHandler(win::kServiceControlStop);
    app_.OnWorkEnded();
    app_.ServiceControlHandler(win::kServiceControlInterrogate);
    int stopped = 0;
    for (const ServiceStatus& s : host_.reported) stopped += s.currentState == win::kServiceStopped;
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(host_.reported.back().currentState, win::kServiceStopped)
        << "nothing is reported after stopped";
}

TEST_F(Host, StopStepsOfTheMonitorRaiseTheCheckPoint) {
    sim::SimAdapter& adapter = sim::AddAdapter(*pop_, 0, 0x3124, 1, 1);
    // The first step ends at a warning box, which a person may leave open for long.
    sim::InjectFault(adapter, channel::MPCMD_UNREGISTER_EVENT_DPC, sim::kFaultCallFails);
    size_t reportsAtTheBox = 0;
    boxes_.onShow = [&](uint32_t id) {
        if (id == IDS_DPC_DELETE_FAILED) reportsAtTheBox = host_.reported.size();
    };
    app_.ServiceMain({});
    app_.ServiceControlHandler(win::kServiceControlStop);
    ASSERT_EQ(host_.reported.size(), 2u);
    monitor_.Run();  // here on the test's thread, as the worker would run it
    // The bridge stays loaded: the adapter may still call it.
    EXPECT_EQ(boxes_.shown,
              (std::vector<uint32_t>{IDS_DPC_DELETE_FAILED, IDS_UNLOAD_BRIDGE_FAILED}));
    EXPECT_EQ(reportsAtTheBox, 2u);
    ASSERT_EQ(host_.reported.size(), 5u) << "disconnect, close events, remove the driver";
    for (uint32_t step = 1; step <= 3; ++step) {
        EXPECT_EQ(host_.reported[1 + step].currentState, win::kServiceStopPending);
        EXPECT_EQ(host_.reported[1 + step].checkPoint, step);
        EXPECT_EQ(host_.reported[1 + step].waitHint, 15000u);
    }
    app_.OnWorkEnded();
    EXPECT_EQ(host_.reported.back().currentState, win::kServiceStopped);
    EXPECT_EQ(host_.reported.back().checkPoint, 0u);
}

TEST_F(Host, MonitorEndingOnItsOwnReportsNoProgress) {
    sim::AddAdapter(*pop_, 0, 0x3124, 1, 1);
    app_.ServiceMain({});
    monitor_.Run();  // the service is running: its exit steps are no stop's progress
    EXPECT_EQ(host_.reported.size(), 1u);
}

TEST_F(Host, StopAfterTheMonitorEndedOnItsOwnIsStoppedAtOnce) {
    app_.ServiceMain({});
    app_.OnWorkEnded();  // e.g. no adapter: the service stays running
    EXPECT_EQ(host_.reported.size(), 1u);
    EXPECT_EQ(app_.status().currentState, win::kServiceRunning);
    app_.ServiceControlHandler(win::kServiceControlStop);
    EXPECT_EQ(host_.reported.back().currentState, win::kServiceStopped);
}

TEST_F(Host, MonitorStopReachesTheWaitLoop) {
    app_.ServiceMain({});
    app_.Stop();
    // The monitor object remembers the stop: its next wait is never made.
    sim::AddAdapter(*pop_, 0, 0x3124, 1, 1);
    monitor_.Run();
    EXPECT_TRUE(sync_.waits.empty());
}

}  // namespace
}  // namespace korrin
