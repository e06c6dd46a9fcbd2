// Korrin's platform for fuzzing the event monitor: a Service Control Manager and a bridge that
// always cooperate (the bridge's own dispatch has a target of its own), named events and
// waits whose outcomes come from the fuzzer, and an event log that records every entry
// together with the request whose reply it came from.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "bridge/bridge_public.h"
#include "channel/wire.h"
#include "fuzz_check.h"
#include "fuzzed_devices.h"
#include "korrin/platform.h"

namespace halv_fuzz {

class PlainScm final : public korrin::ServiceControl {
  public:
    korrin::Handle OpenManager(uint32_t) override { return Open(); }
    korrin::Handle OpenServiceEntry(korrin::Handle, const char*, uint32_t) override {
        if (!exists_) {
            error_ = korrin::win::kErrorServiceDoesNotExist;
            return korrin::kNoHandle;
        }
        return Open();
    }
    korrin::Handle CreateServiceEntry(korrin::Handle, const korrin::ServiceConfig&) override {
        exists_ = true;
        return Open();
    }
    bool StartServiceEntry(korrin::Handle) override { return running_ = true; }
    bool QueryState(korrin::Handle, uint32_t& state) override {
        state = running_ ? korrin::win::kServiceRunning : korrin::win::kServiceStopped;
        return true;
    }
    bool ControlServiceEntry(korrin::Handle, uint32_t) override {
        running_ = false;
        return true;
    }
    bool DeleteServiceEntry(korrin::Handle) override {
        exists_ = false;
        return true;
    }
    korrin::Handle LockDatabase(korrin::Handle) override { return 0x77; }
    void UnlockDatabase(korrin::Handle) override {}
    void CloseServiceHandle(korrin::Handle h) override {
        FUZZ_CHECK(open_.erase(h) == 1, "service handle %#zx closed twice", static_cast<size_t>(h));
    }
    uint32_t LastError() override { return error_; }
    size_t OpenHandles() const { return open_.size(); }

  private:
    korrin::Handle Open() {
        open_.insert(++next_);
        return next_;
    }
    std::set<korrin::Handle> open_;
    korrin::Handle next_ = 0x500;
    bool exists_ = false, running_ = false;
    uint32_t error_ = 0;
};

// Gives every name the next slot and a DPC address of its own.
class PlainBridge final : public korrin::BridgeDevice {
  public:
    korrin::Handle Open(const char*) override { return ++opens; }
    bool Control(korrin::Handle, uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t& returned) override {
        uint8_t* out = static_cast<uint8_t*>(output);
        if (code == IOCTL_BRIDGE_REGISTER_EVENT) {
            FUZZ_CHECK(inputSize >= 2 && outputSize >= 4, "register of %u/%u bytes", inputSize,
                       outputSize);
            (void)input;
            wire::ByteView(out, outputSize).Put32(0, slots_ < 4 ? slots_++ : BRIDGE_NO_SLOT);
            returned = 4;
            return true;
        }
        if (code == IOCTL_BRIDGE_QUERY_DPC) {
            FUZZ_CHECK(outputSize >= 8, "DPC query with %u output bytes", outputSize);
            wire::ByteView(out, outputSize).Put64(0, 0xFFFF800000001000ull + 0x40 * slots_);
            returned = 8;
            return true;
        }
        return false;
    }
    void Close(korrin::Handle) override { ++closes; }
    int opens = 0, closes = 0;

  private:
    uint32_t slots_ = 0;
};

// Waits whose result the fuzzer chooses: an adapter's event, the ten-minute time-out, the
// terminate event or a failure; an exhausted input ends the loop.
class FuzzSync final : public korrin::Synchronization {
  public:
    explicit FuzzSync(FuzzedDataProvider& in) : in_(in) {}
    korrin::Handle CreateNamedEvent(const char* name, bool manualReset) override {
        FUZZ_CHECK(name != nullptr, "event without a name");
        (void)manualReset;
        const korrin::Handle h = ++next_;
        open_.insert(h);
        return h;
    }
    // The name may already be taken: by a run of the service before this one (owner SYSTEM)
    // or by anyone else (an owner the fuzzer makes up).
    korrin::SecuredEvent CreateSecuredEvent(const char* name, bool manualReset,
                                            std::span<const uint8_t> descriptor) override {
        FUZZ_CHECK(!descriptor.empty(), "event %s created without a descriptor", name);
        korrin::SecuredEvent result;
        result.handle = CreateNamedEvent(name, manualReset);
        const uint8_t taken = in_.ConsumeIntegral<uint8_t>() % 3;
        if (taken == 1) {
            result.existed = true;
            result.owner = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
        } else if (taken == 2) {
            result.existed = true;
            result.owner = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 28));
        }
        return result;
    }
    bool SetEvent(korrin::Handle h) override { return Known(h); }
    bool ResetEvent(korrin::Handle h) override { return Known(h); }
    void CloseHandle(korrin::Handle h) override {
        FUZZ_CHECK(open_.erase(h) == 1, "event %#zx closed but not open", static_cast<size_t>(h));
    }
    uint32_t WaitAny(const korrin::Handle* handles, uint32_t count, uint32_t timeoutMs) override {
        for (uint32_t i = 0; i < count; ++i) Known(handles[i]);
        ++waits;
        const uint8_t pick = in_.ConsumeIntegral<uint8_t>();
        if (pick == 0) return korrin::win::kWaitObject0;  // terminate
        if (pick == 1) {
            // The whole time-out passes, so that the monitor's clock reaches its sweep.
            now_ += timeoutMs;
            return korrin::win::kWaitTimeout;
        }
        if (pick == 2) return korrin::win::kWaitFailed;
        if (pick == 3) return korrin::win::kWaitAbandoned0 + (pick % count);
        return korrin::win::kWaitObject0 + 1 + pick % (count > 1 ? count - 1 : 1);
    }
    void Sleep(uint32_t ms) override { now_ += ms; }
    uint64_t NowMs() override { return now_; }
    size_t OpenHandles() const { return open_.size(); }
    int waits = 0;

  private:
    bool Known(korrin::Handle h) {
        FUZZ_CHECK(open_.count(h) == 1, "handle %#zx used but not open", static_cast<size_t>(h));
        return true;
    }
    FuzzedDataProvider& in_;
    std::set<korrin::Handle> open_;
    korrin::Handle next_ = 0x900;
    uint64_t now_ = 0;
};

class CountingBoxes final : public korrin::WarningBoxes {
  public:
    void Show(uint32_t id) override { shown.push_back(id); }
    std::vector<uint32_t> shown;
};

// Every entry with the index of the device exchange that was the latest when it was written:
// that is the read whose records it came from.
class RecordingLog final : public korrin::EventLog {
  public:
    struct Entry {
        size_t exchange;
        bool written;  // false: the source did not open
        uint16_t type;
        uint32_t id;
        std::string text;
    };
    RecordingLog(FuzzedDataProvider& in, const FuzzedDevices& io) : in_(in), io_(io) {}
    korrin::Handle Open(const char* source) override {
        FUZZ_CHECK(std::strcmp(source, "Torvale Disk Controller Message Agent") == 0,
                   "source \"%s\"", source);
        FUZZ_CHECK(!open_, "event source opened twice");
        if (in_.ConsumeIntegralInRange<uint8_t>(0, 15) == 15) {
            entries.push_back({io_.exchanges.size() - 1, false, 0, 0, {}});
            return korrin::kNoHandle;
        }
        open_ = true;
        return 0x4242;
    }
    bool Report(korrin::Handle source, uint16_t type, uint32_t id, const char* text) override {
        FUZZ_CHECK(open_ && source == 0x4242, "report without an open source");
        entries.push_back({io_.exchanges.size() - 1, true, type, id, text});
        return true;
    }
    void Close(korrin::Handle) override {
        FUZZ_CHECK(open_, "source closed but not open");
        open_ = false;
    }
    std::vector<Entry> entries;
    bool open_ = false;

  private:
    FuzzedDataProvider& in_;
    const FuzzedDevices& io_;
};

class FixedModule final : public korrin::ModuleInfo {
  public:
    bool ModulePath(std::string& path) override {
        path = "C:\\Program Files\\Torvale\\Vexmond.exe";
        return true;
    }
};

class QuitAtOnce final : public korrin::MessageQueue {
  public:
    int RunUntilQuit() override { return 0; }
};

}  // namespace halv_fuzz
