// Korrin's shell: the command line, the single-instance guard, installing and removing the
// service, the service entry and control handler with the status they report, the debug and
// Windows 98 modes, and the order in which the monitor thread is started, paused, resumed and
// stopped.
#pragma once

#include <stdint.h>

#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "korrin/monitor.h"
#include "korrin/platform.h"

namespace korrin {

inline constexpr char kServiceName[] = "Vexmond";
inline constexpr char kServiceDisplayName[] = "Torvale Strata Message Agent";
// The single-instance mutex and the Windows 98 mode's stop event are one per machine: a
// service runs in session 0 and a person's run of the program in a session of its own, and
// only this prefix names the same object from both.
inline constexpr char kGlobalPrefix[] = "Global\\";
inline constexpr char kServiceKey[] = "SOFTWARE\\Torvale Technology Inc.\\HALV\\Service";
// Double-NUL-terminated list of the services Korrin depends on.
inline constexpr char kServiceDependencies[] = "RPCSS\0";
static_assert(sizeof kServiceDependencies == 7);

// ---- Command line -------------------------------------------------------------------------
enum class Switch { None, Debug, Win98, Install, Remove };

// One leading "-" or "/" removed.
std::string_view StripSwitchPrefix(std::string_view argument);
// Whole, byte by byte, ignoring the case of ASCII letters.
bool SameSwitch(std::string_view a, std::string_view b);
// "?" or "help" anywhere, with or without a leading "-" or "/".
bool IsUsageRequest(std::span<const std::string> arguments);
// The first of "SvcDeb", "win98", "SvcInstall", "SvcRemove" given after "-" or "/";
// `index` is its position.
Switch ChooseSwitch(std::span<const std::string> arguments, size_t& index);

// ---- Process-level platform ---------------------------------------------------------------
struct ServiceStatus {
    uint32_t serviceType;
    uint32_t currentState;
    uint32_t controlsAccepted;
    uint32_t win32ExitCode;
    uint32_t serviceSpecificExitCode;
    uint32_t checkPoint;
    uint32_t waitHint;
};

class HostPlatform {
  public:
    virtual ~HostPlatform() = default;
    // Creates the named mutex owned by this thread and keeps it until the process ends. False
    // when it cannot be created or already existed (a second instance).
    virtual bool CreateInstanceMutex(const char* name) = 0;
    // StartServiceCtrlDispatcherA with the one entry `serviceName` -> ServiceMain of the
    // application. Returns when the service has stopped; false at once outside the SCM.
    virtual bool RunDispatcher(const char* serviceName) = 0;
    // RegisterServiceCtrlHandlerA(name) -> ServiceControlHandler of the application.
    virtual Handle RegisterControlHandler(const char* name) = 0;
    virtual bool SetStatus(Handle statusHandle, const ServiceStatus& status) = 0;
};

// The monitor thread's handle and message queue.
class WorkerThread {
  public:
    virtual ~WorkerThread() = default;
    // Creates the thread suspended (default stack and security); false when it cannot.
    virtual bool Create() = 0;
    virtual void Resume() = 0;
    // Posts the quit message to the thread's queue.
    virtual void PostQuit() = 0;
    // Waits without time limit until the thread has ended.
    virtual void WaitEnded() = 0;
};

struct HostServices {
    HostPlatform& host;
    ServiceControl& scm;
    Registry& registry;
    ModuleInfo& module;
    WarningBoxes& boxes;
    Synchronization& sync;
};

class CServiceApp {
  public:
    explicit CServiceApp(const HostServices& services) : s_(services) {}
    virtual ~CServiceApp() = default;

    virtual uint32_t Run() { return 0; }
    virtual uint32_t Continue() { return 0; }
    virtual uint32_t Pause() { return 0; }
    virtual uint32_t Stop() { return 0; }
    virtual uint32_t Init(std::span<const std::string> arguments, uint32_t& specificCode) {
        (void)arguments;
        specificCode = 0;
        return 0;
    }

    // Program start without the usage check: the guard, then the dispatcher or the switch.
    virtual bool InitInstance(std::span<const std::string> arguments);

    void ServiceMain(std::span<const std::string> arguments);
    void ServiceControlHandler(uint32_t control);
    void InstallService();
    void RemoveService();

    // The work that Stop ended has finished: a pending stop is reported as stopped now.
    void OnWorkEnded();
    // One step of the work that Stop ended is done: a pending stop reports its progress, so
    // that a slow step (a warning box waiting for a person) is not taken for a hung service.
    void OnStopProgress();

    int32_t m_nRunMode = 0;

    ServiceStatus status() const {
        std::lock_guard<std::mutex> hold(statusLock_);
        return status_;
    }

  protected:
    // Whether work that a stop waits for is still running.
    virtual bool WorkRunning() const { return false; }
    void InProcessMode(int32_t mode, std::span<const std::string> rest);
    // Reports the status record; with statusLock_ held. Nothing is reported after "stopped".
    void ReportLocked();

    HostServices s_;
    mutable std::mutex statusLock_;
    ServiceStatus status_{};
    Handle statusHandle_ = kNoHandle;
    bool workEnded_ = false;
    bool stoppedReported_ = false;
};

class CKorrinApp final : public CServiceApp {
  public:
    CKorrinApp(const HostServices& services, CKorrinThread& monitor, WorkerThread& thread)
        : CServiceApp(services), monitor_(monitor), thread_(thread) {
        monitor_.OnExitStep([this] { OnStopProgress(); });
    }

    uint32_t Run() override;
    uint32_t Continue() override;
    uint32_t Pause() override;
    uint32_t Stop() override;
    uint32_t Init(std::span<const std::string> arguments, uint32_t& specificCode) override;

    // The whole program start: usage, then the service application's start, then the wait
    // for the monitor thread. False: the program ends.
    bool InitInstance(std::span<const std::string> arguments) override;

    int32_t m_bMonitorStarted = 0;

  protected:
    bool WorkRunning() const override { return m_bMonitorStarted != 0 && !workEnded_; }

  private:
    CKorrinThread& monitor_;
    WorkerThread& thread_;
};

}  // namespace korrin
