// What the main dialog makes reachable process-wide for the tree, the list and the commands
// they carry, and the process-wide tables and request channel.
#pragma once

#include <windows.h>

namespace channel {
class MiniportChannel;
class SystemVersion;
}  // namespace channel
namespace halv {
class InfoListFiller;
struct ManagerTables;
}  // namespace halv

class CAdapterTreeCtrl;
class CInfoListCtrl;
class CHalvDlg;

// Published by the main dialog at the end of its initialisation; valid while it exists.
struct HalvRefs {
    CHalvDlg* mainDialog = nullptr;
    CAdapterTreeCtrl* tree = nullptr;
    halv::InfoListFiller* filler = nullptr;
    CInfoListCtrl* list = nullptr;
    HMENU cardMenu = nullptr;
};

HalvRefs& Refs();
halv::ManagerTables& Tables();
channel::MiniportChannel& Channel();
const channel::SystemVersion& Platform();
