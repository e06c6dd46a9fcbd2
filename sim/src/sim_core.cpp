// Freestanding request handling of the adapter simulator. See sim_core.h.
#include "sim/sim_core.h"

namespace sim {
namespace {

using namespace channel;

void Fill(void* dst, uint8_t value, size_t n) {
    auto* d = static_cast<volatile uint8_t*>(dst);
    for (size_t i = 0; i < n; ++i) d[i] = value;
}

void Copy(void* dst, const void* src, size_t n) {
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
}

bool SignatureMatches(const wire::ByteView& buf) {
    for (size_t i = 0; i < sizeof env::kSignature; ++i)
        if (buf.U8(env::Signature.offset + i) != static_cast<uint8_t>(env::kSignature[i]))
            return false;
    return true;
}

SimAdapter* AdapterAt(SimPopulation& pop, int position) {
    if (position < 0 || position >= kPositions) return nullptr;
    SimAdapter& a = pop.adapters[position];
    return a.exists ? &a : nullptr;
}

uint32_t MiniportAdapterCount(const SimPopulation& pop) {
    uint32_t n = 0;
    for (const SimAdapter& a : pop.adapters)
        if (a.exists && !a.foreign) ++n;
    return n;
}

// Queues the adapter's notification, when one is registered: the bridge's deferred routine
// runs with its first argument pointing at the registered slot index.
void Signal(SimAdapter& adapter, const SignalHook* hook) {
    if (!adapter.dpcRegistered || !hook || !hook->signal) return;
    ++adapter.signalsSent;
    hook->signal(hook->context, adapter.dpcAddress, &adapter.dpcSlot);
}

// Copies a text into a reply field as the adapter holds it: up to the field's width, with
// no terminator added when the adapter's text fills the field.
void PutRawText(const wire::ByteView& buf, wire::Field f, const char* text, size_t textCapacity) {
    for (size_t i = 0; i < f.width; ++i)
        buf.Put8(f.offset + i, i < textCapacity ? static_cast<uint8_t>(text[i]) : 0);
}

// The reply for one accepted command. Returns the ReturnCode to report, before faults.
// `adapter` is the adapter that answers: the one whose device is open, or on \\.\KIRNDEV the
// one the request's Controller byte names.
uint32_t Answer(SimPopulation& pop, SimAdapter* adapter, const CommandSpec& info,
                const wire::ByteView& buf, const SignalHook* hook) {
    const uint32_t ok = info.SuccessCode();
    const uint32_t refused = 0;
    switch (info.command) {
        case MPCMD_GET_ADAPTER_COUNT:
            return MiniportAdapterCount(pop);
        case MPCMD_GET_DRIVER_VERSION:
            if (!adapter) return refused;
            for (int i = 0; i < 4; ++i)
                buf.Put16(driver_version::VersionPart[i].offset, adapter->versionPart[i]);
            return ok;
        case MPCMD_GET_CONTROLLER_INFO:
            if (!adapter) return refused;
            // Bytes the programs do not read carry something, as a real reply would.
            for (size_t i = controller_info::Controller.End(); i < controller_info::kSize; ++i)
                buf.Put8(i, 0xA5);
            if (adapter->replyControllerSet)
                buf.Put8(controller_info::Controller.offset, adapter->replyController);
            buf.Put32(controller_info::PciDeviceId.offset, adapter->pciDeviceId);
            buf.Put16(controller_info::PortCount.offset, adapter->portCount);
            buf.Put16(controller_info::DevicesPerPort.offset, adapter->devicesPerPort);
            return ok;
        case MPCMD_GET_DEVICE_INFO: {
            if (!adapter) return refused;
            const uint8_t p = buf.U8(device_info::Port.offset);
            const uint8_t d = buf.U8(device_info::Device.offset);
            for (size_t i = device_info::DeviceFlags.offset; i < device_info::kSize; ++i)
                buf.Put8(i, 0);
            if (p >= adapter->portCount || d >= adapter->devicesPerPort) return refused;
            if (p >= kPorts || d >= kDevicesPerPort) return ok;  // nothing attached there
            const SimDevice& dev = adapter->devices[p][d];
            if (!dev.present) return ok;
            uint16_t flags = static_cast<uint16_t>(dev.extraFlags | device_info::kFlagPresent);
            if (dev.packet) flags |= device_info::kFlagPacket;
            buf.Put16(device_info::DeviceFlags.offset, flags);
            buf.Put8(device_info::PioMode.offset, dev.pioMode);
            buf.Put8(device_info::DmaMode.offset, dev.dmaMode);
            buf.Put8(device_info::UdmaMode.offset, dev.udmaMode);
            PutRawText(buf, device_info::ModelName, dev.model, sizeof dev.model);
            buf.Put16(device_info::Cylinders.offset, dev.cylinders);
            buf.Put8(device_info::Heads.offset, dev.heads);
            buf.Put8(device_info::SectorsPerTrack.offset, dev.sectorsPerTrack);
            buf.Put32(device_info::CapacitySectors.offset, dev.capacitySectors);
            PutRawText(buf, device_info::SerialNumber, dev.serial, sizeof dev.serial);
            PutRawText(buf, device_info::FirmwareVersion, dev.firmware, sizeof dev.firmware);
            return ok;
        }
        case MPCMD_GET_ENCLOSURE_STATUS: {
            if (!adapter) return refused;
            const uint8_t p = buf.U8(enclosure_status::Port.offset);
            for (size_t i = enclosure_status::BayLocation.offset; i < enclosure_status::kSize; ++i)
                buf.Put8(i, 0);
            if (p >= adapter->portCount) return refused;
            if (p >= kPorts) return ok;
            const SimEnclosure& e = adapter->enclosures[p];
            buf.Put8(enclosure_status::BayLocation.offset, e.bayLocation);
            buf.Put8(enclosure_status::EnclosureType.offset, e.type);
            buf.Put16(enclosure_status::Temperature1.offset, e.temperature1);
            buf.Put16(enclosure_status::Temperature2.offset, e.temperature2);
            buf.Put16(enclosure_status::Fan1Rpm.offset, e.fan1Rpm);
            buf.Put16(enclosure_status::Fan2Rpm.offset, e.fan2Rpm);
            buf.Put16(enclosure_status::Voltage5.offset, e.voltage5);
            buf.Put16(enclosure_status::Voltage12.offset, e.voltage12);
            return ok;
        }
        case MPCMD_GET_SMART_STATUS: {
            if (!adapter) return refused;
            const uint8_t p = buf.U8(smart_status::Port.offset);
            const uint8_t d = buf.U8(smart_status::Device.offset);
            if (p >= kPorts || d >= kDevicesPerPort || p >= adapter->portCount ||
                d >= adapter->devicesPerPort || !adapter->devices[p][d].present)
                return refused;
            buf.Put8(smart_status::SmartState.offset, adapter->devices[p][d].smartState);
            return ok;
        }
        case MPCMD_GET_CONTROLLER_NAME:
            if (!adapter) return refused;
            PutRawText(buf, controller_name::ControllerName, adapter->name, sizeof adapter->name);
            return ok;
        case MPCMD_READ_BIOS:
            if (!adapter) return refused;
            if (buf.U32(bios::FlashOffset.offset) != 0 ||
                buf.U32(bios::FlashSizeKb.offset) != bios::kFlashSizeKb)
                return refused;
            Copy(buf.data() + bios::BiosImage.offset, adapter->bios, kBiosSize);
            return ok;
        case MPCMD_WRITE_BIOS:
            if (!adapter) return refused;
            if (buf.U32(bios::FlashOffset.offset) != 0 ||
                buf.U32(bios::FlashSizeKb.offset) != bios::kFlashSizeKb)
                return refused;
            Copy(adapter->bios, buf.data() + bios::BiosImage.offset, kBiosSize);
            return ok;
        case MPCMD_READ_EVENTS: {
            if (!adapter) return refused;
            uint32_t n = adapter->queuedEvents < events::kMaxRecords ? adapter->queuedEvents
                                                                     : events::kMaxRecords;
            for (size_t i = events::EventCount.End(); i < events::kSize; ++i) buf.Put8(i, 0);
            for (uint32_t i = 0; i < n; ++i)
                Copy(buf.data() + events::kFirstRecord + i * events::kRecordSize,
                     adapter->eventRecords[i], events::kRecordSize);
            for (uint32_t i = n; i < adapter->queuedEvents; ++i)
                Copy(adapter->eventRecords[i - n], adapter->eventRecords[i], events::kRecordSize);
            adapter->queuedEvents -= n;
            buf.Put32(events::EventCount.offset,
                      adapter->eventCountOverride ? adapter->eventCountOverride : n);
            // Records still waiting are announced again, but not by an edge-signalling
            // miniport: its queue did not become non-empty.
            if (adapter->queuedEvents && adapter->signalling != kSignalEdge) Signal(*adapter, hook);
            return ok;
        }
        case MPCMD_REGISTER_EVENT_DPC:
            if (!adapter) return refused;
            adapter->dpcAddress = buf.U64(event_dpc::DpcAddress.offset);
            adapter->dpcSlot = static_cast<int32_t>(buf.U32(event_dpc::DpcSlot.offset));
            adapter->dpcRegistered = adapter->dpcAddress != 0;
            if (!adapter->dpcRegistered) return refused;
            // Records that waited for the registration are announced by a generous miniport
            // only; the others leave them for the service to read.
            if (adapter->queuedEvents && adapter->signalling == kSignalGenerous)
                Signal(*adapter, hook);
            return ok;
        case MPCMD_UNREGISTER_EVENT_DPC:
            if (!adapter) return refused;
            adapter->dpcRegistered = 0;
            adapter->dpcAddress = 0;
            return ok;
        case MPCMD_ATA_COMMAND: {
            if (!adapter) return refused;
            const uint8_t p = buf.U8(ata::Port.offset);
            const uint8_t d = buf.U8(ata::Device.offset);
            if (p >= kPorts || d >= kDevicesPerPort || p >= adapter->portCount ||
                !adapter->devices[p][d].present)
                return refused;
            if (buf.U8(ata::AlwaysOne.offset) != 1 ||
                buf.U8(ata::AtaCommand.offset) != ata::kSetFeatures ||
                buf.U8(ata::AtaFeatures.offset) != ata::kSetTransferMode)
                return refused;
            SimDevice& dev = adapter->devices[p][d];
            dev.lastAtaSectorCount = buf.U16(ata::AtaSectorCount.offset);
            ++dev.ataCommands;
            return ok;
        }
        default:
            return refused;
    }
}

}  // namespace

int CommandIndex(uint32_t command) {
    for (size_t i = 0; i < kCommandCount; ++i)
        if (kCommands[i].command == command) return static_cast<int>(i);
    return -1;
}

void ClearPopulation(SimPopulation& pop) {
    Fill(&pop, 0, sizeof pop);
    pop.magic = kPopulationMagic;
    pop.size = sizeof pop;
    pop.legacyCountOverride = -1;
}

void FillBiosImage(uint8_t* image, uint16_t pciDeviceId, const char* version) {
    // A recognisable option-ROM-like body: signature, a pattern, the identifiers the update
    // checks, the version line, and a final byte that makes the 8-bit sum zero.
    for (size_t i = 0; i < kBiosSize; ++i) image[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
    image[0] = 0x55;
    image[1] = 0xAA;
    image[0x20] = static_cast<uint8_t>(pciDeviceId);
    image[0x21] = static_cast<uint8_t>(pciDeviceId >> 8);
    image[0x22] = 0x7C;
    image[0x23] = 0x1E;
    // Nothing before the real version text may look like "V..s..n".
    for (size_t i = 0; i + 6 < kBiosSize; ++i)
        if (image[i] == 'V' && image[i + 3] == 's' && image[i + 6] == 'n') image[i] = 0;
    const char kWord[] = "Version ";
    size_t at = 0x200;
    for (size_t i = 0; kWord[i]; ++i) image[at++] = static_cast<uint8_t>(kWord[i]);
    for (size_t i = 0; version && version[i] && at < 0x280; ++i)
        image[at++] = static_cast<uint8_t>(version[i]);
    image[at++] = '\r';
    image[at++] = '\n';
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < kBiosSize; ++i) sum = static_cast<uint8_t>(sum + image[i]);
    image[kBiosSize - 1] = static_cast<uint8_t>(0x100 - sum);
}

int PositionFromName(const char* name) {
    if (!name) return kNoPosition;
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    auto equals = [&](const char* a, const char* b) {
        for (; *a && *b; ++a, ++b)
            if (lower(*a) != lower(*b)) return false;
        return *a == *b;
    };
    if (equals(name, "\\\\.\\KIRNDEV")) return kLegacyPosition;
    const char kPrefix[] = "\\\\.\\scsi";
    size_t i = 0;
    for (; kPrefix[i]; ++i)
        if (lower(name[i]) != kPrefix[i]) return kNoPosition;
    if (name[i] < '0' || name[i] > '9' || name[i + 1] != ':' || name[i + 2] != '\0')
        return kNoPosition;
    return name[i] - '0';
}

bool OpenPosition(SimPopulation& pop, int position) {
    if (position == kLegacyPosition) {
        if (!pop.legacyDevice || pop.legacyOpenFails) {
            ++pop.legacyCounters.failedOpens;
            return false;
        }
        ++pop.legacyCounters.opens;
        return true;
    }
    SimAdapter* a = AdapterAt(pop, position);
    if (!a) return false;
    if (a->openFails) {
        ++a->counters.failedOpens;
        return false;
    }
    ++a->counters.opens;
    return true;
}

void ClosePosition(SimPopulation& pop, int position) {
    if (position == kLegacyPosition) {
        ++pop.legacyCounters.closes;
        return;
    }
    if (SimAdapter* a = AdapterAt(pop, position)) ++a->counters.closes;
}

int PositionOfController(const SimPopulation& pop, uint32_t controller) {
    uint32_t n = 0;
    for (int i = 0; i < kPositions; ++i) {
        const SimAdapter& a = pop.adapters[i];
        if (!a.exists || a.foreign) continue;
        if (n++ == controller) return i;
    }
    return kNoPosition;
}

bool HandleRequest(SimPopulation& pop, int position, uint8_t* buffer, size_t inputLength,
                   size_t outputLength, const SignalHook* hook) {
    const bool legacy = position == kLegacyPosition;
    SimAdapter* device = legacy ? nullptr : AdapterAt(pop, position);
    SimCounters* counters = legacy ? &pop.legacyCounters : (device ? &device->counters : nullptr);
    if (!counters) return false;
    ++counters->requests;

    // The miniport accepts only requests that carry its signature and control code, in a
    // buffer large enough for the header and the command; anything else fails the call.
    if (!buffer || inputLength < env::kHeaderLength || outputLength < env::kHeaderLength)
        return false;
    if (device && device->foreign) return false;
    wire::ByteView in(buffer, inputLength);
    if (!SignatureMatches(in) || in.U32(env::ControlCode.offset) != env::kControlCode ||
        in.U32(env::HeaderLength.offset) != env::kHeaderLength)
        return false;
    if (inputLength < env::DataLength.offset) return false;
    const CommandSpec* info = FindCommand(in.U32(env::Command.offset));
    if (!info || inputLength < info->size || outputLength < info->size) return false;
    // The envelope must describe the command's own buffer; a request built with the wrong
    // Length or DataLength is not the miniport's.
    if (in.U32(env::Length.offset) != info->Length() ||
        (info->hasDataLength && in.U32(env::DataLength.offset) != info->DataLength()))
        return false;
    wire::ByteView buf(buffer, info->size);
    const int index = CommandIndex(info->command);
    ++counters->byCommand[index];

    // On \\.\KIRNDEV the adapter is named by the request's Controller byte; commands that
    // carry none are answered by the first adapter.
    SimAdapter* adapter = device;
    if (legacy) {
        uint32_t controller = 0;
        switch (info->command) {
            case MPCMD_GET_CONTROLLER_INFO:
            case MPCMD_GET_DEVICE_INFO:
            case MPCMD_GET_SMART_STATUS:
            case MPCMD_READ_BIOS:
            case MPCMD_WRITE_BIOS:
                controller = buf.U8(env::kPayload);
                break;
            default:
                break;
        }
        adapter = AdapterAt(pop, PositionOfController(pop, controller));
    }

    const CommandFault fault = adapter ? adapter->faults[index] : CommandFault{};
    if (fault.kind == kFaultCallFails) return false;

    uint32_t returnCode = Answer(pop, adapter, *info, buf, hook);
    if (legacy && info->command == MPCMD_GET_ADAPTER_COUNT && pop.legacyCountOverride >= 0)
        returnCode = static_cast<uint32_t>(pop.legacyCountOverride);
    if (fault.kind == kFaultReturnCodeOff) returnCode += static_cast<uint32_t>(fault.delta);
    buf.Put32(env::ReturnCode.offset, returnCode);
    return true;
}

bool QueueEvent(SimPopulation& pop, int position, const uint8_t* record40, const SignalHook* hook) {
    SimAdapter* a = AdapterAt(pop, position);
    if (!a || a->queuedEvents >= kEventQueue) return false;
    const uint32_t before = a->queuedEvents;
    Copy(a->eventRecords[a->queuedEvents++], record40, events::kRecordSize);
    // An edge-signalling miniport announces only a record that lands in an empty queue.
    if (a->signalling != kSignalEdge || before == 0) Signal(*a, hook);
    return true;
}

uint32_t QueueEvents(SimPopulation& pop, int position, const uint8_t* records, uint32_t count,
                     bool signal, const SignalHook* hook) {
    SimAdapter* a = AdapterAt(pop, position);
    if (!a) return 0;
    const uint32_t before = a->queuedEvents;
    uint32_t queued = 0;
    for (; queued < count && a->queuedEvents < kEventQueue; ++queued)
        Copy(a->eventRecords[a->queuedEvents++], records + queued * events::kRecordSize,
             events::kRecordSize);
    // An edge-signalling miniport announces a batch only when it landed in an empty queue.
    if (signal && (a->signalling != kSignalEdge || (before == 0 && queued > 0))) Signal(*a, hook);
    return queued;
}

void MakeEventRecord(uint8_t* record40, uint32_t eventCode, uint32_t severity, uint32_t portIndex,
                     uint32_t diskIndex, uint32_t eventValue) {
    wire::ByteView r(record40, events::kRecordSize);
    r.Zero();
    r.Put32(events::EventCode.offset, eventCode);
    r.Put32(events::Severity.offset, severity);
    r.Put32(events::PortIndex.offset, portIndex);
    r.Put32(events::DiskIndex.offset, diskIndex);
    r.Put32(events::EventValue.offset, eventValue);
}

}  // namespace sim
