// User-mode side of the simulator test driver: installing, starting, stopping and removing a
// kernel driver service through the Service Control Manager, and the requests of
// HALVSIM.sys's control device. Used by the Windows end-to-end test programs.
//
// Every call reports success by its result and keeps the Win32 error beside it; handles are
// released on every path.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>

#include "sim/sim_core.h"

namespace simctl {

// Closes a Win32 handle (or a service handle) when it goes out of scope.
class ScopedHandle {
  public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE h) : h_(h) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : h_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~ScopedHandle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

  private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// The folder of the running program, with a trailing backslash ("Z:\...\e2e\").
std::string ProgramDirectory();

// A kernel driver service: demand start, with an absolute path to its .sys file (Wine does
// not resolve the relative System32\drivers form). Drivers that must share a winedevice
// process (so that a KDPC address handed from one to the other is valid) need the same
// non-empty load-order group; an empty group gives the driver a process of its own.
struct DriverService {
    std::string name;
    std::string sysPath;
    std::string group;
};

// Creates the service, replacing one of the same name left behind by an earlier run, and
// starts it. On failure `error` says which step failed and with which Win32 error.
bool InstallAndStart(const DriverService& service, std::string* error);
// Stops the service (which unloads the driver) and deletes it. Missing is not an error.
bool StopAndDelete(const std::string& name, std::string* error);
// Whether the service is installed and running.
bool IsRunning(const std::string& name);

// Installs and starts a driver service for its lifetime; stops and deletes it at the end.
class LoadedDriver {
  public:
    LoadedDriver() = default;
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;
    ~LoadedDriver() { Unload(nullptr); }

    bool Load(const DriverService& service, std::string* error);
    bool Unload(std::string* error);
    bool loaded() const { return !name_.empty(); }

  private:
    std::string name_;
};

// Requests of the control device \\.\HALVSIMCTL. Each opens no handle of its own beyond the
// one held from Open() to destruction.
class SimControl {
  public:
    // Opens the control device; fails while the driver is not loaded.
    bool Open();
    bool is_open() const { return device_.valid(); }

    // Replaces the driver's population (and so which \\.\ScsiN: names exist).
    bool LoadPopulation(const sim::SimPopulation& population);
    // Reads the driver's population back: counters, BIOS images, queued events.
    bool ReadPopulation(sim::SimPopulation& population);
    // Makes `command` fail on the adapter at `position` (kind 0 clears the fault).
    bool SetFault(int position, uint32_t command, sim::FaultKind kind, int32_t delta = 0);
    // How the adapter at `position` announces its records from now on.
    bool SetSignalling(int position, sim::SignalMode mode);
    // Queues one 40-byte event record on the adapter at `position`.
    bool QueueEvent(int position, const uint8_t* record40);
    // Queues up to 16 records (40 bytes each) on the adapter at `position` at once and, with
    // `signal`, signals it once afterwards; `queued` says how many the full queue took.
    bool QueueEvents(int position, const uint8_t* records, uint32_t count, bool signal,
                     uint32_t& queued);
    // Runs the deferred routine of the KDPC at `dpcAddress` with its first argument pointing
    // at `slot`. The KDPC must belong to a driver of the same winedevice process.
    bool SignalDpc(uint64_t dpcAddress, uint32_t slot);

    // The driver's own probe KDPC: its address and what its deferred routine saw.
    struct ProbeDpc {
        uint64_t address = 0;
        uint32_t calls = 0;
        int32_t lastSlot = -1;
        uint32_t lastArgument2 = 0;
    };
    bool QueryProbeDpc(ProbeDpc& probe);

    // The Win32 error of the last failed call.
    DWORD last_error() const { return lastError_; }

  private:
    bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize);

    ScopedHandle device_;
    DWORD lastError_ = 0;
};

}  // namespace simctl
