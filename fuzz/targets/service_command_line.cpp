// The service's command line: any list of arguments, each any bytes. The pure parsers agree
// with a reference reading of the switch table, and the program start does exactly what the
// first recognised switch says: the usage box and nothing else, a second instance nothing at
// all, install, remove, debug mode or Windows 98 mode, or nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzzed_devices.h"
#include "korrin/messages.h"
#include "korrin/monitor.h"
#include "korrin/service_host.h"
#include "korrin_fakes.h"

namespace {

using korrin::Handle;
using korrin::Switch;

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// One argument as the table reads it: one leading "-" or "/" off, compared without case.
std::string Name(const std::string& argument, bool& prefixed) {
    prefixed = !argument.empty() && (argument[0] == '-' || argument[0] == '/');
    return Lower(prefixed ? argument.substr(1) : argument);
}

class Host final : public korrin::HostPlatform {
  public:
    bool CreateInstanceMutex(const char* name) override {
        FUZZ_CHECK(std::string(name) == "Global\\Vexmond-Mutex", "mutex \"%s\"", name);
        ++mutexes;
        return !secondInstance;
    }
    bool RunDispatcher(const char*) override {
        ++dispatchers;
        return false;
    }
    Handle RegisterControlHandler(const char*) override { return 0; }
    bool SetStatus(Handle, const korrin::ServiceStatus&) override { return true; }
    bool secondInstance = false;
    int mutexes = 0, dispatchers = 0;
};

// Records what the start asked of the SCM: creations and deletions are what install and
// remove do.
class Scm final : public korrin::ServiceControl {
  public:
    Handle OpenManager(uint32_t) override { return ++next; }
    Handle OpenServiceEntry(Handle, const char*, uint32_t) override { return ++next; }
    Handle CreateServiceEntry(Handle, const korrin::ServiceConfig& c) override {
        FUZZ_CHECK(std::string(c.name) == "Vexmond", "created \"%s\"", c.name);
        ++creates;
        return ++next;
    }
    bool StartServiceEntry(Handle) override { return true; }
    bool QueryState(Handle, uint32_t& s) override {
        s = korrin::win::kServiceStopped;
        return true;
    }
    bool ControlServiceEntry(Handle, uint32_t) override { return true; }
    bool DeleteServiceEntry(Handle) override {
        ++deletes;
        return true;
    }
    Handle LockDatabase(Handle) override { return 1; }
    void UnlockDatabase(Handle) override {}
    void CloseServiceHandle(Handle) override {}
    uint32_t LastError() override { return 0; }
    Handle next = 0x10;
    int creates = 0, deletes = 0;
};

class Registry final : public korrin::Registry {
  public:
    Handle OpenKey(Handle, const char*) override { return 1; }
    Handle CreateKey(Handle, const char*) override { return 1; }
    bool SetString(Handle, const char*, const char*) override { return true; }
    bool DeleteKey(Handle, const char*) override { return true; }
    void CloseKey(Handle) override {}
};

class Worker final : public korrin::WorkerThread {
  public:
    bool Create() override {
        ++creates;
        return true;
    }
    void Resume() override {}
    void PostQuit() override {}
    void WaitEnded() override { ++waits; }
    int creates = 0, waits = 0;
};

class NoAdapters final : public channel::DeviceAccess {
  public:
    channel::DeviceHandle Open(const char*) override { return channel::kInvalidDevice; }
    bool MiniportControl(channel::DeviceHandle, std::span<uint8_t>) override { return false; }
    void Close(channel::DeviceHandle) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool secondInstance = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    std::vector<std::string> arguments;
    while (in.remaining_bytes() > 0 && arguments.size() < 12) {
        // Often one of the switches in some spelling, so that each is reached.
        static const char* const kWords[] = {"?",          "help",      "SvcDeb", "win98",
                                             "SvcInstall", "SvcRemove", "s"};
        std::string a;
        if (in.ConsumeBool()) {
            const int prefix = in.ConsumeIntegralInRange<int>(0, 3);
            if (prefix == 1) a = "-";
            if (prefix == 2) a = "/";
            if (prefix == 3) a = "--";
            std::string word = kWords[in.ConsumeIntegralInRange<int>(0, 6)];
            for (char& c : word)
                if (in.ConsumeBool() && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            a += word;
        } else {
            a = in.ConsumeRandomLengthString(24);
        }
        arguments.push_back(a);
    }

    // The reference reading.
    bool usage = false;
    for (const std::string& a : arguments) {
        bool prefixed;
        const std::string n = Name(a, prefixed);
        usage = usage || n == "?" || n == "help";
    }
    Switch chosen = Switch::None;
    size_t chosenAt = arguments.size();
    for (size_t i = 0; i < arguments.size() && chosen == Switch::None; ++i) {
        bool prefixed;
        const std::string n = Name(arguments[i], prefixed);
        if (!prefixed) continue;
        if (n == "svcdeb") chosen = Switch::Debug;
        if (n == "win98") chosen = Switch::Win98;
        if (n == "svcinstall") chosen = Switch::Install;
        if (n == "svcremove") chosen = Switch::Remove;
        if (chosen != Switch::None) chosenAt = i;
    }
    FUZZ_CHECK(korrin::IsUsageRequest(arguments) == usage, "usage %d", usage);
    size_t at = 99;
    const Switch got = korrin::ChooseSwitch(arguments, at);
    FUZZ_CHECK(got == chosen, "switch %d, expected %d", int(got), int(chosen));
    if (chosen != Switch::None)
        FUZZ_CHECK(at == chosenAt, "switch at %zu, expected %zu", at, chosenAt);

    // The program start with these arguments.
    Host host;
    host.secondInstance = secondInstance;
    Scm scm;
    Registry registry;
    halv_fuzz::FixedModule module;
    halv_fuzz::CountingBoxes boxes;
    FuzzedDataProvider none(nullptr, 0);
    halv_fuzz::FuzzSync sync(none);
    NoAdapters adapters;
    halv_fuzz::PlainScm monitorScm;
    halv_fuzz::PlainBridge bridge;
    halv_fuzz::FuzzedDevices unusedDevices(none);
    halv_fuzz::RecordingLog log(none, unusedDevices);
    halv_fuzz::QuitAtOnce queue;
    korrin::MonitorPlatform monitorPlatform{adapters, monitorScm, bridge, sync,
                                            boxes,    log,        module, queue};
    korrin::CKorrinThread monitor(monitorPlatform);
    Worker worker;
    korrin::HostServices services{host, scm, registry, module, boxes, sync};
    korrin::CKorrinApp app(services, monitor, worker);
    const bool keepsRunning = app.InitInstance(arguments);

    if (usage) {
        FUZZ_CHECK(!keepsRunning && boxes.shown.size() == 1 &&
                       boxes.shown[0] == korrin::IDS_USAGE && host.mutexes == 0 &&
                       scm.creates == 0 && scm.deletes == 0 && worker.creates == 0,
                   "a usage request did more than show the usage");
        return 0;
    }
    FUZZ_CHECK(host.mutexes == 1, "%d mutexes", host.mutexes);
    if (secondInstance) {
        FUZZ_CHECK(!keepsRunning && boxes.shown.empty() && scm.creates == 0 && scm.deletes == 0 &&
                       worker.creates == 0 && host.dispatchers == 0,
                   "a second instance did something");
        return 0;
    }
    if (arguments.empty()) {
        FUZZ_CHECK(keepsRunning && host.dispatchers == 1, "no dispatcher without arguments");
        return 0;
    }
    FUZZ_CHECK(!keepsRunning && host.dispatchers == 0, "the dispatcher ran with arguments");
    const bool installs = chosen == Switch::Install || chosen == Switch::Win98;
    const bool inProcess = chosen == Switch::Debug || chosen == Switch::Win98;
    FUZZ_CHECK(scm.creates == (installs ? 1 : 0), "%d services created for switch %d", scm.creates,
               int(chosen));
    FUZZ_CHECK((scm.deletes > 0) == (installs || chosen == Switch::Remove),
               "%d deletions for switch %d", scm.deletes, int(chosen));
    FUZZ_CHECK(worker.creates == (inProcess ? 1 : 0), "monitor started %d times for switch %d",
               worker.creates, int(chosen));
    FUZZ_CHECK(app.m_nRunMode == (chosen == Switch::Debug   ? 2
                                  : chosen == Switch::Win98 ? 1
                                                            : 0),
               "run mode %d", app.m_nRunMode);
    FUZZ_CHECK(worker.waits == (inProcess ? 1 : 0), "waited %d times for the monitor",
               worker.waits);
    return 0;
}
