#include "simctl_client.h"

#include <memory>
#include <vector>

#include "simctl_public.h"

namespace simctl {
namespace {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE h) const {
        if (h) CloseServiceHandle(h);
    }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

bool Fail(std::string* error, const char* what, DWORD code) {
    if (error) *error = std::string(what) + " failed, error " + std::to_string(code);
    return false;
}

// Waits until the service reaches `state`; drivers start and stop in well under a second.
bool WaitForState(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 100; ++i) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == state) return true;
        Sleep(50);
    }
    return false;
}

bool StopAndDeleteOpen(SC_HANDLE service, std::string* error) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
            GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
            return Fail(error, "ControlService(STOP)", GetLastError());
        if (!WaitForState(service, SERVICE_STOPPED))
            return Fail(error, "waiting for STOPPED", GetLastError());
    }
    if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return Fail(error, "DeleteService", GetLastError());
    return true;
}

// Waits until no service of that name is registered. The Service Control Manager keeps a
// deleted service while anything still refers to it (an open handle, a stop still under way),
// and creating one of the same name meanwhile fails with ERROR_SERVICE_MARKED_FOR_DELETE.
bool WaitUntilGone(SC_HANDLE scm, const std::string& name, DWORD ms) {
    for (DWORD waited = 0;; waited += 50) {
        ServiceHandle service(OpenServiceA(scm, name.c_str(), SERVICE_QUERY_STATUS));
        if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        if (waited >= ms) return false;
        Sleep(50);
    }
}

}  // namespace

std::string ProgramDirectory() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            std::string s(path.data(), n);
            return s.substr(0, s.find_last_of("\\/") + 1);
        }
        path.resize(path.size() * 2);
    }
}

bool InstallAndStart(const DriverService& driver, std::string* error) {
    ServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return Fail(error, "OpenSCManager", GetLastError());

    // A service of the same name left by an earlier run that crashed is replaced.
    if (ServiceHandle old{OpenServiceA(scm.get(), driver.name.c_str(), SERVICE_ALL_ACCESS)}) {
        if (!StopAndDeleteOpen(old.get(), error)) return false;
    }
    if (!WaitUntilGone(scm.get(), driver.name, 60000))
        return Fail(error, "waiting for the earlier service to go",
                    ERROR_SERVICE_MARKED_FOR_DELETE);
    ServiceHandle service(CreateServiceA(
        scm.get(), driver.name.c_str(), driver.name.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, driver.sysPath.c_str(),
        driver.group.empty() ? nullptr : driver.group.c_str(), nullptr, nullptr, nullptr, nullptr));
    if (!service) return Fail(error, "CreateService", GetLastError());
    if (!StartServiceA(service.get(), 0, nullptr) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        const DWORD code = GetLastError();
        DeleteService(service.get());
        return Fail(error, "StartService", code);
    }
    if (!WaitForState(service.get(), SERVICE_RUNNING)) {
        const DWORD code = GetLastError();
        StopAndDeleteOpen(service.get(), nullptr);
        return Fail(error, "waiting for RUNNING", code);
    }
    return true;
}

bool StopAndDelete(const std::string& name, std::string* error) {
    ServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return Fail(error, "OpenSCManager", GetLastError());
    ServiceHandle service(OpenServiceA(scm.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        return Fail(error, "OpenService", GetLastError());
    }
    return StopAndDeleteOpen(service.get(), error);
}

bool IsRunning(const std::string& name) {
    ServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return false;
    ServiceHandle service(OpenServiceA(scm.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    return service && QueryServiceStatus(service.get(), &status) &&
           status.dwCurrentState == SERVICE_RUNNING;
}

bool LoadedDriver::Load(const DriverService& service, std::string* error) {
    if (!Unload(error)) return false;
    if (!InstallAndStart(service, error)) return false;
    name_ = service.name;
    return true;
}

bool LoadedDriver::Unload(std::string* error) {
    if (name_.empty()) return true;
    const bool ok = StopAndDelete(name_, error);
    name_.clear();
    return ok;
}

bool SimControl::Open() {
    device_.reset(CreateFileA(kControlPath, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
    if (!device_.valid()) {
        lastError_ = GetLastError();
        return false;
    }
    return true;
}

bool SimControl::Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    if (!device_.valid()) {
        lastError_ = ERROR_INVALID_HANDLE;
        return false;
    }
    DWORD returned = 0;
    if (!DeviceIoControl(device_.get(), code, const_cast<void*>(in), inSize, out, outSize,
                         &returned, nullptr)) {
        lastError_ = GetLastError();
        return false;
    }
    if (returned != outSize) {
        lastError_ = ERROR_INVALID_DATA;
        return false;
    }
    return true;
}

bool SimControl::LoadPopulation(const sim::SimPopulation& population) {
    return Control(IOCTL_SIMCTL_LOAD_POPULATION, &population, sizeof population, nullptr, 0);
}

bool SimControl::ReadPopulation(sim::SimPopulation& population) {
    return Control(IOCTL_SIMCTL_READ_POPULATION, nullptr, 0, &population, sizeof population);
}

bool SimControl::SetFault(int position, uint32_t command, sim::FaultKind kind, int32_t delta) {
    uint8_t request[fault_request::kSize] = {};
    wire::ByteView v(request, sizeof request);
    v.Put32(fault_request::Position.offset, static_cast<uint32_t>(position));
    v.Put32(fault_request::Command.offset, command);
    v.Put32(fault_request::Kind.offset, kind);
    v.Put32(fault_request::Delta.offset, static_cast<uint32_t>(delta));
    return Control(IOCTL_SIMCTL_SET_FAULT, request, sizeof request, nullptr, 0);
}

bool SimControl::SetSignalling(int position, sim::SignalMode mode) {
    uint8_t request[signalling_request::kSize] = {};
    wire::ByteView v(request, sizeof request);
    v.Put32(signalling_request::Position.offset, static_cast<uint32_t>(position));
    v.Put32(signalling_request::Mode.offset, mode);
    return Control(IOCTL_SIMCTL_SET_SIGNALLING, request, sizeof request, nullptr, 0);
}

bool SimControl::QueueEvent(int position, const uint8_t* record40) {
    uint8_t request[queue_event_request::kSize] = {};
    wire::ByteView v(request, sizeof request);
    v.Put32(queue_event_request::Position.offset, static_cast<uint32_t>(position));
    for (size_t i = 0; i < queue_event_request::Record.width; ++i)
        v.Put8(queue_event_request::Record.offset + i, record40[i]);
    return Control(IOCTL_SIMCTL_QUEUE_EVENT, request, sizeof request, nullptr, 0);
}

bool SimControl::QueueEvents(int position, const uint8_t* records, uint32_t count, bool signal,
                             uint32_t& queued) {
    namespace q = queue_events_request;
    queued = 0;
    if (count > q::kMaxRecords) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return false;
    }
    uint8_t request[q::kMaxSize] = {};
    wire::ByteView v(request, sizeof request);
    v.Put32(q::Position.offset, static_cast<uint32_t>(position));
    v.Put32(q::Count.offset, count);
    v.Put32(q::Flags.offset, signal ? q::kSignalAfter : 0);
    for (size_t i = 0; i < count * channel::events::kRecordSize; ++i)
        v.Put8(q::kFirstRecord + i, records[i]);
    uint8_t reply[q::kReplySize] = {};
    const DWORD size = static_cast<DWORD>(q::kFirstRecord + count * channel::events::kRecordSize);
    if (!Control(IOCTL_SIMCTL_QUEUE_EVENTS, request, size, reply, sizeof reply)) return false;
    queued = wire::ByteView(reply, sizeof reply).U32(0);
    return true;
}

bool SimControl::SignalDpc(uint64_t dpcAddress, uint32_t slot) {
    uint8_t request[signal_dpc_request::kSize] = {};
    wire::ByteView v(request, sizeof request);
    v.Put64(signal_dpc_request::DpcAddress.offset, dpcAddress);
    v.Put32(signal_dpc_request::Slot.offset, slot);
    return Control(IOCTL_SIMCTL_SIGNAL_DPC, request, sizeof request, nullptr, 0);
}

bool SimControl::QueryProbeDpc(ProbeDpc& probe) {
    uint8_t reply[probe_dpc_reply::kSize] = {};
    if (!Control(IOCTL_SIMCTL_QUERY_PROBE_DPC, nullptr, 0, reply, sizeof reply)) return false;
    wire::ByteView v(reply, sizeof reply);
    probe.address = v.U64(probe_dpc_reply::DpcAddress.offset);
    probe.calls = v.U32(probe_dpc_reply::Calls.offset);
    probe.lastSlot = static_cast<int32_t>(v.U32(probe_dpc_reply::LastSlot.offset));
    probe.lastArgument2 = v.U32(probe_dpc_reply::LastArgument2.offset);
    return true;
}

}  // namespace simctl
