#include "manager/cli/core/inventory.h"

#include <string.h>

#include <algorithm>

#include "manager/core/discovery.h"

namespace halvctl {

using halv::kNoItem;
using halv::TreeItem;

namespace {

// A decimal number of at most three digits, no sign, no blanks.
std::optional<int> Number(std::string_view text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

// "scsiN", any case, N a single digit 0 to 8: the ports the probe opens.
std::optional<int> ScsiPortNumber(std::string_view text) {
    if (text.size() != 5) return std::nullopt;
    for (size_t i = 0; i < 4; ++i)
        if ((text[i] | 0x20) != "scsi"[i]) return std::nullopt;
    if (text[4] < '0' || text[4] > '8') return std::nullopt;
    return text[4] - '0';
}

// N of "\\.\ScsiN:" (any case), -1 for anything else.
int ScsiPortOfName(std::string_view name) {
    constexpr std::string_view kPrefix = "\\\\.\\scsi";
    if (name.size() != kPrefix.size() + 2 || name.back() != ':') return -1;
    for (size_t i = 0; i < kPrefix.size(); ++i) {
        const char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] + 32) : name[i];
        if (c != kPrefix[i]) return -1;
    }
    const char digit = name[kPrefix.size()];
    return digit >= '0' && digit <= '9' ? digit - '0' : -1;
}

}  // namespace

std::optional<Address> ParseAddress(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t slash = text.find('/', start);
        parts.push_back(
            text.substr(start, slash == std::string_view::npos ? slash : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (parts.size() != 1 && parts.size() != 3) return std::nullopt;
    std::vector<int> n;
    const std::optional<int> scsiPort = ScsiPortNumber(parts[0]);
    for (std::string_view part : parts) {
        const std::optional<int> v = scsiPort && n.empty() ? std::optional<int>(0) : Number(part);
        if (!v) return std::nullopt;
        n.push_back(*v);
    }
    // Numbers beyond the tables are addresses still: they name nothing discovery found, and
    // are refused in the same words as any other such address.
    const int byPort = scsiPort ? *scsiPort : -1;
    if (n.size() == 1) return Address{n[0], -1, -1, byPort};
    return Address{n[0], n[1], n[2], byPort};
}

std::string AddressText(int adapter) {
    return std::to_string(adapter);
}

std::string AddressText(int adapter, int port, int device) {
    return std::to_string(adapter) + "/" + std::to_string(port) + "/" + std::to_string(device);
}

std::string AddressText(const Address& a) {
    return a.IsDevice() ? AddressText(a.adapter, a.port, a.device) : AddressText(a.adapter);
}

TreeItem RecordedTree::InsertItem(const std::string& text, int image, TreeItem parent) {
    if (parent != kNoItem && (parent > nodes_.size())) return kNoItem;
    nodes_.push_back(Node{text, image, parent, {}});
    const TreeItem item = nodes_.size();
    if (parent == kNoItem)
        top_.push_back(item);
    else
        nodes_[parent - 1].children.push_back(item);
    return item;
}

void RecordedTree::DeleteAllItems() {
    nodes_.clear();
    top_.clear();
}

TreeItem RecordedTree::Root() const {
    return top_.empty() ? kNoItem : top_.front();
}

TreeItem RecordedTree::FirstChild(TreeItem item) const {
    if (item == kNoItem || item > nodes_.size()) return kNoItem;
    const Node& n = nodes_[item - 1];
    return n.children.empty() ? kNoItem : n.children.front();
}

TreeItem RecordedTree::NextSibling(TreeItem item) const {
    if (item == kNoItem || item > nodes_.size()) return kNoItem;
    const TreeItem parent = nodes_[item - 1].parent;
    const std::vector<TreeItem>& siblings = parent == kNoItem ? top_ : nodes_[parent - 1].children;
    const auto it = std::find(siblings.begin(), siblings.end(), item);
    return it == siblings.end() || it + 1 == siblings.end() ? kNoItem : *(it + 1);
}

channel::DeviceHandle OpenRecorder::Open(const char* name) {
    const channel::DeviceHandle h = devices_.Open(name);
    const std::string text = name ? name : "";
    // The first answer is the probe's; later opens of the same adapter are its requests.
    if (std::find(seen_.begin(), seen_.end(), text) != seen_.end()) return h;
    seen_.push_back(text);
    if (h == channel::kInvalidDevice) {
        const channel::OpenError error = devices_.LastOpenError();
        if (error.kind != channel::OpenError::kNotFound)
            unopened_.push_back({ScsiPortOfName(text), text, error});
    }
    return h;
}

void Inventory::Discover(const channel::SystemVersion& version) {
    recorder_.Clear();
    // No menu to match and no setting to show: discovery is not given the registry.
    halv::UnreadableQueuedCommandStore noSetting;
    halv::DiscoveryPorts ports{channel_, version, tree_, noSetting, {}};
    halv::EnumerateAdapters(tables_, ports);

    // The probe leaves each adapter's device name in its entry. In Windows 9x mode every
    // adapter is reached through one device and no name is kept, so there only the adapters
    // that were read can be counted.
    probed_ = 0;
    for (int a = 0; a < halv::kMaxAdapters; ++a)
        if (tables_.ControllerEntries[a].DevicePath[0] != '\0' || HasAdapter(a)) probed_ = a + 1;

    unreadable_.clear();
    for (int a = 0; a < probed_; ++a) {
        if (!HasAdapter(a)) {
            unreadable_.push_back(
                {Address{a}, "adapter " + AddressText(a) + " (" + Printable(DeviceName(a)) + ")"});
            continue;
        }
        for (int p = 0; p < PortsAsked(a); ++p)
            for (int d = 0; d < DevicesAsked(a); ++d)
                if (!halv::DeviceInfoAnswered(tables_, a, p, d))
                    unreadable_.push_back({Address{a, p, d}, "device " + AddressText(a, p, d)});
    }
}

bool Inventory::HasAdapter(int a) const {
    return a >= 0 && a < halv::kMaxAdapters && tables_.ControllerEntries[a].Item != kNoItem;
}

bool Inventory::HasDevice(int a, int p, int d) const {
    return HasAdapter(a) && p >= 0 && p < halv::kMaxPorts && d >= 0 &&
           d < halv::kMaxDevicesPerPort && tables_.DeviceEntries[a][p][d].Item != kNoItem;
}

bool Inventory::Has(const Address& address) const {
    return address.IsDevice() ? HasDevice(address.adapter, address.port, address.device)
                              : HasAdapter(address.adapter);
}

int Inventory::PortsAsked(int a) {
    return std::min<int>(tables_.ControllerInfo(a).U16(channel::controller_info::PortCount.offset),
                         halv::kMaxPorts);
}

int Inventory::DevicesAsked(int a) {
    return std::min<int>(
        tables_.ControllerInfo(a).U16(channel::controller_info::DevicesPerPort.offset),
        halv::kMaxDevicesPerPort);
}

bool Inventory::IsUnreadable(const Address& address) const {
    for (const Unreadable& u : unreadable_)
        if (u.address.adapter == address.adapter && u.address.port == address.port &&
            u.address.device == address.device)
            return true;
    return false;
}

std::string Inventory::DeviceName(int a) const {
    if (channel_.LegacyPlatform()) return channel::kLegacyDeviceName;
    const char* path = tables_.ControllerEntries[a].DevicePath;
    return std::string(path, strnlen(path, sizeof tables_.ControllerEntries[a].DevicePath));
}

int Inventory::ScsiPortOf(int a) const {
    if (channel_.LegacyPlatform() || a < 0 || a >= halv::kMaxAdapters) return -1;
    return ScsiPortOfName(DeviceName(a));
}

std::string Inventory::PortName(int a) const {
    const int n = ScsiPortOf(a);
    return n < 0 ? std::string() : "scsi" + std::to_string(n);
}

int Inventory::AdapterAtScsiPort(int scsiPort) const {
    for (int a = 0; a < probed_; ++a)
        if (ScsiPortOf(a) == scsiPort) return a;
    return -1;
}

std::vector<UnopenedPort> Inventory::UnopenedBefore(int a) const {
    const int own = a < probed_ ? ScsiPortOf(a) : -1;
    std::vector<UnopenedPort> before;
    for (const UnopenedPort& u : unopened())
        if (own < 0 || u.scsiPort < own) before.push_back(u);
    return before;
}

std::string UnopenedText(const UnopenedPort& port) {
    std::string text =
        Printable(port.name) + " could not be opened: " + Printable(port.error.reason);
    if (port.error.kind == channel::OpenError::kAccessDenied)
        text += " (run halvctl elevated, from an administrator's prompt)";
    return text;
}

std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) c = '?';
    }
    return out;
}

}  // namespace halvctl
