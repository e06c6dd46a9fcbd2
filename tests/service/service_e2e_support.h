// What the service's end-to-end programs share: the Service Control Manager seen from a test,
// child processes, and the driver log in which the harness collects the output of the service,
// the drivers and Wine's debug channels (event-log entries, dialogs made).
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channel/protocol.h"
#include "e2e_support.h"
#include "sim/population.h"

namespace svc_e2e {

class Sc {
  public:
    explicit Sc(SC_HANDLE h = nullptr) : h_(h) {}
    Sc(const Sc&) = delete;
    Sc& operator=(const Sc&) = delete;
    ~Sc() {
        if (h_) CloseServiceHandle(h_);
    }
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

  private:
    SC_HANDLE h_;
};

inline SC_HANDLE OpenSvc(const char* name, DWORD access = SERVICE_ALL_ACCESS) {
    Sc scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return scm ? OpenServiceA(scm.get(), name, access) : nullptr;
}

// 0 when the service does not exist.
inline DWORD StateOf(const char* name) {
    Sc service(OpenSvc(name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
}

inline bool AwaitState(const char* name, DWORD state, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 20) {
        if (StateOf(name) == state) return true;
        Sleep(20);
    }
    return false;
}

inline bool Exists(const char* name) {
    Sc service(OpenSvc(name, SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

inline bool AwaitExists(const char* name, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 50) {
        if (Exists(name)) return true;
        Sleep(50);
    }
    return false;
}

// What the Service Control Manager says of a service, for a failure's message.
inline std::string Describe(const char* name) {
    Sc scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return "no service manager, error " + std::to_string(GetLastError());
    Sc service(OpenServiceA(scm.get(), name, SERVICE_QUERY_STATUS));
    if (!service)
        return std::string(name) + ": open fails, error " + std::to_string(GetLastError());
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status))
        return std::string(name) + ": query fails, error " + std::to_string(GetLastError());
    return std::string(name) + ": state " + std::to_string(status.dwCurrentState);
}

// Waits until no service of that name is registered. A deleted service stays in the Service
// Control Manager while anything still refers to it (an open handle, a process that has not
// ended yet); creating one of that name meanwhile fails with ERROR_SERVICE_MARKED_FOR_DELETE.
inline bool AwaitGone(const char* name, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 50) {
        Sc scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        Sc service(scm ? OpenServiceA(scm.get(), name, SERVICE_QUERY_STATUS) : nullptr);
        if (scm && !service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        Sleep(50);
    }
    return false;
}

inline bool MutexExists(const char* mutexName) {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, mutexName);
    if (!mutex) return false;
    CloseHandle(mutex);
    return true;
}

// Waits until the service's process has ended: its single-instance mutex goes with it.
inline bool AwaitProcessGone(const char* mutexName, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 20) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, mutexName);
        if (!mutex) return true;
        CloseHandle(mutex);
        Sleep(20);
    }
    return false;
}

struct Child {
    PROCESS_INFORMATION info{};
    bool started = false;
    explicit Child(const std::string& commandLine) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::vector<char> line(commandLine.begin(), commandLine.end());
        line.push_back('\0');
        started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &info) != FALSE;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!started) return;
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(info.hProcess, 255);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    bool Ended(DWORD ms, DWORD* code = nullptr) {
        if (WaitForSingleObject(info.hProcess, ms) != WAIT_OBJECT_0) return false;
        if (code) GetExitCodeProcess(info.hProcess, code);
        return true;
    }
};

// One event-log entry as Wine's ReportEventW reports it on its debug channels.
struct Entry {
    std::string level;  // err, warn or trace (error, warning, information)
    uint32_t type = 0;
    uint32_t id = 0;
    std::string text;
};

// The harness's driver log (HALV_E2E_DRIVER_LOG) from where it stood when the reader was made,
// read on as it grows.
class DriverLog {
  public:
    DriverLog() {
        const char* path = std::getenv("HALV_E2E_DRIVER_LOG");
        if (path) path_ = e2e::WindowsPath(path);
        std::ifstream in(path_, std::ios::binary | std::ios::ate);
        if (in) mark_ = offset_ = static_cast<size_t>(in.tellg());
    }
    bool available() const { return !path_.empty(); }

    // Everything since the mark.
    std::string Read() const {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(mark_));
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text;
    }

    // Every ReportEventW since the mark: the fixme line gives type and identifier, the eventlog
    // line after it the text.
    const std::vector<Entry>& Entries() {
        Update();
        return entries_;
    }
    // Boxes that the service's processes made since the mark (Wine's +dialog channel: a message
    // box is a dialog) or handed to the console session (WTSSendMessageA, a stub in Wine that
    // says so on fixme:wtsapi).
    int Dialogs() {
        Update();
        return dialogs_;
    }
    std::vector<Entry> AwaitEntries(size_t count, DWORD ms) {
        for (DWORD waited = 0; waited <= ms; waited += 100) {
            Update();
            if (entries_.size() >= count && !entries_[count - 1].text.empty()) break;
            Sleep(100);
        }
        return entries_;
    }

  private:
    void Update() {
        std::ifstream in(path_, std::ios::binary);
        if (!in) return;
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        offset_ += chunk.size();
        partial_ += chunk;
        size_t start = 0, end;
        while ((end = partial_.find('\n', start)) != std::string::npos) {
            Line(partial_.substr(start, end - start));
            start = end + 1;
        }
        partial_.erase(0, start);
    }
    void Line(std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find(":trace:dialog:DIALOG_CreateIndirect") != std::string::npos ||
            line.find(":fixme:wtsapi:WTSSendMessageA") != std::string::npos)
            ++dialogs_;
        size_t at = line.find(":fixme:advapi:ReportEventW (");
        if (at != std::string::npos) {
            Entry e;
            unsigned long long handle = 0;
            unsigned type = 0, category = 0, id = 0;
            std::sscanf(line.c_str() + at + 28, "%llx,0x%x,0x%x,0x%x", &handle, &type, &category,
                        &id);
            e.type = type;
            e.id = id;
            entries_.push_back(e);
            return;
        }
        for (const char* level : {"err", "warn", "trace"}) {
            const std::string tag = std::string(":") + level + ":eventlog:ReportEventW L\"";
            at = line.find(tag);
            if (at == std::string::npos || entries_.empty()) continue;
            std::string quoted = line.substr(at + tag.size());
            if (!quoted.empty() && quoted.back() == '"') quoted.pop_back();
            entries_.back().level = level;
            entries_.back().text = Unescape(quoted);
        }
    }
    static std::string Unescape(const std::string& s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\\' && i + 1 < s.size()) {
                ++i;
                out += s[i] == 'n' ? '\n' : s[i];
            } else {
                out += s[i];
            }
        }
        return out;
    }

    std::string path_;
    size_t mark_ = 0, offset_ = 0;
    std::string partial_;
    std::vector<Entry> entries_;
    int dialogs_ = 0;
};

// One writer: `records` records of one adapter, numbered by their LBA from 0, in batches of
// kBatch with a signal after each, as a miniport does in a storm of media errors. A full
// miniport queue refuses records; they are offered again a moment later, as a miniport holds
// them until there is room.
inline constexpr uint32_t kBatch = 8;

class Writer {
  public:
    // `before(control, next)` runs before each batch, which starts at record `next`; it returns
    // how many records it queued itself.
    using Hook = std::function<uint32_t(simctl::SimControl&, uint32_t next)>;
    Writer(int position, uint32_t records, Hook before = {})
        : position_(position), records_(records), before_(std::move(before)) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { Join(); }
    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

  private:
    void Run() {
        simctl::SimControl control;
        if (!control.Open()) return Fail("opening the control device");
        const DWORD deadline = GetTickCount() + 120000;
        uint32_t next = 0;
        while (next < records_) {
            if (before_) next += before_(control, next);
            const uint32_t count = std::min(kBatch, records_ - next);
            uint8_t records[kBatch * channel::events::kRecordSize];
            for (uint32_t i = 0; i < count; ++i)
                sim::MakeEventRecord(&records[i * channel::events::kRecordSize], 0x102, 1, 0, 0,
                                     next + i);
            uint32_t queued = 0;
            if (!control.QueueEvents(position_, records, count, true, queued))
                return Fail("queueing, error " + std::to_string(control.last_error()));
            next += queued;
            if (queued < count) {
                if (static_cast<LONG>(GetTickCount() - deadline) > 0)
                    return Fail("the queue stayed full at record " + std::to_string(next));
                Sleep(2);
            }
        }
        ok_ = true;
    }
    void Fail(const std::string& what) {
        error_ = "adapter " + std::to_string(position_) + ": " + what;
    }

    int position_;
    uint32_t records_;
    Hook before_;
    std::thread thread_;
    std::atomic<bool> ok_{false};
    std::string error_;
};

}  // namespace svc_e2e
