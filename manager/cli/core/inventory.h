// What one discovery found, as halvctl reads it: HALV's tables and tree, which adapters and
// device slots could not be read, and the addresses that name adapters and devices on the
// command line ("0", "0/1/0").
#pragma once

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/miniport_channel.h"
#include "manager/core/tables.h"
#include "manager/core/ui.h"

namespace halvctl {

// An adapter ("0": device < 0) or a device ("0/1/0") as the command line names it. An adapter
// may be named by its SCSI port instead ("scsi2", "scsi2/1/0"): then `scsiPort` is that port
// and `adapter` is filled in once discovery has said which adapter sits there.
struct Address {
    int adapter = 0;
    int port = -1;
    int device = -1;
    int scsiPort = -1;
    bool IsDevice() const { return device >= 0; }
    bool ByScsiPort() const { return scsiPort >= 0; }
};

// "A" or "A/P/D", numbers of at most three decimal digits (a number beyond HALV's tables
// names nothing discovery found, and Inventory::Has says so), where A may also be "scsiN" (any
// case, N 0 to 8: the ports the probe opens). Nothing for anything else, a port ("0/1")
// included.
std::optional<Address> ParseAddress(std::string_view text);
std::string AddressText(int adapter);
std::string AddressText(int adapter, int port, int device);
std::string AddressText(const Address& address);

// The adapter tree as discovery builds it, kept in memory in insertion order.
class RecordedTree final : public halv::TreeView {
  public:
    struct Node {
        std::string text;
        int image = -1;
        halv::TreeItem parent = halv::kNoItem;
        std::vector<halv::TreeItem> children;
    };

    halv::TreeItem InsertItem(const std::string& text, int image, halv::TreeItem parent) override;
    void DeleteAllItems() override;
    void Expand(halv::TreeItem) override {}
    void Collapse(halv::TreeItem) override {}
    halv::TreeItem Root() const override;
    halv::TreeItem FirstChild(halv::TreeItem item) const override;
    halv::TreeItem NextSibling(halv::TreeItem item) const override;
    halv::TreeItem Selection() const override { return halv::kNoItem; }

    const Node& node(halv::TreeItem item) const { return nodes_[item - 1]; }
    const std::vector<halv::TreeItem>& topLevel() const { return top_; }

  private:
    std::vector<Node> nodes_;  // item n is nodes_[n - 1]
    std::vector<halv::TreeItem> top_;
};

// Something discovery asked for and got no answer: an adapter that answered the probe but
// whose device did not open or whose controller information failed, or a device slot whose
// device information failed.
struct Unreadable {
    Address address;
    std::string what;  // "adapter 1 (\\.\Scsi2:)" or "device 0/1/0"
};

// A SCSI port device that exists but refused to open: the probe passed over it, so an adapter
// of ours may sit there unseen, and the adapters after it are numbered one lower than they
// would be.
struct UnopenedPort {
    int scsiPort = -1;  // N of \\.\ScsiN:, -1 for \\.\KIRNDEV (Windows 9x)
    std::string name;   // the device name as opened
    channel::OpenError error;
};

// The device layer as discovery uses it, remembering how each name first answered Open: the
// probe is HALV's own and passes over a device that does not open without a word.
class OpenRecorder final : public channel::DeviceAccess {
  public:
    explicit OpenRecorder(channel::DeviceAccess& devices) : devices_(devices) {}
    channel::DeviceHandle Open(const char* name) override;
    channel::OpenError LastOpenError() const override { return devices_.LastOpenError(); }
    bool MiniportControl(channel::DeviceHandle device, std::span<uint8_t> buffer) override {
        return devices_.MiniportControl(device, buffer);
    }
    void Close(channel::DeviceHandle device) override { devices_.Close(device); }

    void Clear() { unopened_.clear(), seen_.clear(); }
    const std::vector<UnopenedPort>& unopened() const { return unopened_; }

  private:
    channel::DeviceAccess& devices_;
    std::vector<std::string> seen_;
    std::vector<UnopenedPort> unopened_;
};

class Inventory {
  public:
    explicit Inventory(channel::DeviceAccess& devices) : recorder_(devices), channel_(recorder_) {}

    // HALV's discovery, as a refresh runs it; the queued-command setting is not read.
    void Discover(const channel::SystemVersion& version);

    halv::ManagerTables& tables() { return tables_; }
    channel::MiniportChannel& channel() { return channel_; }
    const RecordedTree& tree() const { return tree_; }

    // Adapters that answered the probe (read or not).
    int probed() const { return probed_; }
    // Whether the tree shows this adapter or device.
    bool HasAdapter(int a) const;
    bool HasDevice(int a, int p, int d) const;
    bool Has(const Address& address) const;
    // The device slots discovery asked for on a shown adapter: its ports and devices per port,
    // bounded by the tables.
    int PortsAsked(int a);
    int DevicesAsked(int a);
    // What could not be read, in address order.
    const std::vector<Unreadable>& unreadable() const { return unreadable_; }
    bool IsUnreadable(const Address& address) const;
    // The name of the device the adapter is reached through.
    std::string DeviceName(int a) const;
    // The adapter's SCSI port as the command line names it ("scsi2"); "" in Windows 9x mode,
    // where every adapter is reached through one device.
    std::string PortName(int a) const;
    int ScsiPortOf(int a) const;  // -1 when not known
    // The adapter the probe found at \\.\ScsiN:, or -1.
    int AdapterAtScsiPort(int scsiPort) const;
    // SCSI port devices that exist but did not open, in probe order.
    const std::vector<UnopenedPort>& unopened() const { return recorder_.unopened(); }
    // The ports that did not open before adapter `a`'s own (all of them when there is no
    // adapter `a`): while there is one, the number `a` may name another adapter than it did
    // when every port opened.
    std::vector<UnopenedPort> UnopenedBefore(int a) const;

  private:
    OpenRecorder recorder_;  // before channel_, which sends through it
    halv::ManagerTables tables_;
    channel::MiniportChannel channel_;
    RecordedTree tree_;
    int probed_ = 0;
    std::vector<Unreadable> unreadable_;
};

// Control characters of a text that came from an adapter, shown as '?': a device must not be
// able to end a line or steer the terminal of whoever reads the output.
std::string Printable(std::string_view text);

// "\\.\Scsi1: could not be opened: Access is denied." with, for access denied, what to do.
std::string UnopenedText(const UnopenedPort& port);

}  // namespace halvctl
