#include "manager/core/discovery.h"

#include <algorithm>
#include <cstring>

namespace halv {
namespace {

using namespace channel;

// Copies `text` into a fixed char field, cut at the field's end so the zero always fits.
template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    const size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

void AskDriverVersion(ManagerTables& tables, const OpenDevice& device) {
    Request r(MPCMD_GET_DRIVER_VERSION);
    const std::string text = MiniportChannel::Send(device, r) ? DriverVersionText(r.view())
                                                              : std::string(kTemporarilyUnknown);
    // Four five-digit parts make 23 characters; the field holds 19: the end is cut off.
    CopyText(tables.DriverVersionText, text);
}

// One adapter's records and its branch of the tree; the adapter's device stays open for all
// its own requests.
void DiscoverAdapter(ManagerTables& tables, DiscoveryPorts& ports, int a) {
    OpenDevice device = ports.channel.OpenAdapter(a);
    if (!device) return;

    ControllerInfoRecord& info = tables.ControllerInfoTable[a];
    {
        Request r(MPCMD_GET_CONTROLLER_INFO);
        r.view().Put8(controller_info::Controller.offset, static_cast<uint8_t>(a));
        if (!MiniportChannel::Send(device, r)) return;
        std::copy(r.bytes().begin(), r.bytes().end(), info.begin());
    }
    {
        Request r(MPCMD_GET_CONTROLLER_NAME);
        tables.ControllerNames[a] = MiniportChannel::Send(device, r)
                                        ? FieldText(r.view(), controller_name::ControllerName)
                                        : std::string();
    }

    const wire::ByteView infoView = tables.ControllerInfo(a);
    // The adapter's label goes by the Controller byte of the reply, as the adapter gave it
    // back; a reply naming an adapter outside the tables falls back to this adapter's own.
    uint8_t replied = infoView.U8(controller_info::Controller.offset);
    if (replied >= kMaxAdapters) replied = static_cast<uint8_t>(a);
    // Without the root item (the tree could not make it) an adapter would land at the top
    // level, outside the list it belongs to: it gets no item, like one the tree refuses.
    const TreeItem adapterItem =
        tables.RootItem == kNoItem
            ? kNoItem
            : ports.tree.InsertItem(
                  ModelNameFor(tables, infoView.U32(controller_info::PciDeviceId.offset), replied),
                  kImageAdapter, tables.RootItem);
    if (adapterItem == kNoItem) return;  // no branch to hang its ports on
    ControllerEntry& entry = tables.ControllerEntries[a];
    entry.Item = adapterItem;
    entry.Controller = static_cast<uint8_t>(a);
    std::memcpy(entry.DriverVersion, tables.DriverVersionText, sizeof tables.DriverVersionText);

    // The tables hold four ports of eight devices; an adapter reporting more has the surplus
    // left out rather than written past the tables.
    const int portCount = std::min<int>(infoView.U16(controller_info::PortCount.offset), kMaxPorts);
    const int devicesPerPort =
        std::min<int>(infoView.U16(controller_info::DevicesPerPort.offset), kMaxDevicesPerPort);
    for (int p = 0; p < portCount; ++p) {
        const TreeItem portItem =
            ports.tree.InsertItem(PortLabel(static_cast<uint8_t>(p)), kImagePort, adapterItem);
        // Without its port item a port's devices have no branch to hang on: inserted with no
        // parent they would land at the top level beside the root. The port is left out.
        if (portItem == kNoItem) continue;
        tables.PortItems[a][p] = portItem;
        for (int d = 0; d < devicesPerPort; ++d) {
            DeviceInfoRecord& record = tables.DeviceInfoTable[a][p][d];
            Request r(MPCMD_GET_DEVICE_INFO);
            r.view().Put8(device_info::Controller.offset, static_cast<uint8_t>(a));
            r.view().Put8(device_info::Port.offset, static_cast<uint8_t>(p));
            r.view().Put8(device_info::Device.offset, static_cast<uint8_t>(d));
            const bool ok = MiniportChannel::Send(device, r);
            // Only a good reply is kept: a failed one must not leave a removed device's
            // bytes behind for the next refresh.
            if (ok) std::copy(r.bytes().begin(), r.bytes().end(), record.begin());
            const wire::ByteView rec = tables.DeviceInfo(a, p, d);
            const uint16_t flags = rec.U16(device_info::DeviceFlags.offset);
            if (!ok || !(flags & device_info::kFlagPresent)) continue;

            const bool packet = (flags & device_info::kFlagPacket) != 0;
            const TreeItem deviceItem =
                ports.tree.InsertItem(FieldText(rec, device_info::ModelName),
                                      packet ? kImagePacket : kImageDisk, portItem);
            // A device without an item cannot be selected: its entry stays empty.
            if (deviceItem == kNoItem) continue;
            DeviceEntry& dev = tables.DeviceEntries[a][p][d];
            dev.Item = deviceItem;
            dev.Controller = static_cast<uint8_t>(a);
            dev.Port = static_cast<uint8_t>(p);
            dev.Device = static_cast<uint8_t>(d);
            dev.IsPacket = packet ? 1 : 0;
            dev.SmartFlags = 0;
            dev.HasEnclosure = 0;

            Request smart(MPCMD_GET_SMART_STATUS);
            smart.view().Put8(smart_status::Controller.offset, static_cast<uint8_t>(a));
            smart.view().Put8(smart_status::Port.offset, static_cast<uint8_t>(p));
            smart.view().Put8(smart_status::Device.offset, static_cast<uint8_t>(d));
            if (MiniportChannel::Send(device, smart)) {
                const uint8_t state = smart.view().U8(smart_status::SmartState.offset);
                if (state != smart_status::kNotSupported) {
                    dev.SmartFlags |= kSmartSupported;
                    if (state != smart_status::kNotEnabled) dev.SmartFlags |= kSmartEnabled;
                }
            }
            if (ports.channel.QueryEnclosure(static_cast<uint8_t>(a), static_cast<uint8_t>(p)) == 1)
                dev.HasEnclosure = 1;
        }
    }
}

}  // namespace

void EnumerateAdapters(ManagerTables& tables, DiscoveryPorts& ports) {
    for (auto& r : tables.ControllerInfoTable) r.fill(0);
    for (auto& byPort : tables.DeviceInfoTable)
        for (auto& byDevice : byPort)
            for (auto& r : byDevice) r.fill(0);
    tables.ControllerEntries.fill(ControllerEntry{});
    for (auto& p : tables.PortItems) p.fill(kNoItem);
    for (auto& byPort : tables.DeviceEntries)
        for (auto& byDevice : byPort) byDevice.fill(DeviceEntry{});

    ports.tree.DeleteAllItems();
    tables.RootItem = ports.tree.InsertItem(kRootText, kImageRoot, kNoItem);

    int count = 0;
    auto askVersion = [&](const OpenDevice& device) { AskDriverVersion(tables, device); };
    switch (ports.version.PlatformId()) {
        case 1:
            count = ports.channel.ProbeLegacy(askVersion);
            break;
        case 2:
            count = ports.channel.ProbeNt(askVersion);
            break;
        default:
            count = 0;
            break;
    }
    for (int a = 0; a < count; ++a)
        CopyText(tables.ControllerEntries[a].DevicePath,
                 ports.channel.LegacyPlatform() ? std::string()
                                                : std::string(ports.channel.AdapterName(a)));

    if (count > 0) {
        const uint8_t setting = ports.queuedCommands.QueuedCommandSetting(kQueuedCommandRead);
        if (ports.updateQueuedCommandMenu) ports.updateQueuedCommandMenu(setting);
        for (int a = 0; a < count; ++a) DiscoverAdapter(tables, ports, a);
    }

    if (ports.tree.FirstChild(tables.RootItem) != kNoItem) ports.tree.Expand(tables.RootItem);
}

std::string ModelNameFor(const ManagerTables& tables, uint32_t pciDeviceId, uint8_t controller) {
    if (controller < kMaxAdapters && !tables.ControllerNames[controller].empty())
        return tables.ControllerNames[controller];
    switch (pciDeviceId) {
        case 0x6A11:
            return "Velo150 Onboard";
        case 0x6A12:
            return "Velo300 Onboard";
        case 0x6A21:
            return "Velo300 Quad";
        case 0x6A22:
            return "Velo150 Quad";
        case 0x6A31:
            return "Velo300 Duo Plus";
        case 0x6A32:
            return "Velo150 Duo Plus";
        default:
            return "Unknow";
    }
}

std::string PortLabel(uint8_t port) {
    if (port < 4) return "Port-" + std::to_string(port + 1);
    return "Port-?";
}

std::string FieldText(const wire::ByteView& record, wire::Field field) {
    return std::string(record.TextStart(field), record.TextLength(field));
}

}  // namespace halv
