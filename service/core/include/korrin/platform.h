// The platform boundary of Korrin: every operating-system call the service makes goes through
// one of these small interfaces. The Win32 layer (service/win32/) implements them with the real
// API; native tests put recording fakes in their place. Nothing here needs windows.h.
#pragma once

#include <stdint.h>

#include <chrono>
#include <span>
#include <string>
#include <vector>

namespace korrin {

// An opaque handle of the platform (a HANDLE, SC_HANDLE, HKEY, SC_LOCK, ...). Zero is "none".
using Handle = uintptr_t;
inline constexpr Handle kNoHandle = 0;

// Win32 values the service's logic decides on; pinned here so the core needs no windows.h.
namespace win {
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceNotActive = 1062;

inline constexpr uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr uint32_t kGenericReadWrite = 0xC0000000;  // GENERIC_READ | GENERIC_WRITE
inline constexpr uint32_t kServiceAllAccess = 0xF01FF;
inline constexpr uint32_t kDeleteAccess = 0x10000;

inline constexpr uint32_t kServiceKernelDriver = 0x1;
inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr uint32_t kServiceWin32 = 0x30;  // own process | share process
inline constexpr uint32_t kServiceAutoStart = 2;
inline constexpr uint32_t kServiceDemandStart = 3;
inline constexpr uint32_t kServiceErrorIgnore = 0;
inline constexpr uint32_t kServiceErrorNormal = 1;

inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;
inline constexpr uint32_t kServicePaused = 7;

inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlPause = 2;
inline constexpr uint32_t kServiceControlContinue = 3;
inline constexpr uint32_t kServiceControlInterrogate = 4;
inline constexpr uint32_t kServiceAcceptStopPauseContinue = 3;

inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitAbandoned0 = 0x80;
inline constexpr uint32_t kWaitTimeout = 0x102;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

inline constexpr uint16_t kEventlogErrorType = 1;
inline constexpr uint16_t kEventlogWarningType = 2;
inline constexpr uint16_t kEventlogInformationType = 4;
}  // namespace win

// What CreateServiceA is given.
struct ServiceConfig {
    const char* name;
    const char* displayName;
    uint32_t access;
    uint32_t type;
    uint32_t startType;
    uint32_t errorControl;
    const char* binaryPath;
    const char* loadOrderGroup;  // null: none
    const char* dependencies;    // null, or a list of NUL-terminated names ending in an empty one
};

// The Service Control Manager. Each failing call leaves its error for LastError().
class ServiceControl {
  public:
    virtual ~ServiceControl() = default;
    virtual Handle OpenManager(uint32_t access) = 0;
    virtual Handle OpenServiceEntry(Handle manager, const char* name, uint32_t access) = 0;
    virtual Handle CreateServiceEntry(Handle manager, const ServiceConfig& config) = 0;
    virtual bool StartServiceEntry(Handle service) = 0;
    virtual bool QueryState(Handle service, uint32_t& state) = 0;
    virtual bool ControlServiceEntry(Handle service, uint32_t control) = 0;
    virtual bool DeleteServiceEntry(Handle service) = 0;
    virtual Handle LockDatabase(Handle manager) = 0;
    virtual void UnlockDatabase(Handle lock) = 0;
    virtual void CloseServiceHandle(Handle handle) = 0;
    virtual uint32_t LastError() = 0;
};

// The bridge driver's device (CreateFileA / DeviceIoControl / CloseHandle).
class BridgeDevice {
  public:
    virtual ~BridgeDevice() = default;
    // Opened for reading and writing, not shared; kNoHandle when it cannot be opened.
    virtual Handle Open(const char* path) = 0;
    virtual bool Control(Handle device, uint32_t code, const void* input, uint32_t inputSize,
                         void* output, uint32_t outputSize, uint32_t& returned) = 0;
    virtual void Close(Handle device) = 0;
};

// What CreateSecuredEvent gives.
struct SecuredEvent {
    Handle handle = kNoHandle;  // kNoHandle: neither created nor opened
    bool existed = false;       // the name was taken: the event opened is not a new one
    // The SID of the owner of an event that existed, in its binary form; empty when it could
    // not be read.
    std::vector<uint8_t> owner;
};

// Named events and waits.
class Synchronization {
  public:
    virtual ~Synchronization() = default;
    // Creates (or opens) a named event, initially not set; kNoHandle on failure.
    virtual Handle CreateNamedEvent(const char* name, bool manualReset) = 0;
    // Creates a named event, initially not set, with the self-relative security descriptor
    // `descriptor`; an event of that name that exists already is opened instead, its own
    // descriptor unchanged, and its owner read.
    virtual SecuredEvent CreateSecuredEvent(const char* name, bool manualReset,
                                            std::span<const uint8_t> descriptor) = 0;
    virtual bool SetEvent(Handle event) = 0;
    virtual bool ResetEvent(Handle event) = 0;
    virtual void CloseHandle(Handle handle) = 0;
    // WaitForMultipleObjects(count, handles, any, timeout): win::kWaitObject0 + i,
    // win::kWaitTimeout, win::kWaitAbandoned0 + i or win::kWaitFailed.
    virtual uint32_t WaitAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Milliseconds on a clock that only moves forward and goes on while the service is
    // paused; the monitor measures its back-off and its quiet minutes on it.
    virtual uint64_t NowMs() {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
};

// The modal warning boxes captioned "Korrin", by string identifier; returns once closed.
class WarningBoxes {
  public:
    virtual ~WarningBoxes() = default;
    virtual void Show(uint32_t stringId) = 0;
};

// The event log (RegisterEventSourceA / ReportEventA / DeregisterEventSource).
class EventLog {
  public:
    virtual ~EventLog() = default;
    virtual Handle Open(const char* source) = 0;
    virtual bool Report(Handle source, uint16_t type, uint32_t eventId, const char* text) = 0;
    virtual void Close(Handle source) = 0;
};

// The running program's own file.
class ModuleInfo {
  public:
    virtual ~ModuleInfo() = default;
    // The program's full path, whatever its length; false when it cannot be had.
    virtual bool ModulePath(std::string& path) = 0;
};

// The monitor thread's own message queue.
class MessageQueue {
  public:
    virtual ~MessageQueue() = default;
    // Runs the thread's message loop until the quit message arrives; returns its parameter.
    virtual int RunUntilQuit() = 0;
};

// The registry (HKEY_LOCAL_MACHINE only).
class Registry {
  public:
    virtual ~Registry() = default;
    // Opens `path` under `parent` (kNoHandle: HKEY_LOCAL_MACHINE); kNoHandle on failure.
    virtual Handle OpenKey(Handle parent, const char* path) = 0;
    virtual Handle CreateKey(Handle parent, const char* path) = 0;
    // A REG_SZ value, its length counting the terminating NUL.
    virtual bool SetString(Handle key, const char* name, const char* value) = 0;
    virtual bool DeleteKey(Handle parent, const char* subkey) = 0;
    virtual void CloseKey(Handle key) = 0;
};

}  // namespace korrin
