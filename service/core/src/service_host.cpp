#include "korrin/service_host.h"

#include <cstdio>

#include "korrin/messages.h"

namespace korrin {
namespace {

// How long a stop may take before the SCM hears from the service again: the monitor reports
// after each of its exit steps, the longest of which waits up to five seconds for the bridge's
// service to stop.
constexpr uint32_t kStopWaitHintMs = 15000;

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool HasSwitchPrefix(std::string_view argument) {
    return !argument.empty() && (argument[0] == '-' || argument[0] == '/');
}

}  // namespace

std::string_view StripSwitchPrefix(std::string_view argument) {
    if (HasSwitchPrefix(argument)) argument.remove_prefix(1);
    return argument;
}

bool SameSwitch(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

bool IsUsageRequest(std::span<const std::string> arguments) {
    for (const std::string& argument : arguments) {
        const std::string_view name = StripSwitchPrefix(argument);
        if (SameSwitch(name, "?") || SameSwitch(name, "help")) return true;
    }
    return false;
}

Switch ChooseSwitch(std::span<const std::string> arguments, size_t& index) {
    for (index = 0; index < arguments.size(); ++index) {
        if (!HasSwitchPrefix(arguments[index])) continue;
        const std::string_view name = StripSwitchPrefix(arguments[index]);
        if (SameSwitch(name, "SvcDeb")) return Switch::Debug;
        if (SameSwitch(name, "win98")) return Switch::Win98;
        if (SameSwitch(name, "SvcInstall")) return Switch::Install;
        if (SameSwitch(name, "SvcRemove")) return Switch::Remove;
    }
    return Switch::None;
}

// ---- CServiceApp ----------------------------------------------------------------------------

bool CServiceApp::InitInstance(std::span<const std::string> arguments) {
    char mutexName[64];
    std::snprintf(mutexName, sizeof mutexName, "%s%s-Mutex", kGlobalPrefix, kServiceName);
    // A second instance does nothing at all.
    if (!s_.host.CreateInstanceMutex(mutexName)) return false;
    if (arguments.empty()) {
        s_.host.RunDispatcher(kServiceName);
        return true;
    }
    size_t index = 0;
    switch (ChooseSwitch(arguments, index)) {
        case Switch::Debug:
            InProcessMode(2, arguments.subspan(index + 1));
            break;
        case Switch::Win98:
            InProcessMode(1, arguments.subspan(index + 1));
            break;
        case Switch::Install:
            InstallService();
            break;
        case Switch::Remove:
            RemoveService();
            break;
        case Switch::None:
            break;
    }
    return false;
}

void CServiceApp::InProcessMode(int32_t mode, std::span<const std::string> rest) {
    m_nRunMode = mode;
    uint32_t code = 0;
    Init(rest, code);
    if (mode == 1) InstallService();
    Run();
    Stop();
}

void CServiceApp::ServiceMain(std::span<const std::string> arguments) {
    {
        std::lock_guard<std::mutex> hold(statusLock_);
        status_ = {win::kServiceWin32,
                   win::kServiceStartPending,
                   win::kServiceAcceptStopPauseContinue,
                   0,
                   0,
                   0,
                   0};
    }
    const Handle handle = s_.host.RegisterControlHandler(kServiceName);
    if (handle == kNoHandle) return;
    {
        std::lock_guard<std::mutex> hold(statusLock_);
        statusHandle_ = handle;
    }
    uint32_t code = 0;
    const uint32_t result = Init(arguments, code);
    std::lock_guard<std::mutex> hold(statusLock_);
    status_.checkPoint = 0;
    status_.waitHint = 0;
    if (result != 0) {
        status_.currentState = win::kServiceStopped;
        status_.win32ExitCode = result;
        status_.serviceSpecificExitCode = code;
    } else {
        status_.currentState = win::kServiceRunning;
    }
    ReportLocked();
}

void CServiceApp::ReportLocked() {
    // After "stopped" the status handle is no longer the service's: nothing more is reported.
    if (stoppedReported_) return;
    if (status_.currentState == win::kServiceStopped) stoppedReported_ = true;
    s_.host.SetStatus(statusHandle_, status_);
}

void CServiceApp::ServiceControlHandler(uint32_t control) {
    switch (control) {
        case win::kServiceControlStop: {
            {
                std::lock_guard<std::mutex> hold(statusLock_);
                status_.win32ExitCode = 0;
                status_.checkPoint = 0;
                status_.waitHint = kStopWaitHintMs;
                status_.currentState = win::kServiceStopPending;
            }
            // The stop is asked of the monitor first (a paused monitor wakes for it), then
            // reported.
            const uint32_t result = Stop();
            std::lock_guard<std::mutex> hold(statusLock_);
            // The monitor may have ended during Stop and reported "stopped" itself.
            if (stoppedReported_) return;
            // "Stopped" only once the monitor has finished; until then OnWorkEnded reports it,
            // and the monitor's exit steps report their progress.
            if (result == 0 && !WorkRunning()) {
                status_.currentState = win::kServiceStopped;
                status_.checkPoint = 0;
                status_.waitHint = 0;
            }
            ReportLocked();
            return;
        }
        case win::kServiceControlPause: {
            // Under statusLock_, which the monitor thread takes when its work ends or a stop
            // step is done, so that those reports and this one do not interleave.
            std::lock_guard<std::mutex> hold(statusLock_);
            // Paused already: nothing changes and nothing is reported; the SCM keeps the state
            // it has.
            if (status_.currentState == win::kServicePaused) return;
            const uint32_t before = status_.currentState;
            status_.currentState = win::kServicePaused;
            ReportLocked();
            if (Pause() != 0) {
                status_.currentState = before;
                ReportLocked();
            }
            return;
        }
        case win::kServiceControlContinue: {
            std::lock_guard<std::mutex> hold(statusLock_);
            if (Continue() == 0) status_.currentState = win::kServiceRunning;
            ReportLocked();
            return;
        }
        default:
            // Interrogate and every other control: nothing is reported. The SCM answers an
            // interrogate from the status it holds (Microsoft's rule for a control handler).
            return;
    }
}

void CServiceApp::OnWorkEnded() {
    std::lock_guard<std::mutex> hold(statusLock_);
    workEnded_ = true;
    if (statusHandle_ == kNoHandle || status_.currentState != win::kServiceStopPending) return;
    status_.currentState = win::kServiceStopped;
    status_.checkPoint = 0;
    status_.waitHint = 0;
    ReportLocked();
}

void CServiceApp::OnStopProgress() {
    std::lock_guard<std::mutex> hold(statusLock_);
    if (statusHandle_ == kNoHandle || status_.currentState != win::kServiceStopPending) return;
    ++status_.checkPoint;
    ReportLocked();
}

void CServiceApp::InstallService() {
    RemoveService();
    std::string path;
    if (!s_.module.ModulePath(path)) return;
    const std::string command = path.find(' ') != std::string::npos ? "\"" + path + "\"" : path;
    const Handle manager = s_.scm.OpenManager(win::kScManagerAllAccess);
    if (manager == kNoHandle) return;
    const ServiceConfig config{kServiceName,           kServiceDisplayName,
                               win::kServiceAllAccess, win::kServiceWin32OwnProcess,
                               win::kServiceAutoStart, win::kServiceErrorNormal,
                               command.c_str(),        nullptr,
                               kServiceDependencies};
    const Handle service = s_.scm.CreateServiceEntry(manager, config);
    if (service != kNoHandle) s_.scm.CloseServiceHandle(service);
    s_.scm.CloseServiceHandle(manager);
    if (service == kNoHandle) return;

    Registry& reg = s_.registry;
    Handle parent = reg.OpenKey(kNoHandle, kServiceKey);
    if (parent == kNoHandle) parent = reg.CreateKey(kNoHandle, kServiceKey);
    if (parent == kNoHandle) return;
    Handle key = reg.OpenKey(parent, kServiceName);
    if (key == kNoHandle) key = reg.CreateKey(parent, kServiceName);
    reg.CloseKey(parent);
    if (key == kNoHandle) return;
    // Failures of the single values are not reported: nothing in the system reads them.
    reg.SetString(key, "ServiceName", kServiceName);
    reg.SetString(key, "ServiceDisplayName", kServiceDisplayName);
    reg.SetString(key, "ServiceBinaryPath", path.c_str());
    reg.CloseKey(key);
}

void CServiceApp::RemoveService() {
    const Handle manager = s_.scm.OpenManager(win::kScManagerAllAccess);
    if (manager == kNoHandle) return;
    bool deleted = false;
    const Handle service = s_.scm.OpenServiceEntry(manager, kServiceName, win::kDeleteAccess);
    if (service != kNoHandle) {
        deleted = s_.scm.DeleteServiceEntry(service);
        s_.scm.CloseServiceHandle(service);
    }
    s_.scm.CloseServiceHandle(manager);
    if (!deleted) return;
    Registry& reg = s_.registry;
    Handle key = reg.OpenKey(kNoHandle, kServiceKey);
    if (key == kNoHandle) key = reg.CreateKey(kNoHandle, kServiceKey);
    if (key == kNoHandle) return;
    reg.DeleteKey(key, kServiceName);
    reg.CloseKey(key);
}

// ---- CKorrinApp -----------------------------------------------------------------------------

bool CKorrinApp::InitInstance(std::span<const std::string> arguments) {
    if (!arguments.empty() && IsUsageRequest(arguments)) {
        s_.boxes.Show(IDS_USAGE);
        return false;
    }
    const bool result = CServiceApp::InitInstance(arguments);
    if (m_bMonitorStarted) thread_.WaitEnded();
    return result;
}

uint32_t CKorrinApp::Init(std::span<const std::string> arguments, uint32_t& specificCode) {
    (void)arguments;
    specificCode = 0;
    if (!thread_.Create()) return 1;
    thread_.Resume();
    m_bMonitorStarted = 1;
    return 0;
}

uint32_t CKorrinApp::Run() {
    if (m_nRunMode == 2) {
        s_.boxes.Show(IDS_DEBUG_MODE);
    } else if (m_nRunMode == 1) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%s-ServiceStop", kGlobalPrefix, kServiceName);
        const Handle stop = s_.sync.CreateNamedEvent(name, false);
        if (stop == kNoHandle) return 0;
        s_.sync.WaitAny(&stop, 1, win::kInfinite);
        s_.sync.CloseHandle(stop);
    }
    return 0;
}

uint32_t CKorrinApp::Pause() {
    // The monitor pauses at its next safe point; it is never suspended wherever it is.
    if (m_bMonitorStarted) monitor_.RequestPause();
    return 0;
}

uint32_t CKorrinApp::Continue() {
    if (m_bMonitorStarted) monitor_.RequestContinue();
    return 0;
}

uint32_t CKorrinApp::Stop() {
    if (!m_bMonitorStarted) return 0;
    // A paused monitor is woken by the stop request itself.
    monitor_.RequestStop();
    thread_.PostQuit();
    return 0;
}

}  // namespace korrin
