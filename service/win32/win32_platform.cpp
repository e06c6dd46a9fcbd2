#include "win32_platform.h"

#include <aclapi.h>
#include <wtsapi32.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "korrin/messages.h"

namespace korrin::win32 {
namespace {

// The SCM's error of the calling thread's last failed call: the host's thread and the monitor
// thread use the SCM at the same time in Windows 98 mode.
thread_local uint32_t t_scmError = 0;

// One request to the SCM at a time from this process. In Windows 98 mode the host's thread
// installs the service while the monitor thread installs the bridge, and both begin at once. An
// RPC runtime that binds two first requests at the same moment can put each connection in an
// association of its own (Wine's does: the association's identifier is learnt only from a
// finished request), and a handle opened on one is then unknown to the other: a CreateService
// that lands there fails with ERROR_INVALID_HANDLE and the service is not installed. One request
// at a time keeps every request on one connection. No request made here is answered by a thread
// of this process (the program never controls its own service, and its control handler makes no
// request through this class), so holding the lock across one cannot deadlock: at worst one
// thread's request waits for the other's, and the program's requests are few and short.
std::mutex g_scmRequest;

template <typename Call>
auto Request(Call call) {
    std::lock_guard<std::mutex> one(g_scmRequest);
    return call();
}

template <typename T>
Handle Keep(T handle) {
    if (!handle) t_scmError = GetLastError();
    return reinterpret_cast<Handle>(handle);
}

bool Keep(BOOL ok) {
    if (!ok) t_scmError = GetLastError();
    return ok != FALSE;
}

SC_HANDLE Sc(Handle h) {
    return reinterpret_cast<SC_HANDLE>(h);
}

HANDLE Win(Handle h) {
    return reinterpret_cast<HANDLE>(h);
}

HKEY Key(Handle h) {
    return h == kNoHandle ? HKEY_LOCAL_MACHINE : reinterpret_cast<HKEY>(h);
}

CServiceApp* g_app = nullptr;
Win32WarningBoxes* g_boxes = nullptr;
AsyncWarningBoxes* g_monitorBoxes = nullptr;

// A text handed to the console session is handed over again at most this often: a failure that
// repeats (a read that keeps failing) opens one box per monitor poll period, not one per failure.
constexpr std::chrono::milliseconds kHandOverQuiet{kWaitTimeoutMs};

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
    if (g_boxes) g_boxes->SetServiceMode();
    if (g_monitorBoxes) g_monitorBoxes->HandOver(kHandOverQuiet);
    std::vector<std::string> arguments;
    for (DWORD i = 0; i < argc; ++i) arguments.emplace_back(argv[i] ? argv[i] : "");
    if (g_app) g_app->ServiceMain(arguments);
}

void WINAPI ControlHandlerEntry(DWORD control) {
    if (g_app) g_app->ServiceControlHandler(control);
}

}  // namespace

// ---- Service Control Manager ---------------------------------------------------------------

Handle Win32ServiceControl::OpenManager(uint32_t access) {
    return Request([&] { return Keep(OpenSCManagerA(nullptr, nullptr, access)); });
}

Handle Win32ServiceControl::OpenServiceEntry(Handle manager, const char* name, uint32_t access) {
    return Request([&] { return Keep(OpenServiceA(Sc(manager), name, access)); });
}

Handle Win32ServiceControl::CreateServiceEntry(Handle manager, const ServiceConfig& c) {
    return Request([&] {
        return Keep(CreateServiceA(Sc(manager), c.name, c.displayName, c.access, c.type,
                                   c.startType, c.errorControl, c.binaryPath, c.loadOrderGroup,
                                   nullptr, c.dependencies, nullptr, nullptr));
    });
}

bool Win32ServiceControl::StartServiceEntry(Handle service) {
    return Request([&] { return Keep(StartServiceA(Sc(service), 0, nullptr)); });
}

bool Win32ServiceControl::QueryState(Handle service, uint32_t& state) {
    SERVICE_STATUS status{};
    if (!Request([&] { return Keep(QueryServiceStatus(Sc(service), &status)); })) return false;
    state = status.dwCurrentState;
    return true;
}

bool Win32ServiceControl::ControlServiceEntry(Handle service, uint32_t control) {
    SERVICE_STATUS status{};
    return Request([&] { return Keep(::ControlService(Sc(service), control, &status)); });
}

bool Win32ServiceControl::DeleteServiceEntry(Handle service) {
    return Request([&] { return Keep(::DeleteService(Sc(service))); });
}

Handle Win32ServiceControl::LockDatabase(Handle manager) {
    return Request([&] { return Keep(LockServiceDatabase(Sc(manager))); });
}

void Win32ServiceControl::UnlockDatabase(Handle lock) {
    Request([&] { return UnlockServiceDatabase(reinterpret_cast<SC_LOCK>(lock)); });
}

void Win32ServiceControl::CloseServiceHandle(Handle handle) {
    Request([&] { return ::CloseServiceHandle(Sc(handle)); });
}

uint32_t Win32ServiceControl::LastError() {
    return t_scmError;
}

// ---- Bridge device -------------------------------------------------------------------------

Handle Win32BridgeDevice::Open(const char* path) {
    const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<Handle>(h);
}

bool Win32BridgeDevice::Control(Handle device, uint32_t code, const void* input, uint32_t inputSize,
                                void* output, uint32_t outputSize, uint32_t& returned) {
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(Win(device), code, const_cast<void*>(input), inputSize, output,
                                    outputSize, &bytes, nullptr);
    returned = bytes;
    return ok != FALSE;
}

void Win32BridgeDevice::Close(Handle device) {
    ::CloseHandle(Win(device));
}

// ---- Events and waits ----------------------------------------------------------------------

Handle Win32Synchronization::CreateNamedEvent(const char* name, bool manualReset) {
    return reinterpret_cast<Handle>(CreateEventA(nullptr, manualReset, FALSE, name));
}

SecuredEvent Win32Synchronization::CreateSecuredEvent(const char* name, bool manualReset,
                                                      std::span<const uint8_t> descriptor) {
    SecuredEvent result;
    // CreateEventA reads the descriptor only; the security attributes do not keep it. An event
    // of that name that exists already is opened with EVENT_ALL_ACCESS, which its own DACL must
    // grant (else the call fails), and which includes READ_CONTROL for the owner's query.
    SECURITY_ATTRIBUTES attributes{sizeof attributes, const_cast<uint8_t*>(descriptor.data()),
                                   FALSE};
    const HANDLE event = CreateEventA(&attributes, manualReset, FALSE, name);
    if (!event) return result;
    result.handle = reinterpret_cast<Handle>(event);
    if (GetLastError() != ERROR_ALREADY_EXISTS) return result;
    result.existed = true;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR held = nullptr;
    // The owner points into `held`, which the call allocated with LocalAlloc.
    if (GetSecurityInfo(event, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &held) == ERROR_SUCCESS) {
        if (owner && IsValidSid(owner)) {
            const auto* bytes = static_cast<const uint8_t*>(owner);
            result.owner.assign(bytes, bytes + GetLengthSid(owner));
        }
        LocalFree(held);
    }
    return result;
}

bool Win32Synchronization::SetEvent(Handle event) {
    return ::SetEvent(Win(event)) != FALSE;
}

bool Win32Synchronization::ResetEvent(Handle event) {
    return ::ResetEvent(Win(event)) != FALSE;
}

void Win32Synchronization::CloseHandle(Handle handle) {
    ::CloseHandle(Win(handle));
}

uint32_t Win32Synchronization::WaitAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) {
    HANDLE list[MAXIMUM_WAIT_OBJECTS];
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return WAIT_FAILED;
    for (uint32_t i = 0; i < count; ++i) list[i] = Win(handles[i]);
    return WaitForMultipleObjects(count, list, FALSE, timeoutMs);
}

void Win32Synchronization::Sleep(uint32_t ms) {
    ::Sleep(ms);
}

// ---- Boxes, event log, module, queue, registry ---------------------------------------------

void Win32WarningBoxes::Show(uint32_t stringId) {
    char text[1024];
    const int length = LoadStringA(GetModuleHandleA(nullptr), stringId, text, sizeof text);
    const char* shown = length > 0 ? text : LoadText(stringId);
    constexpr UINT kStyle = MB_OK | MB_ICONEXCLAMATION;
    if (!service_.load()) {
        MessageBoxA(nullptr, shown, "Korrin", kStyle);
        return;
    }
    // A service's own desktop is one that nobody sees, and a box there would die with the
    // process a moment after a warning at stop. The box is handed to the session at the
    // console instead, whose own process shows it; with bWait FALSE the call returns at once
    // (the response is IDASYNC), so no thread here waits for a person. When no session is at
    // the console the call fails and the box is lost; the warnings that matter are in the event
    // log as well.
    char caption[] = "Korrin";
    DWORD response = 0;
    WTSSendMessageA(WTS_CURRENT_SERVER_HANDLE, WTSGetActiveConsoleSessionId(), caption,
                    static_cast<DWORD>(std::strlen(caption)), const_cast<char*>(shown),
                    static_cast<DWORD>(std::strlen(shown)), kStyle, 0, &response, FALSE);
}

Handle Win32EventLog::Open(const char* source) {
    return reinterpret_cast<Handle>(RegisterEventSourceA(nullptr, source));
}

bool Win32EventLog::Report(Handle source, uint16_t type, uint32_t eventId, const char* text) {
    LPCSTR strings[1] = {text};
    return ReportEventA(Win(source), type, 0, eventId, nullptr, 1, 0, strings, nullptr) != FALSE;
}

void Win32EventLog::Close(Handle source) {
    DeregisterEventSource(Win(source));
}

bool Win32ModuleInfo::ModulePath(std::string& path) {
    // Grown until the whole path fits: a path may be longer than MAX_PATH, up to the longest
    // path Windows has (32767 characters and the NUL).
    constexpr DWORD kLongestPath = 32768;
    for (DWORD size = MAX_PATH;; size = std::min(size * 2, kLongestPath)) {
        std::vector<char> buffer(size);
        const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
        if (length == 0) return false;
        if (length < size) {
            path.assign(buffer.data(), length);
            return true;
        }
        if (size == kLongestPath) return false;
    }
}

int Win32MessageQueue::RunUntilQuit() {
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(msg.wParam);
        if (got == -1) return 0;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

Handle Win32Registry::OpenKey(Handle parent, const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyA(Key(parent), path, &key) != ERROR_SUCCESS) return kNoHandle;
    return reinterpret_cast<Handle>(key);
}

Handle Win32Registry::CreateKey(Handle parent, const char* path) {
    HKEY key = nullptr;
    if (RegCreateKeyA(Key(parent), path, &key) != ERROR_SUCCESS) return kNoHandle;
    return reinterpret_cast<Handle>(key);
}

bool Win32Registry::SetString(Handle key, const char* name, const char* value) {
    const DWORD size = static_cast<DWORD>(std::strlen(value) + 1);
    return RegSetValueExA(Key(key), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), size) ==
           ERROR_SUCCESS;
}

bool Win32Registry::DeleteKey(Handle parent, const char* subkey) {
    return RegDeleteKeyA(Key(parent), subkey) == ERROR_SUCCESS;
}

void Win32Registry::CloseKey(Handle key) {
    RegCloseKey(Key(key));
}

// ---- Host ----------------------------------------------------------------------------------

void Win32HostPlatform::SetApplication(CServiceApp* app, Win32WarningBoxes* boxes,
                                       AsyncWarningBoxes* monitorBoxes) {
    g_app = app;
    g_boxes = boxes;
    g_monitorBoxes = monitorBoxes;
}

bool Win32HostPlatform::CreateInstanceMutex(const char* name) {
    // Held, owned, until the process ends: the guard against a second instance.
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    if (mutex == nullptr) return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false;
    }
    return true;
}

bool Win32HostPlatform::RunDispatcher(const char* serviceName) {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(serviceName), ServiceMainEntry},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != FALSE;
}

Handle Win32HostPlatform::RegisterControlHandler(const char* name) {
    return reinterpret_cast<Handle>(RegisterServiceCtrlHandlerA(name, ControlHandlerEntry));
}

bool Win32HostPlatform::SetStatus(Handle statusHandle, const ServiceStatus& s) {
    SERVICE_STATUS status{s.serviceType,
                          s.currentState,
                          s.controlsAccepted,
                          s.win32ExitCode,
                          s.serviceSpecificExitCode,
                          s.checkPoint,
                          s.waitHint};
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &status) !=
           FALSE;
}

// ---- Monitor thread ------------------------------------------------------------------------

Win32WorkerThread::~Win32WorkerThread() {
    if (thread_) ::CloseHandle(thread_);
}

DWORD WINAPI Win32WorkerThread::Entry(void* self) {
    auto* worker = static_cast<Win32WorkerThread*>(self);
    // The thread's message queue exists from here on, so a quit posted at stop is kept.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    const int code = worker->monitor_.Run();
    if (worker->app_) worker->app_->OnWorkEnded();
    return static_cast<DWORD>(code);
}

bool Win32WorkerThread::Create() {
    if (thread_) return false;  // the thread runs once per process
    thread_ = CreateThread(nullptr, 0, Entry, this, CREATE_SUSPENDED, &id_);
    if (!thread_) return false;
    std::lock_guard<std::mutex> hold(lock_);
    suspended_ = true;
    return true;
}

void Win32WorkerThread::Resume() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!thread_ || !suspended_) return;
    ResumeThread(thread_);
    suspended_ = false;
}

void Win32WorkerThread::PostQuit() {
    if (!thread_) return;
    // Until the thread has made its queue the post fails; it is repeated while the thread runs.
    while (!PostThreadMessageA(id_, WM_QUIT, 0, 0))
        if (WaitForSingleObject(thread_, 10) != WAIT_TIMEOUT) return;
}

void Win32WorkerThread::WaitEnded() {
    if (thread_) WaitForSingleObject(thread_, INFINITE);
}

}  // namespace korrin::win32
