#include "korrin/monitor.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "bridge/bridge_public.h"
#include "channel/protocol.h"
#include "channel/wire.h"
#include "korrin/event_security.h"
#include "korrin/messages.h"

namespace korrin {
namespace {

// Closes a Service Control Manager handle on every path.
class ScHandle {
  public:
    ScHandle(ServiceControl& scm, Handle h) : scm_(scm), h_(h) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() { Reset(); }
    Handle get() const { return h_; }
    explicit operator bool() const { return h_ != kNoHandle; }
    void Reset(Handle h = kNoHandle) {
        if (h_ != kNoHandle) scm_.CloseServiceHandle(h_);
        h_ = h;
    }

  private:
    ServiceControl& scm_;
    Handle h_;
};

// Polls a service's state once a second, at most five times, until it reaches `wanted`; a
// failed query ends the polling.
void AwaitState(ServiceControl& scm, Synchronization& sync, Handle service, uint32_t wanted) {
    uint32_t state = 0;
    if (!scm.QueryState(service, state)) return;
    for (int i = 0; i < 5 && state != wanted; ++i) {
        sync.Sleep(1000);
        if (!scm.QueryState(service, state)) return;
    }
}

}  // namespace

CKorrinThread::CKorrinThread(const MonitorPlatform& platform)
    : p_(platform), channel_(platform.adapters) {}

uint8_t CKorrinThread::Served(uint8_t count) const {
    return static_cast<uint8_t>(std::min<int>(count, kServedAdapters));
}

int CKorrinThread::Run() {
    if (InitInstance()) quitCode_ = p_.queue.RunUntilQuit();
    return ExitInstance();
}

void CKorrinThread::RequestStop() {
    {
        // Under the pause lock, so that a paused loop cannot miss it between its look at the
        // flag and its wait.
        std::lock_guard<std::mutex> hold(pauseLock_);
        stopRequested_.store(true);
    }
    pauseChanged_.notify_all();
    std::lock_guard<std::mutex> hold(terminateLock_);
    const Handle terminate = MonitorWaitHandles[0].load();
    if (terminate != kNoHandle) p_.sync.SetEvent(terminate);
}

void CKorrinThread::RequestPause() {
    std::lock_guard<std::mutex> hold(pauseLock_);
    pauseRequested_ = true;
}

void CKorrinThread::RequestContinue() {
    {
        std::lock_guard<std::mutex> hold(pauseLock_);
        pauseRequested_ = false;
    }
    pauseChanged_.notify_all();
}

bool CKorrinThread::AwaitContinue() {
    std::unique_lock<std::mutex> hold(pauseLock_);
    pauseChanged_.wait(hold, [this] { return !pauseRequested_ || stopRequested_.load(); });
    return !stopRequested_.load();
}

bool CKorrinThread::InitInstance() {
    ControllerCount = FindControllers();
    ConnectedCount = 0;
    CreatedEventCount = 0;
    MonitorWaitHandles[0].store(kNoHandle);
    if (ControllerCount == 0) return false;
    if (!ConnectBridge(ControllerCount)) {
        p_.boxes.Show(IDS_BRIDGE_ERROR);
        return false;
    }
    if (!ConnectControllers(ControllerCount)) {
        p_.boxes.Show(IDS_DPC_CREATE_FAILED);
        return false;
    }
    text_.clear();
    const Handle terminate = p_.sync.CreateNamedEvent(kTerminateEventName, false);
    if (terminate == kNoHandle) p_.boxes.Show(IDS_EVENT_CREATE_FAILED);
    {
        std::lock_guard<std::mutex> hold(terminateLock_);
        MonitorWaitHandles[0].store(terminate);
    }
    ReadAfterConnect();
    WaitLoop();
    // The wait loop is the terminate event's only user; its owner releases it here.
    {
        std::lock_guard<std::mutex> hold(terminateLock_);
        const Handle closing = MonitorWaitHandles[0].exchange(kNoHandle);
        if (closing != kNoHandle) p_.sync.CloseHandle(closing);
    }
    std::string().swap(text_);
    return true;
}

void CKorrinThread::ReadAfterConnect() {
    std::array<uint8_t, channel::events::kSize> buffer{};
    for (Backlog& b : backlog_) b = Backlog{};
    for (uint8_t a = 0; a < Served(ControllerCount); ++a) {
        if (stopRequested_.load()) return;
        // No signal asked for this read: finding nothing, or failing, is no failure to report;
        // a read that fails is tried again after a back-off.
        Serve(a, false, buffer);
    }
}

void CKorrinThread::WaitLoop() {
    std::array<uint8_t, channel::events::kSize> buffer{};
    const uint8_t served = Served(ControllerCount);
    // Where the next round starts: after the adapter served last, so that every other adapter
    // that is signalled is served before that one again.
    uint8_t next = 0;
    // Since when no adapter has signalled: the S.M.A.R.T. sweep comes after ten such minutes,
    // whatever reads of owed records happened meanwhile.
    uint64_t quietSince = p_.sync.NowMs();
    for (;;) {
        Handle handles[kServedAdapters + 1] = {};
        for (int i = 0; i <= served; ++i) handles[i] = MonitorWaitHandles[i].load();
        // A stop asked for while this thread was busy, or before the terminate event
        // existed, ends the loop here.
        if (!AwaitContinue()) return;
        if (handles[0] == kNoHandle) return;  // the terminate event could not be created
        const uint32_t result =
            p_.sync.WaitAny(handles, served + 1u, WaitTimeout(p_.sync.NowMs(), quietSince));
        // Paused during the wait: what woke it (a signal, a due read, the quiet minutes) is
        // still there after the continue.
        if (!AwaitContinue()) return;
        int woken = -1;
        if (result >= win::kWaitObject0 + 1 && result <= win::kWaitObject0 + served) {
            woken = static_cast<int>(result - win::kWaitObject0 - 1);
        } else if (result == win::kWaitTimeout) {
            if (p_.sync.NowMs() - quietSince >= kWaitTimeoutMs) {
                if (!PollAllSmartStatus(served)) return;
                quietSince = p_.sync.NowMs();
            }
        } else {
            return;
        }
        // One round: every adapter at most once, each that is signalled or due.
        int last = -1;
        bool anySignal = false;
        for (uint8_t i = 0; i < served; ++i) {
            if (stopRequested_.load()) return;
            const uint8_t a = static_cast<uint8_t>((next + i) % served);
            const bool signalled = a == woken || Signalled(a);
            if (!signalled && !Due(a, p_.sync.NowMs())) continue;
            anySignal = anySignal || signalled;
            Serve(a, signalled, buffer);
            last = a;
        }
        if (last >= 0) next = static_cast<uint8_t>((last + 1) % served);
        if (anySignal) quietSince = p_.sync.NowMs();
    }
}

uint32_t CKorrinThread::WaitTimeout(uint64_t now, uint64_t quietSince) const {
    const uint64_t quiet = now - quietSince;
    uint64_t timeout = quiet < kWaitTimeoutMs ? kWaitTimeoutMs - quiet : 0;
    for (uint8_t a = 0; a < Served(ControllerCount); ++a) {
        const Backlog& b = backlog_[a];
        if (!b.owed) continue;
        // Within the burst the wait only looks whether a stop or a signal came meanwhile.
        const uint64_t until =
            b.unsignalled < kUnsignalledReads || b.retryAt <= now ? 0 : b.retryAt - now;
        timeout = std::min(timeout, until);
    }
    return static_cast<uint32_t>(timeout);
}

bool CKorrinThread::Due(uint8_t a, uint64_t now) const {
    const Backlog& b = backlog_[a];
    return b.owed && (b.unsignalled < kUnsignalledReads || b.retryAt <= now);
}

void CKorrinThread::Serve(uint8_t a, bool signalled, std::span<uint8_t> buffer) {
    Backlog& b = backlog_[a];
    // A signal of its own gives the adapter a whole burst again.
    b.unsignalled = signalled ? 0 : std::min(b.unsignalled + 1, kUnsignalledReads);
    switch (ServeController(a, buffer, signalled)) {
        case ReadOutcome::kPartial:
            b = Backlog{};
            return;
        case ReadOutcome::kFull:
            b.owed = true;
            break;
        case ReadOutcome::kFailed:
            // Nothing tells whether records wait; asking again at once would only fail again.
            b.owed = true;
            b.unsignalled = kUnsignalledReads;
            break;
    }
    if (b.unsignalled >= kUnsignalledReads) b.retryAt = p_.sync.NowMs() + kBackoffMs;
}

bool CKorrinThread::PollAllSmartStatus(uint8_t served) {
    for (uint8_t a = 0; a < served; ++a)
        for (uint8_t port = 0; port < kSmartPollPorts; ++port)
            for (uint8_t device = 0; device < kSmartPollDevices; ++device) {
                // Up to 32 requests, each of which may take the miniport a while: a stop
                // must not wait for all of them.
                if (stopRequested_.load()) return false;
                PollSmartStatus(a, port, device);
            }
    return true;
}

bool CKorrinThread::Signalled(uint8_t controller) {
    const Handle event = MonitorWaitHandles[1 + controller].load();
    return event != kNoHandle && p_.sync.WaitAny(&event, 1, 0) == win::kWaitObject0;
}

CKorrinThread::ReadOutcome CKorrinThread::ServeController(uint8_t controller,
                                                          std::span<uint8_t> buffer, bool report) {
    // The reset comes before the read: a record the miniport queues after it signals again
    // and wakes the loop, so no record waits for a later signal. A signal whose records this
    // read takes anyway only makes a wake that finds nothing, which is no failure.
    p_.sync.ResetEvent(MonitorWaitHandles[1 + controller].load());
    bool failed = false;
    const uint32_t count = ReadControllerEvents(controller, buffer, &failed);
    if (failed) {
        if (report) p_.boxes.Show(IDS_READ_EVENTS_FAILED);
        return ReadOutcome::kFailed;
    }
    LogRecords(controller, buffer, count);
    return count >= channel::events::kMaxRecords ? ReadOutcome::kFull : ReadOutcome::kPartial;
}

void CKorrinThread::LogRecords(uint8_t controller, std::span<uint8_t> buffer, uint32_t count) {
    namespace ev = channel::events;
    for (uint32_t i = 0; i < count && i < ev::kMaxRecords; ++i) {
        std::span<uint8_t> record =
            buffer.subspan(ev::kFirstRecord + i * ev::kRecordSize, ev::kRecordSize);
        FormatEventMessage(text_, record, controller);
        const wire::ByteView fields(record.data(), record.size());
        const uint32_t id = fields.U32(ev::EventCode.offset);
        const uint32_t severity = fields.U32(ev::Severity.offset);
        if (!WriteEventLogMessage(p_.log, id, severity, text_)) p_.boxes.Show(IDS_LOG_FAILED);
    }
}

uint8_t CKorrinThread::FindControllers() {
    const int found = std::min(channel_.ProbeNt(), kServedAdapters);
    for (int a = 0; a < kMonitoredEntries; ++a) {
        std::memset(Controllers[a].DevicePath, 0, sizeof Controllers[a].DevicePath);
        if (a < found)
            std::snprintf(Controllers[a].DevicePath, sizeof Controllers[a].DevicePath, "%s",
                          channel_.AdapterName(a));
    }
    return static_cast<uint8_t>(found);
}

bool CKorrinThread::DriverPathFor(const std::string& programPath, std::string& driverPath) {
    const size_t at = programPath.find(kProgramNameInPath);
    if (at == std::string::npos) return false;
    driverPath = programPath.substr(0, at) + kBridgeDriverFile;
    return true;
}

bool CKorrinThread::InstallBridgeService() {
    ServiceControl& scm = p_.scm;
    ScHandle manager(scm, scm.OpenManager(win::kGenericReadWrite));
    if (!manager) return false;
    const char* name = LoadText(IDS_BRIDGE_SERVICE_NAME);
    ScHandle service(scm, scm.OpenServiceEntry(manager.get(), name, win::kServiceAllAccess));
    if (service && (scm.StartServiceEntry(service.get()) ||
                    scm.LastError() == win::kErrorServiceAlreadyRunning))
        return true;

    bool result = false;
    const Handle lock = scm.LockDatabase(manager.get());
    if (service) {
        // A registration left behind (for example with another path) is replaced.
        scm.DeleteServiceEntry(service.get());
        service.Reset();
        p_.sync.Sleep(1000);
    }
    std::string program, driver;
    if (p_.module.ModulePath(program) && DriverPathFor(program, driver)) {
        const ServiceConfig config{name,
                                   kBridgeDisplayName,
                                   win::kServiceAllAccess,
                                   win::kServiceKernelDriver,
                                   win::kServiceDemandStart,
                                   win::kServiceErrorIgnore,
                                   driver.c_str(),
                                   nullptr,
                                   nullptr};
        service.Reset(scm.CreateServiceEntry(manager.get(), config));
        result = static_cast<bool>(service);
    }
    if (lock != kNoHandle) scm.UnlockDatabase(lock);
    return result;
}

bool CKorrinThread::StartBridgeService() {
    ServiceControl& scm = p_.scm;
    ScHandle manager(scm, scm.OpenManager(win::kGenericReadWrite));
    if (!manager) return false;
    ScHandle service(scm, scm.OpenServiceEntry(manager.get(), LoadText(IDS_BRIDGE_SERVICE_NAME),
                                               win::kServiceAllAccess));
    if (!service) return false;
    if (!scm.StartServiceEntry(service.get()) &&
        scm.LastError() != win::kErrorServiceAlreadyRunning)
        return false;
    // Opening the bridge's device afterwards is the real test of a started driver.
    AwaitState(scm, p_.sync, service.get(), win::kServiceRunning);
    return true;
}

bool CKorrinThread::ConnectBridge(uint8_t count) {
    if (!InstallBridgeService() || !StartBridgeService()) return false;
    const Handle device = p_.bridge.Open(BRIDGE_USER_DEVICE_PATH);
    if (device == kNoHandle) return false;
    bool ok = count > 0;
    const EventDescriptor descriptor = AdapterEventDescriptor();
    for (uint8_t a = 0; ok && a < Served(count); ++a) {
        MonitoredController& c = Controllers[a];
        c.BridgeSlot = BRIDGE_NO_SLOT;
        c.BridgeDpcAddress = 0;
        char name[16];
        std::snprintf(name, sizeof name, "VEXMOND-%d", a);
        const std::string objectName = std::string(kKernelObjectPrefix) + name;
        const SecuredEvent created =
            p_.sync.CreateSecuredEvent(objectName.c_str(), true, descriptor);
        if (created.handle == kNoHandle) {
            ok = false;
            break;
        }
        // An event of this name that another user made first is theirs to set and reset: tied
        // to the adapter, it would let them hide its events or wake the monitor at will. It is
        // not used, and the start fails. An event that a run of the service before this one
        // made (the bridge still holds it while it stays loaded) has an owner of the service's.
        if (created.existed && !IsTrustedEventOwner(created.owner)) {
            p_.sync.CloseHandle(created.handle);
            ok = false;
            break;
        }
        const Handle event = created.handle;
        MonitorWaitHandles[1 + a].store(event);
        ++CreatedEventCount;

        // The name is ASCII, which every ANSI code page widens unchanged.
        std::memset(c.EventName, 0, sizeof c.EventName);
        for (size_t i = 0; name[i] && i + 1 < std::size(c.EventName); ++i)
            c.EventName[i] = static_cast<char16_t>(static_cast<unsigned char>(name[i]));
        uint8_t input[sizeof c.EventName] = {};
        const wire::ByteView name16(input, sizeof input);
        for (size_t i = 0; i < std::size(c.EventName); ++i)
            name16.Put16(2 * i, static_cast<uint16_t>(c.EventName[i]));
        uint8_t slot[BRIDGE_SLOT_REPLY_SIZE] = {};
        uint32_t returned = 0;
        if (!p_.bridge.Control(device, IOCTL_BRIDGE_REGISTER_EVENT, input, sizeof input, slot,
                               sizeof slot, returned) ||
            returned < sizeof slot) {
            ok = false;
            break;
        }
        c.BridgeSlot = wire::ByteView(slot, sizeof slot).U32(0);
        if (c.BridgeSlot == BRIDGE_NO_SLOT) continue;

        // The slot index travels as wide as the bridge's pointers, its upper bytes zero.
        uint8_t index[BRIDGE_DPC_QUERY_INPUT_SIZE] = {};
        wire::ByteView(index, sizeof index).Put64(0, c.BridgeSlot);
        uint8_t address[BRIDGE_DPC_REPLY_SIZE] = {};
        if (!p_.bridge.Control(device, IOCTL_BRIDGE_QUERY_DPC, index, sizeof index, address,
                               sizeof address, returned) ||
            returned < sizeof address) {
            ok = false;
            break;
        }
        c.BridgeDpcAddress = wire::ByteView(address, sizeof address).U64(0);
    }
    p_.bridge.Close(device);
    return ok;
}

bool CKorrinThread::ConnectControllers(uint8_t count) {
    namespace dpc = channel::event_dpc;
    for (uint8_t a = 0; a < Served(count); ++a) {
        const MonitoredController& c = Controllers[a];
        if (c.BridgeDpcAddress == 0) return false;
        channel::Request request(channel::MPCMD_REGISTER_EVENT_DPC);
        request.view().Put64(dpc::DpcAddress.offset, c.BridgeDpcAddress);
        request.view().Put32(dpc::DpcSlot.offset, c.BridgeSlot);
        if (!channel_.SendOnce(a, request)) return false;
        ++ConnectedCount;
    }
    return true;
}

bool CKorrinThread::DisconnectControllers(uint8_t count) {
    bool ok = true;
    for (uint8_t a = 0; a < Served(count); ++a) {
        channel::Request request(channel::MPCMD_UNREGISTER_EVENT_DPC);
        if (!channel_.SendOnce(a, request)) ok = false;
    }
    return ok;
}

bool CKorrinThread::RemoveBridgeService() {
    ServiceControl& scm = p_.scm;
    ScHandle manager(scm, scm.OpenManager(win::kGenericReadWrite));
    if (!manager) return false;
    const Handle lock = scm.LockDatabase(manager.get());
    bool result = false;
    ScHandle service(scm, scm.OpenServiceEntry(manager.get(), LoadText(IDS_BRIDGE_SERVICE_NAME),
                                               win::kServiceAllAccess));
    if (!service) {
        result = scm.LastError() == win::kErrorServiceDoesNotExist;
    } else if (scm.ControlServiceEntry(service.get(), win::kServiceControlStop) ||
               scm.LastError() == win::kErrorServiceNotActive) {
        // A driver that never started (its file missing, its signature refused) is not active:
        // it is stopped already, and only its entry is left to delete.
        AwaitState(scm, p_.sync, service.get(), win::kServiceStopped);
        result = scm.DeleteServiceEntry(service.get());
    }
    if (lock != kNoHandle) scm.UnlockDatabase(lock);
    return result;
}

uint32_t CKorrinThread::ReadControllerEvents(uint8_t controller, std::span<uint8_t> buffer,
                                             bool* failed) {
    namespace ev = channel::events;
    if (failed) *failed = true;
    if (buffer.size() != ev::kSize) return 0;
    const wire::ByteView view(buffer.data(), buffer.size());
    view.Zero();
    channel::BuildEnvelope(view, channel::MPCMD_READ_EVENTS);
    const channel::OpenDevice device = channel_.OpenAdapter(controller);
    if (!device.Control(buffer) || !channel::ReplySucceeded(view, channel::MPCMD_READ_EVENTS))
        return 0;
    if (failed) *failed = false;
    // Held to the twenty records the buffer has room for.
    return channel::EventRecordCount(view);
}

void CKorrinThread::PollSmartStatus(uint8_t controller, uint8_t port, uint8_t device) {
    namespace smart = channel::smart_status;
    channel::Request request(channel::MPCMD_GET_SMART_STATUS);
    request.view().Put8(smart::Controller.offset, controller);
    request.view().Put8(smart::Port.offset, port);
    request.view().Put8(smart::Device.offset, device);
    channel_.SendOnce(controller, request);  // the reply is not used
}

int CKorrinThread::ExitInstance() {
    // Each step may keep the thread at a warning box for as long as nobody closes it, and the
    // driver's stop is polled for seconds: every finished step is reported as progress.
    const auto stepDone = [this] {
        if (exitStep_) exitStep_();
    };
    // Every adapter found is withdrawn from the bridge, not only those this start connected: an
    // adapter that a start failed before connecting may still hold the DPC address that a run
    // before this one registered and never withdrew (it crashed, or its withdrawal failed).
    const bool withdrawn = DisconnectControllers(ControllerCount);
    if (!withdrawn) p_.boxes.Show(IDS_DPC_DELETE_FAILED);
    ConnectedCount = 0;
    stepDone();
    for (uint8_t a = 0; a < CreatedEventCount && a < kMonitoredEntries; ++a) {
        const Handle event = MonitorWaitHandles[1 + a].exchange(kNoHandle);
        if (event != kNoHandle) p_.sync.CloseHandle(event);
    }
    CreatedEventCount = 0;
    stepDone();
    // The bridge is unloaded only when no adapter can call it any more: a miniport that still
    // holds a DPC address would queue a DPC object in freed pool whose routine lies in an unloaded
    // image. Left loaded, the bridge keeps its slots and events, and the next start registers
    // the same names, finds the same slots and connects every adapter again.
    if (ControllerCount != 0 && (!withdrawn || !RemoveBridgeService()))
        p_.boxes.Show(IDS_UNLOAD_BRIDGE_FAILED);
    stepDone();
    return quitCode_;
}

}  // namespace korrin
