// Recording fakes of Korrin's platform interfaces for the native tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/bridge_public.h"
#include "korrin/platform.h"
#include "korrin/service_host.h"

namespace korrin::test {

// The Service Control Manager: a table of services by name, every call written to `calls`.
class FakeScm final : public ServiceControl {
  public:
    struct Service {
        ServiceConfig config{};
        std::string binaryPath, dependencies, group;
        uint32_t state = win::kServiceStopped;
        bool startFails = false;  // start fails with an error other than "already running"
        bool stopFails = false;   // ControlServiceEntry(stop) fails while it runs
        bool neverStops = false;  // accepts the stop, but stays in its state
        bool neverRuns = false;   // accepts the start, but stays start-pending
        bool deleteFails = false;
    };
    std::map<std::string, Service> services;
    std::vector<std::string> calls;
    std::vector<std::string>* trace = nullptr;  // shared with other fakes, for ordering
    bool managerFails = false;
    bool createFails = false;
    bool startsFail = false;  // every start fails, as for a driver whose file is missing
    uint32_t openError = 0;   // non-zero: OpenService fails with this error
    int openHandles = 0;
    int locks = 0;

    Handle OpenManager(uint32_t access) override {
        Record("OpenManager " + Hex(access));
        if (managerFails) return Fail(5);
        return NewHandle("");
    }
    Handle OpenServiceEntry(Handle, const char* name, uint32_t access) override {
        Record(std::string("OpenService ") + name + " " + Hex(access));
        if (openError) return Fail(openError);
        if (!services.count(name)) return Fail(win::kErrorServiceDoesNotExist);
        return NewHandle(name);
    }
    Handle CreateServiceEntry(Handle, const ServiceConfig& c) override {
        Record(std::string("CreateService ") + c.name + " " + c.binaryPath);
        if (createFails || services.count(c.name)) return Fail(1073);
        Service s;
        s.config = c;
        s.binaryPath = c.binaryPath;
        if (c.loadOrderGroup) s.group = c.loadOrderGroup;
        if (c.dependencies)
            for (const char* d = c.dependencies; *d; d += std::strlen(d) + 1)
                s.dependencies += std::string(d) + "|";
        s.config.name = s.config.displayName = s.config.binaryPath = nullptr;
        s.config.dependencies = s.config.loadOrderGroup = nullptr;
        displayNames[c.name] = c.displayName;
        services[c.name] = s;
        return NewHandle(c.name);
    }
    bool StartServiceEntry(Handle h) override {
        const std::string& name = handles_.at(h);
        Record("StartService " + name);
        Service& s = services.at(name);
        if (s.state == win::kServiceRunning) return Fail(win::kErrorServiceAlreadyRunning) != 0;
        if (s.startFails || startsFail) return Fail(2) != 0;
        s.state = s.neverRuns ? win::kServiceStartPending : win::kServiceRunning;
        return true;
    }
    bool QueryState(Handle h, uint32_t& state) override {
        const std::string& name = handles_.at(h);
        Record("QueryState " + name);
        if (!services.count(name)) return Fail(win::kErrorServiceDoesNotExist) != 0;
        state = services.at(name).state;
        return true;
    }
    bool ControlServiceEntry(Handle h, uint32_t control) override {
        const std::string& name = handles_.at(h);
        Record("ControlService " + name + " " + std::to_string(control));
        Service& s = services.at(name);
        // A stopped service is not active (1062); a refused stop cannot take the control (1061).
        if (s.state == win::kServiceStopped) return Fail(win::kErrorServiceNotActive) != 0;
        if (s.stopFails) return Fail(1061) != 0;
        if (!s.neverStops) s.state = win::kServiceStopped;
        return true;
    }
    bool DeleteServiceEntry(Handle h) override {
        const std::string& name = handles_.at(h);
        Record("DeleteService " + name);
        if (!services.count(name) || services.at(name).deleteFails) return Fail(1072) != 0;
        services.erase(name);
        return true;
    }
    Handle LockDatabase(Handle) override {
        Record("Lock");
        ++locks;
        return 0x7000 + locks;
    }
    void UnlockDatabase(Handle) override {
        Record("Unlock");
        --locks;
    }
    void CloseServiceHandle(Handle h) override {
        if (!handles_.erase(h)) Record("CloseServiceHandle of an unknown handle");
        --openHandles;
    }
    uint32_t LastError() override { return lastError_; }

    std::map<std::string, std::string> displayNames;

    int Count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& c : calls) n += c.rfind(prefix, 0) == 0;
        return n;
    }

  private:
    void Record(const std::string& call) {
        calls.push_back(call);
        if (trace) trace->push_back(call);
    }
    static std::string Hex(uint32_t v) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%X", v);
        return b;
    }
    Handle Fail(uint32_t error) {
        lastError_ = error;
        return kNoHandle;
    }
    Handle NewHandle(const std::string& name) {
        ++openHandles;
        handles_[next_] = name;
        return next_++;
    }
    std::map<Handle, std::string> handles_;
    Handle next_ = 0x100;
    uint32_t lastError_ = 0;
};

// The bridge: four slots, names registered in order, a fixed DPC address per slot.
class FakeBridge final : public BridgeDevice {
  public:
    static constexpr uint64_t kDpcBase = 0xFFFF800012340000ull;
    bool openFails = false;
    int registerFailsAt = -1;  // this register call (0-based) fails
    bool queryFails = false;
    bool noSlots = false;
    std::vector<std::u16string> names;
    int opens = 0, closes = 0;
    std::vector<uint32_t> inputSizes;

    Handle Open(const char* path) override {
        lastPath = path;
        if (openFails) return kNoHandle;
        ++opens;
        return 0xB00;
    }
    bool Control(Handle, uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t& returned) override {
        inputSizes.push_back(inputSize);
        const uint8_t* in = static_cast<const uint8_t*>(input);
        uint8_t* out = static_cast<uint8_t*>(output);
        if (code == IOCTL_BRIDGE_REGISTER_EVENT) {
            if (registerFailsAt == static_cast<int>(registers_++)) return false;
            std::u16string name;
            for (uint32_t i = 0; i + 1 < inputSize && (in[i] | in[i + 1]); i += 2)
                name += static_cast<char16_t>(in[i] | (in[i + 1] << 8));
            uint32_t slot = BRIDGE_NO_SLOT;
            if (!noSlots) {
                for (uint32_t s = 0; s < names.size(); ++s)
                    if (names[s] == name) slot = s;
                if (slot == BRIDGE_NO_SLOT && names.size() < BRIDGE_SLOT_COUNT) {
                    slot = static_cast<uint32_t>(names.size());
                    names.push_back(name);
                }
            }
            if (outputSize < 4) return false;
            for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(slot >> (8 * i));
            returned = 4;
            return true;
        }
        if (code == IOCTL_BRIDGE_QUERY_DPC) {
            if (queryFails || outputSize < 8 || inputSize != 8) return false;
            uint64_t index = 0;
            for (int i = 7; i >= 0; --i) index = (index << 8) | in[i];
            if (index >= BRIDGE_SLOT_COUNT) return false;
            const uint64_t address = kDpcBase + index * 64;
            for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(address >> (8 * i));
            returned = 8;
            return true;
        }
        return false;
    }
    void Close(Handle) override { ++closes; }
    std::string lastPath;

  private:
    uint32_t registers_ = 0;
};

// Named events; every wait is answered by `onWait` (by default: the terminate event).
class FakeSync final : public Synchronization {
  public:
    struct Event {
        std::string name;
        bool manualReset;
        bool set = false;
        bool closed = false;
        int resets = 0;
    };
    std::map<Handle, Event> events;
    std::vector<std::string> createFails;  // names whose creation fails
    std::vector<uint32_t> sleeps;
    std::vector<std::vector<Handle>> waits;  // handles of every wait
    std::vector<uint32_t> waitTimeouts;
    int probes = 0;                            // looks at one event without waiting
    std::function<uint32_t(int call)> onWait;  // result of wait number `call`
    std::vector<std::string> log;              // "reset NAME" / "close NAME" in order
    std::vector<std::string>* trace = nullptr;
    void Record(const std::string& entry) {
        log.push_back(entry);
        if (trace) trace->push_back(entry);
    }

    Handle CreateNamedEvent(const char* name, bool manualReset) override {
        for (const std::string& f : createFails)
            if (f == name) return kNoHandle;
        events[next_] = Event{name, manualReset};
        return next_++;
    }
    // Names that exist already, made by someone else, with their owner's SID.
    std::map<std::string, std::vector<uint8_t>> existing;
    std::vector<std::vector<uint8_t>> descriptors;  // of every secured create
    SecuredEvent CreateSecuredEvent(const char* name, bool manualReset,
                                    std::span<const uint8_t> descriptor) override {
        descriptors.emplace_back(descriptor.begin(), descriptor.end());
        SecuredEvent result;
        result.handle = CreateNamedEvent(name, manualReset);
        const auto found = existing.find(name);
        if (result.handle != kNoHandle && found != existing.end()) {
            result.existed = true;
            result.owner = found->second;
        }
        return result;
    }
    bool SetEvent(Handle h) override {
        if (!events.count(h) || events[h].closed) return false;
        events[h].set = true;
        return true;
    }
    bool ResetEvent(Handle h) override {
        if (!events.count(h) || events[h].closed) return false;
        events[h].set = false;
        ++events[h].resets;
        Record("reset " + events[h].name);
        return true;
    }
    void CloseHandle(Handle h) override {
        if (!events.count(h) || events[h].closed) {
            Record("close of a bad handle");
            return;
        }
        events[h].closed = true;
        Record("close " + events[h].name);
    }
    uint32_t WaitAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) override {
        // A look at one event without waiting is answered from its state and takes nothing
        // from it (the monitor's events are manual-reset).
        if (count == 1 && timeoutMs == 0) {
            ++probes;
            const auto it = events.find(handles[0]);
            if (it == events.end() || it->second.closed) return win::kWaitFailed;
            return it->second.set ? win::kWaitObject0 : win::kWaitTimeout;
        }
        waits.emplace_back(handles, handles + count);
        waitTimeouts.push_back(timeoutMs);
        const int call = static_cast<int>(waits.size()) - 1;
        const uint32_t result = onWait ? onWait(call) : win::kWaitObject0;
        // A wait that timed out took its whole time.
        if (result == win::kWaitTimeout) now += timeoutMs;
        return result;
    }
    void Sleep(uint32_t ms) override {
        sleeps.push_back(ms);
        now += ms;
    }
    // The clock: moved only by time-outs and sleeps (and by tests).
    uint64_t now = 1000000;
    uint64_t NowMs() override { return now; }

    Handle Find(const std::string& name) const {
        for (const auto& [h, e] : events)
            if (e.name == name) return h;
        return kNoHandle;
    }
    int OpenCount() const {
        int n = 0;
        for (const auto& [h, e] : events) n += !e.closed;
        return n;
    }

  private:
    Handle next_ = 0xE00;
};

// Boxes that stay open, as a person leaves them, until CloseAll (or, so that a test of a fault
// fails instead of hanging, until `limit` has passed: `timedOut` tells).
class BlockingBoxes final : public WarningBoxes {
  public:
    std::chrono::milliseconds limit{3000};
    ~BlockingBoxes() override {
        std::unique_lock<std::mutex> hold(lock_);
        ++generation_;
        changed_.notify_all();
        changed_.wait(hold, [&] { return open_ == 0; });
    }
    void Show(uint32_t id) override {
        std::unique_lock<std::mutex> hold(lock_);
        shown_.push_back(id);
        ++open_;
        changed_.notify_all();
        const uint64_t mine = generation_;
        if (!changed_.wait_for(hold, limit, [&] { return generation_ != mine; })) timedOut = true;
        --open_;
        changed_.notify_all();
    }
    void CloseAll() {
        std::lock_guard<std::mutex> hold(lock_);
        ++generation_;
        changed_.notify_all();
    }
    int Open() {
        std::lock_guard<std::mutex> hold(lock_);
        return open_;
    }
    std::vector<uint32_t> Shown() {
        std::lock_guard<std::mutex> hold(lock_);
        return shown_;
    }
    // Waits until `count` boxes are open at once.
    bool AwaitOpen(int count) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(5), [&] { return open_ >= count; });
    }
    std::atomic<bool> timedOut{false};

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<uint32_t> shown_;
    int open_ = 0;
    uint64_t generation_ = 0;
};

class FakeBoxes final : public WarningBoxes {
  public:
    std::vector<uint32_t> shown;
    std::function<void(uint32_t)> onShow;
    void Show(uint32_t id) override {
        shown.push_back(id);
        if (onShow) onShow(id);
    }
};

class FakeLog final : public EventLog {
  public:
    struct Entry {
        uint16_t type;
        uint32_t id;
        std::string text;
    };
    std::vector<Entry> entries;
    int openFailures = 0;  // this many opens fail, then they work again
    int opens = 0, closes = 0;
    std::string source;
    Handle Open(const char* name) override {
        source = name;
        if (openFailures > 0) {
            --openFailures;
            return kNoHandle;
        }
        ++opens;
        return 0xCAFE;
    }
    bool Report(Handle, uint16_t type, uint32_t id, const char* text) override {
        entries.push_back({type, id, text});
        return true;
    }
    void Close(Handle) override { ++closes; }
};

class FakeModule final : public ModuleInfo {
  public:
    std::string path = "C:\\Program Files\\Torvale\\Vexmond.exe";
    bool fails = false;
    bool ModulePath(std::string& out) override {
        if (fails) return false;
        out = path;
        return true;
    }
};

class FakeQueue final : public MessageQueue {
  public:
    int loops = 0;
    int quitCode = 0;  // the quit message's parameter
    int RunUntilQuit() override {
        ++loops;
        return quitCode;
    }
};

class FakeRegistry final : public Registry {
  public:
    // Keys by full path ("SOFTWARE\...\Service\Vexmond"), values by name.
    std::map<std::string, std::map<std::string, std::string>> keys;
    std::vector<std::string> calls;
    bool createFails = false;
    int open = 0;

    Handle OpenKey(Handle parent, const char* path) override {
        const std::string full = Join(parent, path);
        calls.push_back("Open " + full);
        if (!keys.count(full)) return kNoHandle;
        return NewHandle(full);
    }
    Handle CreateKey(Handle parent, const char* path) override {
        const std::string full = Join(parent, path);
        calls.push_back("Create " + full);
        if (createFails) return kNoHandle;
        keys[full];
        return NewHandle(full);
    }
    bool SetString(Handle key, const char* name, const char* value) override {
        keys[paths_.at(key)][name] = value;
        return true;
    }
    bool DeleteKey(Handle parent, const char* subkey) override {
        const std::string full = Join(parent, subkey);
        calls.push_back("Delete " + full);
        return keys.erase(full) != 0;
    }
    void CloseKey(Handle key) override {
        paths_.erase(key);
        --open;
    }

  private:
    std::string Join(Handle parent, const char* path) const {
        return parent == kNoHandle ? std::string(path) : paths_.at(parent) + "\\" + path;
    }
    Handle NewHandle(const std::string& path) {
        ++open;
        paths_[next_] = path;
        return next_++;
    }
    std::map<Handle, std::string> paths_;
    Handle next_ = 0x500;
};

}  // namespace korrin::test
