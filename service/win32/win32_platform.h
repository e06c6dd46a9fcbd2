// Korrin's platform interfaces over the real Win32 API (Windows builds only).
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "korrin/monitor.h"
#include "korrin/platform.h"
#include "korrin/service_host.h"
#include "korrin/warning_boxes.h"

namespace korrin::win32 {

class Win32ServiceControl final : public ServiceControl {
  public:
    Handle OpenManager(uint32_t access) override;
    Handle OpenServiceEntry(Handle manager, const char* name, uint32_t access) override;
    Handle CreateServiceEntry(Handle manager, const ServiceConfig& config) override;
    bool StartServiceEntry(Handle service) override;
    bool QueryState(Handle service, uint32_t& state) override;
    bool ControlServiceEntry(Handle service, uint32_t control) override;
    bool DeleteServiceEntry(Handle service) override;
    Handle LockDatabase(Handle manager) override;
    void UnlockDatabase(Handle lock) override;
    void CloseServiceHandle(Handle handle) override;
    uint32_t LastError() override;
};

class Win32BridgeDevice final : public BridgeDevice {
  public:
    Handle Open(const char* path) override;
    bool Control(Handle device, uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t& returned) override;
    void Close(Handle device) override;
};

class Win32Synchronization final : public Synchronization {
  public:
    Handle CreateNamedEvent(const char* name, bool manualReset) override;
    SecuredEvent CreateSecuredEvent(const char* name, bool manualReset,
                                    std::span<const uint8_t> descriptor) override;
    bool SetEvent(Handle event) override;
    bool ResetEvent(Handle event) override;
    void CloseHandle(Handle handle) override;
    uint32_t WaitAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) override;
    void Sleep(uint32_t ms) override;
};

// Message boxes captioned "Korrin" with the texts of the program's string table. Run by the
// SCM, a service has no desktop of the user's: the boxes are then handed to the session at the
// console, not waited for, so that a person can see and close them.
class Win32WarningBoxes final : public WarningBoxes {
  public:
    void Show(uint32_t stringId) override;
    void SetServiceMode() { service_.store(true); }

  private:
    std::atomic<bool> service_{false};
};

class Win32EventLog final : public EventLog {
  public:
    Handle Open(const char* source) override;
    bool Report(Handle source, uint16_t type, uint32_t eventId, const char* text) override;
    void Close(Handle source) override;
};

class Win32ModuleInfo final : public ModuleInfo {
  public:
    bool ModulePath(std::string& path) override;
};

class Win32MessageQueue final : public MessageQueue {
  public:
    int RunUntilQuit() override;
};

class Win32Registry final : public Registry {
  public:
    Handle OpenKey(Handle parent, const char* path) override;
    Handle CreateKey(Handle parent, const char* path) override;
    bool SetString(Handle key, const char* name, const char* value) override;
    bool DeleteKey(Handle parent, const char* subkey) override;
    void CloseKey(Handle key) override;
};

// The dispatcher, the control handler and the status. The entry points reach the one
// application object through SetApplication.
class Win32HostPlatform final : public HostPlatform {
  public:
    // `monitorBoxes` hand their boxes over once the program runs as a service.
    static void SetApplication(CServiceApp* app, Win32WarningBoxes* boxes,
                               AsyncWarningBoxes* monitorBoxes);
    bool CreateInstanceMutex(const char* name) override;
    bool RunDispatcher(const char* serviceName) override;
    Handle RegisterControlHandler(const char* name) override;
    bool SetStatus(Handle statusHandle, const ServiceStatus& status) override;
};

// The monitor thread: a plain thread with its own message queue that runs the monitor, then
// tells the application that its work has ended.
class Win32WorkerThread final : public WorkerThread {
  public:
    Win32WorkerThread(CKorrinThread& monitor, CServiceApp*& app) : monitor_(monitor), app_(app) {}
    ~Win32WorkerThread() override;
    bool Create() override;
    void Resume() override;
    void PostQuit() override;
    void WaitEnded() override;

  private:
    static DWORD WINAPI Entry(void* self);

    CKorrinThread& monitor_;
    CServiceApp*& app_;
    HANDLE thread_ = nullptr;
    DWORD id_ = 0;
    // Created suspended; the first Resume starts it, and a later one does nothing.
    std::mutex lock_;
    bool suspended_ = false;
};

}  // namespace korrin::win32
