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
    for (std::string_view part : parts) {
        const std::optional<int> v = Number(part);
        if (!v) return std::nullopt;
        n.push_back(*v);
    }
    if (n[0] >= halv::kMaxAdapters) return std::nullopt;
    if (n.size() == 1) return Address{n[0], -1, -1};
    if (n[1] >= halv::kMaxPorts || n[2] >= halv::kMaxDevicesPerPort) return std::nullopt;
    return Address{n[0], n[1], n[2]};
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

void Inventory::Discover(const channel::SystemVersion& version) {
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

std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) c = '?';
    }
    return out;
}

}  // namespace halvctl
