// Whole discovery passes of the manager over replies from the fuzzer, on the NT family, on
// Windows 9x and on an unknown platform, one refresh after another on the same tables.
// Afterwards: every text field is terminated inside its width, nothing lies in the tables
// beyond the adapters found, and the tree is exactly what the tables say.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "fuzz_tree.h"
#include "fuzzed_devices.h"
#include "manager/core/discovery.h"
#include "manager/core/tables.h"

namespace {

using namespace halv;
using halv_fuzz::FuzzedDevices;
using halv_fuzz::FuzzTree;

class FuzzVersion final : public channel::SystemVersion {
  public:
    uint32_t id = 2;
    uint32_t PlatformId() const override { return id; }
};

class FuzzQueuedCommands final : public QueuedCommandStore {
  public:
    explicit FuzzQueuedCommands(FuzzedDataProvider& in) : in_(in) {}
    uint8_t QueuedCommandSetting(uint8_t request) override {
        FUZZ_CHECK(request == kQueuedCommandRead, "queued-command request %u", request);
        ++reads;
        return in_.ConsumeIntegral<uint8_t>();
    }
    int reads = 0;

  private:
    FuzzedDataProvider& in_;
};

template <size_t N>
bool Terminated(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

void CheckPass(const ManagerTables& t, const FuzzTree& tree, const FuzzedDevices& io, int found) {
    FUZZ_CHECK(io.OpenHandles() == 0, "%zu device handles left open", io.OpenHandles());
    FUZZ_CHECK(Terminated(t.DriverVersionText), "DriverVersionText unterminated");
    // A root the tree could not make leaves the tree empty: nothing to hang adapters on.
    if (t.RootItem == kNoItem) {
        FUZZ_CHECK(tree.nodes.empty(), "%zu items without a root", tree.nodes.size());
        for (const ControllerEntry& e : t.ControllerEntries)
            FUZZ_CHECK(e.Item == kNoItem, "an adapter item without a root");
        return;
    }
    FUZZ_CHECK(tree.top.size() == 1 && tree.top[0] == t.RootItem, "%zu top-level items",
               tree.top.size());
    const FuzzTree::Node& root = tree.nodes.at(t.RootItem);
    FUZZ_CHECK(root.text == kRootText && root.image == kImageRoot, "root \"%s\"",
               root.text.c_str());
    FUZZ_CHECK(root.expanded == !root.children.empty(), "root expanded %d with %zu children",
               root.expanded, root.children.size());

    // Every item but the root belongs to exactly one table entry.
    std::set<TreeItem> claimed{t.RootItem};
    auto claim = [&](TreeItem item, TreeItem parent, const char* what) {
        FUZZ_CHECK(tree.nodes.count(item), "%s item %#zx is not in the tree", what,
                   static_cast<size_t>(item));
        FUZZ_CHECK(tree.nodes.at(item).parent == parent, "%s item under the wrong parent", what);
        FUZZ_CHECK(claimed.insert(item).second, "%s item claimed twice", what);
    };
    for (int a = 0; a < kMaxAdapters; ++a) {
        const ControllerEntry& e = t.ControllerEntries[a];
        FUZZ_CHECK(Terminated(e.DevicePath) && Terminated(e.DriverVersion),
                   "adapter %d text unterminated", a);
        FUZZ_CHECK(t.ControllerNames[a].size() <= 64 &&
                       t.ControllerNames[a].find('\0') == std::string::npos,
                   "adapter %d name of %zu characters", a, t.ControllerNames[a].size());
        if (a >= found) {
            FUZZ_CHECK(e.Item == kNoItem && e.DevicePath[0] == 0, "adapter %d beyond the %d found",
                       a, found);
            FUZZ_CHECK(AllZero(t.ControllerInfoTable[a].data(), t.ControllerInfoTable[a].size()),
                       "controller record %d beyond the %d found", a, found);
        }
        const wire::ByteView info(const_cast<uint8_t*>(t.ControllerInfoTable[a].data()),
                                  t.ControllerInfoTable[a].size());
        if (e.Item != kNoItem) {
            claim(e.Item, t.RootItem, "adapter");
            FUZZ_CHECK(e.Controller == a, "entry %d says adapter %u", a, e.Controller);
            FUZZ_CHECK(tree.nodes.at(e.Item).image == kImageAdapter, "adapter image");
            FUZZ_CHECK(std::strcmp(e.DriverVersion, t.DriverVersionText) == 0,
                       "adapter %d version \"%s\"", a, e.DriverVersion);
        }
        const int ports = std::min<int>(info.U16(channel::controller_info::PortCount.offset), 4);
        for (int p = 0; p < kMaxPorts; ++p) {
            const TreeItem portItem = t.PortItems[a][p];
            if (portItem != kNoItem) {
                FUZZ_CHECK(e.Item != kNoItem && p < ports, "port item %d/%d without its adapter", a,
                           p);
                claim(portItem, e.Item, "port");
                FUZZ_CHECK(tree.nodes.at(portItem).text == PortLabel(static_cast<uint8_t>(p)),
                           "port label \"%s\"", tree.nodes.at(portItem).text.c_str());
            }
            for (int d = 0; d < kMaxDevicesPerPort; ++d) {
                const DeviceEntry& dev = t.DeviceEntries[a][p][d];
                const wire::ByteView rec(const_cast<uint8_t*>(t.DeviceInfoTable[a][p][d].data()),
                                         t.DeviceInfoTable[a][p][d].size());
                if (dev.Item == kNoItem) {
                    FUZZ_CHECK(dev.IsPacket == 0 && dev.SmartFlags == 0 && dev.HasEnclosure == 0,
                               "device %d/%d/%d has fields but no item", a, p, d);
                    continue;
                }
                FUZZ_CHECK(portItem != kNoItem, "device %d/%d/%d without its port item", a, p, d);
                claim(dev.Item, portItem, "device");
                const uint16_t flags = rec.U16(channel::device_info::DeviceFlags.offset);
                FUZZ_CHECK(flags & 1, "device item for a slot that reported no device");
                FUZZ_CHECK(dev.Controller == a && dev.Port == p && dev.Device == d,
                           "device entry %d/%d/%d says %u/%u/%u", a, p, d, dev.Controller, dev.Port,
                           dev.Device);
                FUZZ_CHECK(dev.IsPacket == ((flags & 4) ? 1 : 0), "IsPacket %d for flags %#x",
                           dev.IsPacket, flags);
                FUZZ_CHECK(
                    tree.nodes.at(dev.Item).image == (dev.IsPacket ? kImagePacket : kImageDisk),
                    "device image");
                FUZZ_CHECK(
                    tree.nodes.at(dev.Item).text == FieldText(rec, channel::device_info::ModelName),
                    "device label");
                FUZZ_CHECK(tree.nodes.at(dev.Item).text.size() <= 22,
                           "device label of %zu characters", tree.nodes.at(dev.Item).text.size());
                FUZZ_CHECK((dev.SmartFlags & ~3) == 0 && (dev.SmartFlags != kSmartEnabled),
                           "SmartFlags %#x", dev.SmartFlags);
                FUZZ_CHECK(dev.HasEnclosure == 0 || dev.HasEnclosure == 1, "HasEnclosure %d",
                           dev.HasEnclosure);
            }
        }
    }
    FUZZ_CHECK(claimed.size() == tree.nodes.size(), "%zu tree items, %zu in the tables",
               tree.nodes.size(), claimed.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FuzzedDevices io(in);
    channel::MiniportChannel ch(io);
    FuzzTree tree(&in);
    FuzzVersion version;
    FuzzQueuedCommands queued(in);
    int menuUpdates = 0;
    DiscoveryPorts ports{ch, version, tree, queued, [&](uint8_t) { ++menuUpdates; }};
    // The tables are one large object, as the program's are: an index past one table lands
    // in the next, which _GLIBCXX_ASSERTIONS and the checks below catch.
    auto tables = std::make_unique<ManagerTables>();
    for (int pass = 0; pass < 3 && in.remaining_bytes() > 0; ++pass) {
        // Windows 9x stays Windows 9x once seen, as the program's flag does.
        const uint8_t platform = in.ConsumeIntegralInRange<uint8_t>(0, 7);
        version.id = ch.LegacyPlatform() ? 1 : platform == 0 ? 0 : platform == 1 ? 1 : 2;
        const size_t before = io.exchanges.size();
        const int readsBefore = queued.reads;
        EnumerateAdapters(*tables, ports);
        // How many adapters the probe found, from what the devices answered.
        int found = 0;
        for (size_t i = before; i < io.exchanges.size(); ++i) {
            const auto& x = io.exchanges[i];
            if (x.command != channel::MPCMD_GET_ADAPTER_COUNT || !x.callSucceeded) continue;
            if (version.id == 1)
                found = static_cast<int>(std::min<uint32_t>(FuzzedDevices::ReturnCode(x), 4));
            else
                ++found;
        }
        found = std::min(found, 4);
        FUZZ_CHECK(queued.reads - readsBefore == (found > 0 ? 1 : 0),
                   "queued-command setting read %d times for %d adapters",
                   queued.reads - readsBefore, found);
        CheckPass(*tables, tree, io, found);
    }
    (void)menuUpdates;
    return 0;
}
