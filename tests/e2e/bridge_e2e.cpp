// End-to-end test of the bridge driver XAPHLINK.sys, run under Wine (or on Windows): installs
// the driver as a demand-start kernel driver service, starts it, drives every control code
// through DeviceIoControl with the outputs poisoned before each call, registers events that
// exist beforehand (as the service creates them), signals, stops the service and checks that
// the device is gone. Two further loads check who may reach the device and its events, and
// registrations from many threads at once.
//
// Wine does not enforce everything the bridge asks of the kernel (the device's DACL on opens,
// the requester's token in the bridge's access checks, the type of an event whose handle may
// not query it). Where it does not, the check is reported as a note under Wine and counted as
// a failure everywhere else.
//
// Usage: bridge_e2e [XAPHLINK.sys [HALVSIM.sys]]   (default: beside this program; a Unix path
// is taken as Wine's Z: drive). The simulator driver stands in for the miniport and runs the
// DPC whose address the bridge gave. Exit code: the number of failed checks.
#include <windows.h>
// After windows.h:
#include <sddl.h>
#include <winioctl.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge_public.h"

#if BRIDGE_E2E_SIMULATOR
#include "simctl_client.h"
#include "simctl_public.h"
#endif

namespace {

// ---- checks in the style of Wine's driver tests: every failure prints the actual value ----

int g_failures = 0;
int g_successes = 0;
int g_skips = 0;

void Check(bool condition, int line, const char* format, ...) {
    if (condition) {
        ++g_successes;
        return;
    }
    ++g_failures;
    std::printf("bridge_e2e.cpp:%d: Test failed: ", line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

void Note(const char* format, ...) {
    std::printf("bridge_e2e: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

#define ok(condition, ...) Check((condition), __LINE__, __VA_ARGS__)

bool RunningUnderWine();

// A check of something that Wine does not enforce: a failure under Wine is a note, with
// `wine_gap` saying what Wine leaves out; elsewhere it is a failure like any other.
int g_wine_gaps = 0;
void CheckOrWineGap(bool condition, int line, const char* wine_gap, const char* format, ...) {
    if (condition || !RunningUnderWine()) {
        va_list args;
        va_start(args, format);
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        Check(condition, line, "%s", text);
        return;
    }
    ++g_wine_gaps;
    std::printf("bridge_e2e.cpp:%d: not enforced by Wine (%s): ", line, wine_gap);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

#define ok_or_wine_gap(condition, gap, ...) CheckOrWineGap((condition), __LINE__, gap, __VA_ARGS__)

constexpr char kServiceName[] = "KvDpcService";
constexpr char kDisplayName[] = "XAPHLINK";
// Under Wine two drivers share one winedevice.exe, and so one address space in which a DPC
// address from the bridge means something, only when both services name the same load-order
// group. The bridge and the simulator driver are installed in this one.
constexpr char kLoadOrderGroup[] = "HALV bridge and simulator";

constexpr DWORD kPoison = 0xdeadf00d;
constexpr uint64_t kDpcSize = 64;  // sizeof(KDPC) on x64: the slots' DPC objects lie in a row

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---- handles released on every path ----

class Handle {
  public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    Handle(Handle&& other) noexcept : handle_(other.handle_) {
        other.handle_ = INVALID_HANDLE_VALUE;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Reset(); }
    void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
        handle_ = handle;
    }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

  private:
    HANDLE handle_;
};

class ServiceHandle {
  public:
    explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    SC_HANDLE get() const { return handle_; }

  private:
    SC_HANDLE handle_;
};

// ---- requests with poisoned outputs ----

struct Output {
    uint8_t bytes[64];
    Output() {
        for (size_t i = 0; i < sizeof bytes; i += 4) std::memcpy(bytes + i, &kPoison, 4);
    }
    uint32_t U32(size_t offset = 0) const {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + i];
        return value;
    }
    uint64_t U64(size_t offset = 0) const {
        uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[offset + i];
        return value;
    }
    bool PoisonFrom(size_t offset) const { return Output().Same(*this, offset); }

  private:
    bool Same(const Output& other, size_t offset) const {
        return std::memcmp(bytes + offset, other.bytes + offset, sizeof bytes - offset) == 0;
    }
};

struct Result {
    bool succeeded;
    DWORD error;     // GetLastError() after the call (poisoned before it)
    DWORD returned;  // bytes returned (poisoned before the call)
};

Result Control(HANDLE device, DWORD code, const std::vector<uint8_t>& input, Output& output,
               DWORD output_size) {
    output = Output();
    DWORD returned = kPoison;
    SetLastError(kPoison);
    const BOOL succeeded =
        DeviceIoControl(device, code, input.empty() ? nullptr : const_cast<uint8_t*>(input.data()),
                        static_cast<DWORD>(input.size()), output_size ? output.bytes : nullptr,
                        output_size, &returned, nullptr);
    return {succeeded != FALSE, GetLastError(), returned};
}

// A refused request writes nothing into the output (checked by the callers on the poisoned
// buffer). The count of bytes returned is not a reliable witness on a refusal: Wine's
// DeviceIoControl leaves the caller's count as it was, so the native tests check the 0.
#define ok_refused(result, expected_error, what)                                               \
    do {                                                                                       \
        ok(!(result).succeeded, "%s: succeeded, expected error %lu\n", what, expected_error);  \
        ok((result).error == (expected_error), "%s: error %lu, expected %lu\n", what,          \
           (result).error, expected_error);                                                    \
        ok((result).returned == 0 || (result).returned == kPoison, "%s: returned %lu bytes\n", \
           what, (result).returned);                                                           \
    } while (0)

std::vector<uint8_t> Utf16(const std::string& name, bool terminate = true) {
    std::vector<uint8_t> bytes;
    for (char c : name) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
    if (terminate) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::vector<uint8_t> Le64(uint64_t value) {
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

// Registers `name` with a 4-byte output; returns the slot, checking the completion.
uint32_t Register(HANDLE device, const std::vector<uint8_t>& name, const char* what) {
    Output out;
    const Result r = Control(device, IOCTL_BRIDGE_REGISTER_EVENT, name, out, 4);
    ok(r.succeeded, "register %s: failed with error %lu\n", what, r.error);
    ok(r.returned == 4, "register %s: returned %lu bytes\n", what, r.returned);
    return out.U32();
}

uint32_t Register(HANDLE device, const std::string& name) {
    return Register(device, Utf16(name), name.c_str());
}

uint64_t QueryDpc(HANDLE device, uint64_t slot) {
    Output out;
    const Result r = Control(device, IOCTL_BRIDGE_QUERY_DPC, Le64(slot), out, 8);
    ok(r.succeeded && r.returned == 8, "query DPC %llu: succeeded %d, error %lu, returned %lu\n",
       static_cast<unsigned long long>(slot), r.succeeded, r.error, r.returned);
    return out.U64();
}

bool VersionAnswers(HANDLE device) {
    Output out;
    const Result r = Control(device, IOCTL_BRIDGE_QUERY_VERSION, {}, out, 4);
    return r.succeeded && out.U32() == BRIDGE_INTERFACE_VERSION;
}

Handle OpenBridge() {
    return Handle(CreateFileA(BRIDGE_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool IsSet(HANDLE event, DWORD wait_ms = 0) {
    return WaitForSingleObject(event, wait_ms) == WAIT_OBJECT_0;
}

// ---- the service ----

// argv[index], or `file` beside this program; a Unix path becomes Wine's Z: form.
std::string DriverPath(int argc, char** argv, int index, const char* file) {
    std::string path;
    if (argc > index) {
        path = argv[index];
    } else {
        char module[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
        path.assign(module, length);
        path.erase(path.find_last_of('\\') + 1);
        path += file;
    }
    if (!path.empty() && path[0] == '/') {
        path.insert(0, "Z:");
        for (char& c : path) c = c == '/' ? '\\' : c;
    }
    return path;
}

bool WaitForState(SC_HANDLE service, DWORD state) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 50; ++i) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
        Sleep(100);
    }
    return false;
}

// Stops the driver service (unloading the driver) unless it is stopped already.
bool StopService(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED) {
        return true;
    }
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        Note("ControlService stop: error %lu\n", GetLastError());
    }
    return WaitForState(service, SERVICE_STOPPED);
}

// A service of that name left over from an interrupted run is stopped and deleted.
void RemoveLeftover(SC_HANDLE manager) {
    ServiceHandle service(OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS));
    if (service.get() == nullptr) return;
    Note("removing a leftover %s service\n", kServiceName);
    StopService(service.get());
    DeleteService(service.get());
}

// ---- the tests, in the order that the slots fill ----

void TestDeviceAbsent(const char* when) {
    SetLastError(kPoison);
    Handle device = OpenBridge();
    ok(!device.valid(), "%s: the bridge device exists\n", when);
    ok(GetLastError() == ERROR_FILE_NOT_FOUND, "%s: open error %lu, expected %lu\n", when,
       GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

void TestVersion(HANDLE device) {
    Output out;
    Result r = Control(device, IOCTL_BRIDGE_QUERY_VERSION, {}, out, 4);
    ok(r.succeeded, "version: error %lu\n", r.error);
    ok(r.returned == 4, "version: returned %lu\n", r.returned);
    ok(out.U32() == BRIDGE_INTERFACE_VERSION, "version: %#lx\n", out.U32());

    // Input is ignored; a longer output gets 4 bytes and the rest is left alone.
    r = Control(device, IOCTL_BRIDGE_QUERY_VERSION, {1, 2, 3, 4, 5, 6, 7, 8, 9}, out, 16);
    ok(r.succeeded && r.returned == 4, "version, long output: succeeded %d, returned %lu\n",
       r.succeeded, r.returned);
    ok(out.U32() == BRIDGE_INTERFACE_VERSION, "version, long output: %#lx\n", out.U32());
    ok(out.PoisonFrom(4), "version, long output: bytes beyond 4 changed: %#lx\n", out.U32(4));

    r = Control(device, IOCTL_BRIDGE_QUERY_VERSION, {}, out, 3);
    ok_refused(r, static_cast<DWORD>(ERROR_BAD_LENGTH), "version, 3-byte output");
    ok(out.PoisonFrom(0), "version, 3-byte output: output changed: %#lx\n", out.U32());
}

void TestUnknownCodes(HANDLE device) {
    const DWORD codes[] = {
        CTL_CODE(BRIDGE_DEVICE_TYPE, 0x832, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(BRIDGE_DEVICE_TYPE, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
        IOCTL_BRIDGE_QUERY_VERSION | METHOD_NEITHER,
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x830, METHOD_BUFFERED, FILE_ANY_ACCESS),
    };
    for (DWORD code : codes) {
        Output out;
        const Result r = Control(device, code, Utf16("VEXMOND-0"), out, 8);
        char what[48];
        std::snprintf(what, sizeof what, "code %#lx", code);
        ok_refused(r, static_cast<DWORD>(ERROR_INVALID_PARAMETER), what);
        ok(out.PoisonFrom(0), "%s: output changed: %#lx\n", what, out.U32());
    }
}

// Returns the DPC address of slot 0.
uint64_t TestQueryDpc(HANDLE device) {
    Output out;
    Result r = Control(device, IOCTL_BRIDGE_QUERY_DPC, {}, out, 8);
    ok(r.succeeded && r.returned == 8, "DPC, empty input: succeeded %d, error %lu, returned %lu\n",
       r.succeeded, r.error, r.returned);
    const uint64_t slot0 = out.U64();
    ok(slot0 != 0 && slot0 != 0xdeadf00ddeadf00dull, "DPC, empty input: address %#llx\n",
       static_cast<unsigned long long>(slot0));
    for (uint64_t slot = 0; slot < BRIDGE_SLOT_COUNT; ++slot) {
        const uint64_t address = QueryDpc(device, slot);
        ok(address == slot0 + slot * kDpcSize, "DPC %llu: address %#llx, slot 0 at %#llx\n",
           static_cast<unsigned long long>(slot), static_cast<unsigned long long>(address),
           static_cast<unsigned long long>(slot0));
    }

    const std::vector<uint8_t> inputs[] = {{}, Le64(0), Le64(4)};
    for (const auto& input : inputs) {
        r = Control(device, IOCTL_BRIDGE_QUERY_DPC, input, out, 4);
        char what[48];
        std::snprintf(what, sizeof what, "DPC, 4-byte output, %zu-byte input", input.size());
        ok_refused(r, static_cast<DWORD>(ERROR_BAD_LENGTH), what);
    }
    r = Control(device, IOCTL_BRIDGE_QUERY_DPC, Le64(4), out, 8);
    ok_refused(r, static_cast<DWORD>(ERROR_INVALID_PARAMETER), "DPC, index 4");
    r = Control(device, IOCTL_BRIDGE_QUERY_DPC, Le64(0x100000000ull), out, 8);
    ok_refused(r, static_cast<DWORD>(ERROR_INVALID_PARAMETER), "DPC, index 2^32");
    r = Control(device, IOCTL_BRIDGE_QUERY_DPC, {1, 0, 0, 0}, out, 8);
    ok_refused(r, static_cast<DWORD>(ERROR_INVALID_PARAMETER), "DPC, 4-byte index");
    ok(out.PoisonFrom(0), "DPC, refused: output changed: %#lx\n", out.U32());
    return slot0;
}

void TestSignalWithSlotZeroFree(HANDLE device) {
    Output out;
    const Result r = Control(device, IOCTL_BRIDGE_REGISTER_EVENT, {}, out, 4);
    ok(r.succeeded, "test signal, slot 0 free: error %lu\n", r.error);
    ok(r.returned == 0, "test signal, slot 0 free: returned %lu\n", r.returned);
    ok(out.PoisonFrom(0), "test signal, slot 0 free: output changed: %#lx\n", out.U32());
    ok(VersionAnswers(device), "the bridge no longer answers after a test signal\n");
}

// Names that would make the driver read beyond the input or overflow its name buffer.
void TestRefusedNames(HANDLE device) {
    struct {
        std::vector<uint8_t> input;
        const char* what;
    } const cases[] = {
        {Utf16("VEXMOND-0", false), "a name without its NUL"},
        {Utf16(std::string(BRIDGE_MAX_EVENT_NAME_UNITS + 1, 'N')), "a 111-unit name"},
        {{0, 0}, "an empty name"},
    };
    for (const auto& c : cases) {
        Output out;
        const Result r = Control(device, IOCTL_BRIDGE_REGISTER_EVENT, c.input, out, 8);
        ok(r.succeeded && r.returned == 4, "%s: succeeded %d, error %lu, returned %lu\n", c.what,
           r.succeeded, r.error, r.returned);
        ok(out.U32() == BRIDGE_NO_SLOT, "%s: slot %#lx\n", c.what, out.U32());
        ok(out.PoisonFrom(4), "%s: bytes beyond 4 changed\n", c.what);
    }
}

// Fills the four slots: the service's events 0-2 (one registered twice, one through a 3-byte
// output), then the longest name the bridge takes, whose event the bridge creates itself; a
// fifth name gets no slot.
void TestRegister(HANDLE device, const std::string& longest) {
    const uint32_t zero = Register(device, "VEXMOND-0");
    ok(zero == 0, "VEXMOND-0: slot %#lx\n", zero);
    const uint32_t again = Register(device, "VEXMOND-0");
    ok(again == 0, "VEXMOND-0 registered again: slot %#lx\n", again);

    Output out;
    const Result r = Control(device, IOCTL_BRIDGE_REGISTER_EVENT, Utf16("VEXMOND-1"), out, 3);
    ok_refused(r, static_cast<DWORD>(ERROR_BAD_LENGTH), "register, 3-byte output");
    ok(out.PoisonFrom(0), "register, 3-byte output: output changed: %#lx\n", out.U32());
    const uint32_t one = Register(device, "VEXMOND-1");
    ok(one == 1, "VEXMOND-1 after the 3-byte output: slot %#lx\n", one);

    const uint32_t two = Register(device, "VEXMOND-2");
    ok(two == 2, "VEXMOND-2: slot %#lx\n", two);
    const uint32_t three = Register(device, Utf16(longest), "the 110-unit name");
    ok(three == 3, "the 110-unit name: slot %#lx\n", three);
    const uint32_t fifth = Register(device, "VEXMOND-3");
    ok(fifth == BRIDGE_NO_SLOT, "a fifth name: slot %#lx\n", fifth);
    const uint32_t back = Register(device, "VEXMOND-2");
    ok(back == 2, "VEXMOND-2 with the table full: slot %#lx\n", back);
}

void TestSignalWithSlotZeroTaken(HANDLE device, HANDLE event0, HANDLE event1) {
    ResetEvent(event0);
    ResetEvent(event1);
    Output out;
    const Result r = Control(device, IOCTL_BRIDGE_REGISTER_EVENT, {}, out, 0);
    ok(r.succeeded, "test signal: error %lu\n", r.error);
    ok(r.returned == 0, "test signal: returned %lu\n", r.returned);
    const bool set = IsSet(event0, 1000);
    if (set) {
        Note("test signal: slot 0's event was set\n");
    } else if (RunningUnderWine()) {
        Note("test signal: slot 0's event not set; Wine's KeInsertQueueDpc never runs a DPC\n");
    } else {
        ok(false, "test signal: slot 0's event not set\n");
    }
    ok(!IsSet(event1), "test signal: slot 1's event was set\n");
    ok(VersionAnswers(device), "the bridge no longer answers after a test signal\n");
}

// The miniport's side: the simulator driver, loaded into the bridge's winedevice process, runs
// a slot's DPC with its first argument pointing at the slot index, as the miniport queues it.
void TestSignalFromSimulator(HANDLE device, const std::string& simulator_path,
                             const uint64_t (&dpc)[BRIDGE_SLOT_COUNT], HANDLE const (&events)[3]) {
#if !BRIDGE_E2E_SIMULATOR
    (void)device, (void)simulator_path, (void)dpc, (void)events;
    ++g_skips;
    Note("skipped: signal from the simulator driver (built without it)\n");
#else
    if (GetFileAttributesA(simulator_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ++g_skips;
        Note("skipped: signal from the simulator driver (%s not found)\n", simulator_path.c_str());
        return;
    }
    simctl::LoadedDriver simulator;
    std::string error;
    const bool loaded =
        simulator.Load({simctl::kServiceName, simulator_path, kLoadOrderGroup}, &error);
    ok(loaded, "loading the simulator driver: %s\n", error.c_str());
    simctl::SimControl control;
    ok(loaded && control.Open(), "opening %s: error %lu\n", simctl::kControlPath,
       control.last_error());
    if (!control.is_open()) return;

    auto signal = [&](uint64_t address, uint32_t slot) {
        ok(control.SignalDpc(address, slot), "simulator, slot %d: error %lu\n",
           static_cast<int32_t>(slot), control.last_error());
    };
    for (uint32_t slot = 0; slot < 3; ++slot) {
        for (HANDLE event : events) ResetEvent(event);
        signal(dpc[slot], slot);
        for (uint32_t other = 0; other < 3; ++other) {
            const bool set = IsSet(events[other], other == slot ? 1000 : 0);
            ok(set == (other == slot), "signal of slot %u: slot %u's event set %d\n", slot, other,
               set);
        }
    }
    // The slot is the DPC's own: an index that names another slot, or none, still sets the
    // event of the DPC's slot and no other.
    for (uint32_t index : {1u, 7u, 0xFFFFFFFFu}) {
        for (HANDLE event : events) ResetEvent(event);
        signal(dpc[0], index);
        for (uint32_t other = 0; other < 3; ++other) {
            const bool set = IsSet(events[other], other == 0 ? 1000 : 0);
            ok(set == (other == 0), "slot 0's DPC with index %d: slot %u's event set %d\n",
               static_cast<int32_t>(index), other, set);
        }
    }
    ok(VersionAnswers(device), "the bridge no longer answers after the simulator's signals\n");
    ok(simulator.Unload(&error), "unloading the simulator driver: %s\n", error.c_str());
#endif
}

// The service closes the device right after registering; the slots live on, and a service
// that starts again finds its old slots and DPC addresses.
void TestReopenKeepsSlots(const uint64_t (&dpc)[BRIDGE_SLOT_COUNT]) {
    Handle device = OpenBridge();
    ok(device.valid(), "reopening the bridge: error %lu\n", GetLastError());
    if (!device.valid()) return;
    const uint32_t zero = Register(device.get(), "VEXMOND-0");
    const uint32_t two = Register(device.get(), "VEXMOND-2");
    ok(zero == 0 && two == 2, "after reopening: slots %#lx and %#lx\n", zero, two);
    const uint64_t address = QueryDpc(device.get(), 2);
    ok(address == dpc[2], "after reopening: DPC 2 at %#llx, was %#llx\n",
       static_cast<unsigned long long>(address), static_cast<unsigned long long>(dpc[2]));
}

// ---- who may reach the device and its events ----

// A named event made with the security descriptor `sddl` (manual-reset unless `auto_reset`).
Handle CreateEventWithSddl(const std::string& name, const char* sddl, bool auto_reset = false) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        ok(false, "SDDL %s: error %lu\n", sddl, GetLastError());
        return Handle();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    Handle event(CreateEventA(&attributes, auto_reset ? FALSE : TRUE, FALSE, name.c_str()));
    ok(event.valid(), "CreateEventA %s (%s): error %lu\n", name.c_str(), sddl, GetLastError());
    LocalFree(sd);
    return event;
}

// This process's token with its user and the Administrators group made deny-only: a token
// that no allow entry for SYSTEM or Administrators matches.
Handle CreateUnprivilegedToken() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(),
                          TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_IMPERSONATE,
                          &raw)) {
        ok(false, "OpenProcessToken: error %lu\n", GetLastError());
        return Handle();
    }
    Handle token(raw);
    alignas(8) uint8_t user[256];
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, user, sizeof user, &length)) {
        ok(false, "GetTokenInformation: error %lu\n", GetLastError());
        return Handle();
    }
    alignas(8) uint8_t admins[SECURITY_MAX_SID_SIZE];
    DWORD admins_size = sizeof admins;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_size);
    SID_AND_ATTRIBUTES disabled[2] = {{reinterpret_cast<TOKEN_USER*>(user)->User.Sid, 0},
                                      {admins, 0}};
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(token.get(), 0, 2, disabled, 0, nullptr, 0, nullptr, &restricted)) {
        ok(false, "CreateRestrictedToken: error %lu\n", GetLastError());
        return Handle();
    }
    return Handle(restricted);
}

// The calling thread runs with `token` while this lives.
class Impersonation {
  public:
    explicit Impersonation(HANDLE token) : active_(ImpersonateLoggedOnUser(token) != FALSE) {
        ok(active_, "ImpersonateLoggedOnUser: error %lu\n", GetLastError());
    }
    Impersonation(const Impersonation&) = delete;
    Impersonation& operator=(const Impersonation&) = delete;
    ~Impersonation() {
        if (active_) RevertToSelf();
    }
    bool active() const { return active_; }

  private:
    bool active_;
};

bool SidIs(PSID sid, WELL_KNOWN_SID_TYPE type) {
    alignas(8) uint8_t known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// The device's DACL as a handle to it reports it: protected, allowing everything to SYSTEM
// and to Administrators and nothing to anyone else. The kernel maps the generic right of the
// descriptor to the device's own rights when it stores it, so either form is accepted.
void TestDeviceDacl(HANDLE device) {
    DWORD needed = 0;
    GetKernelObjectSecurity(device, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<uint8_t> sd(needed ? needed : 1);
    const bool read = GetKernelObjectSecurity(device, DACL_SECURITY_INFORMATION, sd.data(),
                                              static_cast<DWORD>(sd.size()), &needed) != FALSE;
    ok(read, "reading the device's DACL: error %lu\n", GetLastError());
    if (!read) return;
    char* sddl = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(sd.data(), SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &sddl, nullptr);
    Note("the device reports the DACL \"%s\"\n", sddl ? sddl : "?");
    if (sddl) LocalFree(sddl);

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd.data(), &control, &revision);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted);
    bool right =
        present && dacl != nullptr && (control & SE_DACL_PROTECTED) != 0 && dacl->AceCount == 2;
    for (DWORD i = 0; right && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        right = GetAce(dacl, i, &ace) &&
                static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE;
        if (!right) break;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        const PSID sid = &allowed->SidStart;
        right = (allowed->Mask == GENERIC_ALL || allowed->Mask == FILE_ALL_ACCESS) &&
                SidIs(sid, i == 0 ? WinLocalSystemSid : WinBuiltinAdministratorsSid);
    }
    ok_or_wine_gap(right, "a device file carries no security of its own",
                   "the device's DACL is not D:P(A;;GA;;;SY)(A;;GA;;;BA)\n");
}

// An open by a token that is neither SYSTEM nor an administrator is refused. The token really
// is weaker: it may not open an event that allows Administrators only.
void TestUnprivilegedOpen(HANDLE unprivileged) {
    const std::string name = "Global\\BRIDGE-E2E-ADMINS-ONLY";
    Handle admins_only = CreateEventWithSddl(name, "D:P(A;;GA;;;BA)");
    Impersonation as(unprivileged);
    if (!as.active()) return;
    SetLastError(kPoison);
    Handle event(OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    const DWORD event_error = GetLastError();
    ok(!event.valid() && event_error == ERROR_ACCESS_DENIED,
       "the restricted token opened an administrators-only event (error %lu)\n", event_error);

    SetLastError(kPoison);
    Handle device = OpenBridge();
    const DWORD error = GetLastError();
    ok_or_wine_gap(!device.valid() && error == ERROR_ACCESS_DENIED,
                   "the device's DACL is not applied to opens",
                   "an unprivileged token opened the bridge (valid %d, error %lu)\n",
                   device.valid(), error);
}

// Events the bridge must not take: one that the requester may not modify, one that only an
// administrator may modify while the requester is not one, an auto-reset event, and a name
// that belongs to another kind of object. The administrators-only event is then taken when an
// administrator asks, so the refusal before was the requester's.
void TestRefusedEvents(HANDLE device, HANDLE unprivileged) {
    Handle nobody = CreateEventWithSddl("Global\\BRIDGE-E2E-NOBODY", "D:P");
    const uint32_t slot_nobody = Register(device, "BRIDGE-E2E-NOBODY");
    ok(slot_nobody == BRIDGE_NO_SLOT, "an event nobody may modify: slot %#lx\n", slot_nobody);

    Handle admins_only = CreateEventWithSddl("Global\\BRIDGE-E2E-ADMINS", "D:P(A;;GA;;;BA)");
    {
        Impersonation as(unprivileged);
        if (as.active()) {
            const uint32_t slot = Register(device, "BRIDGE-E2E-ADMINS");
            ok_or_wine_gap(slot == BRIDGE_NO_SLOT,
                           "a driver's access check uses the driver host's token",
                           "an administrators-only event for an unprivileged requester: slot "
                           "%#lx\n",
                           slot);
        }
    }
    const uint32_t slot_admin = Register(device, "BRIDGE-E2E-ADMINS");
    ok(slot_admin < BRIDGE_SLOT_COUNT,
       "an administrators-only event for an administrator: "
       "slot %#lx\n",
       slot_admin);

    Handle autoreset = CreateEventWithSddl("Global\\BRIDGE-E2E-AUTORESET", "D:(A;;GA;;;WD)", true);
    const uint32_t slot_autoreset = Register(device, "BRIDGE-E2E-AUTORESET");
    ok_or_wine_gap(slot_autoreset == BRIDGE_NO_SLOT,
                   "an event's kernel object shows its type only to a handle that may query it",
                   "an auto-reset event: slot %#lx\n", slot_autoreset);

    Handle mutex(CreateMutexA(nullptr, FALSE, "Global\\BRIDGE-E2E-MUTEX"));
    ok(mutex.valid(), "CreateMutexA: error %lu\n", GetLastError());
    const uint32_t slot_mutex = Register(device, "BRIDGE-E2E-MUTEX");
    ok(slot_mutex == BRIDGE_NO_SLOT, "a mutex's name: slot %#lx\n", slot_mutex);
    ok(VersionAnswers(device), "the bridge no longer answers after the refused events\n");
}

// Twelve threads, each with a device handle of its own (requests on one synchronous handle
// would be serialised by the I/O manager), register six names, each name from two threads, at
// the same moment. The names are the bridge's own events, so that a handle the bridge leaked
// would keep one alive after the unload.
constexpr int kRaceNames = 6;
std::string RaceName(int n) {
    return "BRIDGE-E2E-RACE-" + std::to_string(n);
}

void TestConcurrentRegistration() {
    constexpr int kThreads = 2 * kRaceNames;
    Handle start(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> ready{0};
    uint32_t slots[kThreads];
    bool answered[kThreads] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            Handle device = OpenBridge();
            ++ready;
            WaitForSingleObject(start.get(), 10000);
            if (!device.valid()) return;
            Output out;
            const Result r = Control(device.get(), IOCTL_BRIDGE_REGISTER_EVENT,
                                     Utf16(RaceName(i % kRaceNames)), out, 4);
            answered[i] = r.succeeded && r.returned == 4;
            slots[i] = out.U32();
        });
    }
    for (int wait = 0; ready < kThreads && wait < 1000; ++wait) Sleep(10);
    SetEvent(start.get());
    for (auto& thread : threads) thread.join();

    std::set<uint32_t> taken;
    int without = 0;
    for (int n = 0; n < kRaceNames; ++n) {
        const int a = n, b = n + kRaceNames;
        ok(answered[a] && answered[b], "%s: a registration failed\n", RaceName(n).c_str());
        ok(slots[a] == slots[b], "%s: two registrations gave slots %#lx and %#lx\n",
           RaceName(n).c_str(), slots[a], slots[b]);
        if (slots[a] == BRIDGE_NO_SLOT) {
            ++without;
        } else {
            ok(slots[a] < BRIDGE_SLOT_COUNT, "%s: slot %#lx\n", RaceName(n).c_str(), slots[a]);
            ok(taken.insert(slots[a]).second, "slot %lu went to two names\n", slots[a]);
        }
    }
    ok(taken.size() == BRIDGE_SLOT_COUNT && without == kRaceNames - int{BRIDGE_SLOT_COUNT},
       "racing registrations: %zu slots taken, %d names without\n", taken.size(), without);
}

// After the unload none of the racing names' events may be left.
void TestRaceEventsGone() {
    for (int n = 0; n < kRaceNames; ++n) {
        Handle event(OpenEventA(SYNCHRONIZE, FALSE, ("Global\\" + RaceName(n)).c_str()));
        ok(!event.valid(), "%s outlived the unload: the bridge leaked a handle\n",
           RaceName(n).c_str());
    }
}

bool StartDriver(SC_HANDLE service, const char* why) {
    SetLastError(kPoison);
    const BOOL started = StartServiceA(service, 0, nullptr);
    ok(started, "StartServiceA (%s): error %lu\n", why, GetLastError());
    const bool running = started && WaitForState(service, SERVICE_RUNNING);
    ok(running, "the driver service is not running (%s)\n", why);
    return running;
}

void Run(int argc, char** argv) {
    const std::string driver_path = DriverPath(argc, argv, 1, "XAPHLINK.sys");
    const std::string simulator_path = DriverPath(argc, argv, 2, "HALVSIM.sys");
    Note("driver %s%s\n", driver_path.c_str(), RunningUnderWine() ? " (under Wine)" : "");

    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ok(manager.get() != nullptr, "OpenSCManagerA: error %lu\n", GetLastError());
    if (manager.get() == nullptr) return;
    RemoveLeftover(manager.get());
    TestDeviceAbsent("before the start");

    ServiceHandle service(
        CreateServiceA(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                       driver_path.c_str(), kLoadOrderGroup, nullptr, nullptr, nullptr, nullptr));
    ok(service.get() != nullptr, "CreateServiceA: error %lu\n", GetLastError());
    if (service.get() == nullptr) return;

    const Handle unprivileged = CreateUnprivilegedToken();
    StartDriver(service.get(), "first load");
    {
        Handle device = OpenBridge();
        ok(device.valid(), "opening %s: error %lu\n", BRIDGE_USER_DEVICE_PATH, GetLastError());
        if (device.valid()) {
            TestDeviceDacl(device.get());
            if (unprivileged.valid()) TestUnprivilegedOpen(unprivileged.get());
            TestVersion(device.get());
            TestUnknownCodes(device.get());
            uint64_t dpc[BRIDGE_SLOT_COUNT];
            dpc[0] = TestQueryDpc(device.get());
            for (uint32_t slot = 1; slot < BRIDGE_SLOT_COUNT; ++slot) {
                dpc[slot] = dpc[0] + slot * kDpcSize;
            }
            TestSignalWithSlotZeroFree(device.get());

            // The service's events exist before they are registered.
            Handle events[3];
            for (int n = 0; n < 3; ++n) {
                const std::string name = "Global\\VEXMOND-" + std::to_string(n);
                events[n].Reset(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
                ok(events[n].valid(), "CreateEventA %s: error %lu\n", name.c_str(), GetLastError());
            }
            const std::string longest(BRIDGE_MAX_EVENT_NAME_UNITS, 'L');
            TestRefusedNames(device.get());
            TestRegister(device.get(), longest);
            // The bridge created the longest name's event; user mode sees it under Global.
            Handle created(OpenEventA(SYNCHRONIZE, FALSE, ("Global\\" + longest).c_str()));
            ok(created.valid(), "the event the bridge created: open error %lu\n", GetLastError());
            created.Reset();

            TestSignalWithSlotZeroTaken(device.get(), events[0].get(), events[1].get());
            HANDLE const raw[3] = {events[0].get(), events[1].get(), events[2].get()};
            TestSignalFromSimulator(device.get(), simulator_path, dpc, raw);
            device.Reset();
            TestReopenKeepsSlots(dpc);

            // Unload closes the bridge's handles: the event only the bridge held is gone, the
            // service's own events stay.
            ok(StopService(service.get()), "the driver service did not stop\n");
            TestDeviceAbsent("after the stop");
            SetLastError(kPoison);
            created.Reset(OpenEventA(SYNCHRONIZE, FALSE, ("Global\\" + longest).c_str()));
            ok(!created.valid(), "the bridge's own event outlived the unload\n");
            Handle kept(OpenEventA(SYNCHRONIZE, FALSE, "Global\\VEXMOND-0"));
            ok(kept.valid(), "the service's event is gone after the unload: error %lu\n",
               GetLastError());
        }
    }
    StopService(service.get());

    // A fresh slot table for the events the bridge must refuse.
    if (unprivileged.valid() && StartDriver(service.get(), "refused events")) {
        Handle device = OpenBridge();
        ok(device.valid(), "opening the bridge again: error %lu\n", GetLastError());
        if (device.valid()) TestRefusedEvents(device.get(), unprivileged.get());
    }
    ok(StopService(service.get()), "the driver service did not stop after the refused events\n");

    // And one for registrations that race.
    if (StartDriver(service.get(), "racing registrations")) TestConcurrentRegistration();
    ok(StopService(service.get()), "the driver service did not stop after the race\n");
    TestRaceEventsGone();

    ok(DeleteService(service.get()), "DeleteService: error %lu\n", GetLastError());
}

}  // namespace

int main(int argc, char** argv) {
    Run(argc, argv);
    std::printf(
        "bridge_e2e: %d tests executed (%d marked as todo, %d failures), %d skipped, "
        "%d not enforced by Wine.\n",
        g_successes + g_failures, 0, g_failures, g_skips, g_wine_gaps);
    return g_failures > 255 ? 255 : g_failures;
}
