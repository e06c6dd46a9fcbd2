// The event monitor: the one thread of Korrin that does the service's work. It finds the
// adapters, loads the bridge driver as a kernel driver service, connects every adapter to a
// named event through the bridge, waits, and writes every adapter event it reads to the event
// log; after ten minutes without events it polls the S.M.A.R.T. state of every device. At its
// end it undoes exactly what it did.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <utility>

#include "channel/device_access.h"
#include "channel/miniport_channel.h"
#include "korrin/platform.h"

namespace korrin {

// Everything the monitor reaches outside its own memory.
struct MonitorPlatform {
    channel::DeviceAccess& adapters;
    ServiceControl& scm;
    BridgeDevice& bridge;
    Synchronization& sync;
    WarningBoxes& boxes;
    EventLog& log;
    ModuleInfo& module;
    MessageQueue& queue;
};

inline constexpr char kBridgeServiceName[] = "KvDpcService";
inline constexpr char kBridgeDisplayName[] = "XAPHLINK";
inline constexpr char kBridgeDriverFile[] = "XAPHLINK.sys";
// The service program's file name carries this name; the driver file lies beside it.
inline constexpr char kProgramNameInPath[] = "Vexmond";
inline constexpr char kTerminateEventName[] = "VEXNOND-TMN";
// The adapter events are shared with kernel mode: the bridge opens them under
// \BaseNamedObjects. User mode reaches that directory by the Global\ prefix from any session
// (a service's own session, a debug run in a user's session, Wine's single session alike).
inline constexpr char kKernelObjectPrefix[] = "Global\\";
inline constexpr uint32_t kWaitTimeoutMs = 600000;
inline constexpr int kMonitoredEntries = 5;
inline constexpr int kServedAdapters = 4;
inline constexpr int kSmartPollPorts = 4;
inline constexpr int kSmartPollDevices = 2;
// An adapter whose read filled the whole reply may have more records than its signal told of:
// a miniport need not signal again while its queue is not empty. It is read again in the next
// rounds without a new signal, at once at most this many times in a row (320 records)...
inline constexpr int kUnsignalledReads = 16;
// ...and after that once per back-off for as long as its replies stay full, so that an adapter
// that claims records forever cannot keep the loop busy, and a real backlog still drains. An
// adapter whose read failed is read again after a back-off too: its records may still wait.
inline constexpr uint32_t kBackoffMs = 1000;

struct MonitoredController {
    char DevicePath[16];
    char16_t EventName[32];
    uint32_t BridgeSlot;
    uint64_t BridgeDpcAddress;
};

class CKorrinThread {
  public:
    explicit CKorrinThread(const MonitorPlatform& platform);

    // The thread's whole life: InitInstance; when it succeeds the wait loop has ended and the
    // message loop runs until the quit message; then ExitInstance. Returns the exit code.
    int Run();

    bool InitInstance();
    // Undoes what the start did; returns the thread's exit code, the quit message's parameter.
    int ExitInstance();

    uint8_t FindControllers();
    bool InstallBridgeService();
    bool StartBridgeService();
    bool ConnectBridge(uint8_t count);
    bool ConnectControllers(uint8_t count);
    bool DisconnectControllers(uint8_t count);
    bool RemoveBridgeService();
    // The number of records in the buffer; 0 also when the request failed, which `failed`
    // then tells (a read that succeeds without records is no failure).
    uint32_t ReadControllerEvents(uint8_t controller, std::span<uint8_t> buffer,
                                  bool* failed = nullptr);
    void PollSmartStatus(uint8_t controller, uint8_t port, uint8_t device);

    // Called on this thread after each step of ExitInstance (adapters disconnected, events
    // closed, driver service removed). Set before the thread starts.
    void OnExitStep(std::function<void()> step) { exitStep_ = std::move(step); }

    // Asks the wait loop to end: works at any moment, also before the terminate event exists
    // or while the thread is busy, because the flag is checked before every wait and the
    // event, once set, stays set until the wait takes it.
    void RequestStop();
    // Pause and continue, from the control handler's thread. The monitor is never suspended
    // wherever it happens to be (it could hold the heap's lock or the RPC runtime's, which the
    // handler's side needs in order to deliver the continue): it finishes the step it is in
    // and waits, before its next wait and after each wait ends, until a continue or a stop.
    // An adapter's signal that comes meanwhile stays set, and is served after the continue.
    void RequestPause();
    void RequestContinue();

    // The driver's path for the program at `programPath`: the first "Vexmond" and everything
    // after it replaced by "XAPHLINK.sys". False when the path has no "Vexmond".
    static bool DriverPathFor(const std::string& programPath, std::string& driverPath);

    uint8_t ControllerCount = 0;
    uint8_t ConnectedCount = 0;
    uint8_t CreatedEventCount = 0;
    MonitoredController Controllers[kMonitoredEntries] = {};
    // Entry 0 the terminate event, entries 1-5 the adapter events of adapters 0-4.
    std::atomic<Handle> MonitorWaitHandles[kMonitoredEntries + 1] = {};

  private:
    // What one read of an adapter gave.
    enum class ReadOutcome { kFailed, kPartial, kFull };
    // What the wait loop knows of an adapter's records.
    struct Backlog {
        bool owed = false;     // the last read filled the reply, or failed: more may wait
        int unsignalled = 0;   // reads in a row without a signal of the adapter's own
        uint64_t retryAt = 0;  // when a backing-off adapter is read again (NowMs)
    };

    // Reads every adapter once, before the first wait: a miniport need not announce records
    // that it queued before the registration (while the service was stopped).
    void ReadAfterConnect();
    void WaitLoop();
    // The loop's wait: until a signal, a stop, the next back-off read or the end of ten quiet
    // minutes, whichever comes first.
    uint32_t WaitTimeout(uint64_t now, uint64_t quietSince) const;
    // One read of adapter `a` and its backlog brought up to date; `signalled`: its own signal
    // asked for it, so that a failed read is a failure to report.
    void Serve(uint8_t a, bool signalled, std::span<uint8_t> buffer);
    // Whether a backing-off or owing adapter is due for a read without a signal.
    bool Due(uint8_t a, uint64_t now) const;
    // The S.M.A.R.T. state of every device of the served adapters; false when a stop cut it
    // short.
    bool PollAllSmartStatus(uint8_t served);
    // Whether the adapter's event is set now; takes nothing from it.
    bool Signalled(uint8_t controller);
    // One read of the adapter and its records logged; a failed read warns when `report`.
    ReadOutcome ServeController(uint8_t controller, std::span<uint8_t> buffer, bool report);
    void LogRecords(uint8_t controller, std::span<uint8_t> buffer, uint32_t count);
    uint8_t Served(uint8_t count) const;
    // Waits while a pause is asked for; false when a stop is asked for.
    bool AwaitContinue();

    MonitorPlatform p_;
    channel::MiniportChannel channel_;
    std::string text_;
    // The quit message's parameter, the thread's exit code; 0 when the loop never ran.
    int quitCode_ = 0;
    std::function<void()> exitStep_;
    std::atomic<bool> stopRequested_{false};
    Backlog backlog_[kServedAdapters];
    // Keeps the terminate event from being closed while a stop request sets it.
    std::mutex terminateLock_;
    // The pause asked for, and the wake of a paused loop by a continue or a stop.
    std::mutex pauseLock_;
    std::condition_variable pauseChanged_;
    bool pauseRequested_ = false;
};

}  // namespace korrin
