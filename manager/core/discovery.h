// Finding the adapters, filling the manager's tables with their records and building the
// adapter tree.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>

#include "channel/miniport_channel.h"
#include "manager/core/tables.h"
#include "manager/core/ui.h"

namespace halv {

// Tree images (indices in the tree image list).
inline constexpr int kImageRoot = 0;
inline constexpr int kImageAdapter = 1;
inline constexpr int kImagePort = 2;
inline constexpr int kImageDisk = 3;
inline constexpr int kImagePacket = 4;

inline constexpr char kRootText[] = "Torvale HBA List";

struct DiscoveryPorts {
    channel::MiniportChannel& channel;
    const channel::SystemVersion& version;
    TreeView& tree;
    QueuedCommandStore& queuedCommands;
    // Enables the queued-command menu items to match a setting (called once adapters exist).
    std::function<void(uint8_t setting)> updateQueuedCommandMenu;
};

// Rebuilds the tables and the tree from a fresh probe.
void EnumerateAdapters(ManagerTables& tables, DiscoveryPorts& ports);

// Whether discovery got a good MPCMD_GET_DEVICE_INFO reply for a slot it asked for. It keeps
// only good replies, so a slot whose request failed still holds the zeros it was cleared to;
// every good reply carries the request envelope, whose HeaderLength is never zero.
inline bool DeviceInfoAnswered(ManagerTables& tables, int a, int p, int d) {
    return tables.DeviceInfo(a, p, d).U32(channel::env::HeaderLength.offset) ==
           channel::env::kHeaderLength;
}

// The adapter's label: its reported name when it gave one, else the model of its PCI id.
std::string ModelNameFor(const ManagerTables& tables, uint32_t pciDeviceId, uint8_t controller);
// "Port-1" .. "Port-4", "Port-?" beyond.
std::string PortLabel(uint8_t port);

}  // namespace halv
