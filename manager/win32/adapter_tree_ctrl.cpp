#include "manager/win32/adapter_tree_ctrl.h"

#include "manager/core/bios_commands.h"
#include "manager/core/resource_ids.h"
#include "manager/core/stdio_files.h"
#include "manager/core/tree_events.h"
#include "manager/win32/app_context.h"
#include "manager/win32/info_list_ctrl.h"
#include "manager/win32/maintenance_ports.h"

const fw::Route<CAdapterTreeCtrl> CAdapterTreeCtrl::kRoutes[] = {
    // The tree speaks ANSI or Unicode notifications depending on its parent; take both.
    fw::OnReflected(TVN_SELCHANGEDA, &CAdapterTreeCtrl::OnSelectionChanged),
    fw::OnReflected(TVN_SELCHANGEDW, &CAdapterTreeCtrl::OnSelectionChanged),
    fw::OnReflected(NM_RCLICK, &CAdapterTreeCtrl::OnRightClick),
    fw::OnCommand(ID_CARD_BACKUP_BIOS, &CAdapterTreeCtrl::OnBackupBios),
    fw::OnCommand(ID_CARD_UPDATE_BIOS, &CAdapterTreeCtrl::OnUpdateBios),
};

bool CAdapterTreeCtrl::Dispatch(const fw::Message& m, LRESULT& result) {
    return fw::RouteThrough(this, kRoutes, m, result) || fw::TreeControl::Dispatch(m, result);
}

bool CAdapterTreeCtrl::DispatchReflected(const fw::Message& m, LRESULT& result) {
    return fw::RouteThrough(this, kRoutes, m, result, true);
}

LRESULT CAdapterTreeCtrl::OnSelectionChanged(NMHDR*) {
    HalvRefs& refs = Refs();
    // Discovery runs before the list is published; its tree changes fill nothing.
    if (refs.list && refs.filler)
        halv::OnTreeSelectionChanged(Tables(), *this, *refs.list, *refs.filler);
    return 0;
}

LRESULT CAdapterTreeCtrl::OnRightClick(NMHDR*) {
    HalvRefs& refs = Refs();
    if (!refs.cardMenu || !halv::CardMenuAdapter(Tables(), *this)) return 0;
    POINT at = {};
    GetCursorPos(&at);
    TrackPopupMenu(GetSubMenu(refs.cardMenu, 0), TPM_LEFTALIGN | TPM_TOPALIGN, at.x, at.y, 0, hwnd_,
                   nullptr);
    return 0;
}

void CAdapterTreeCtrl::RunBiosCommand(void (*command)(halv::BiosCommandPorts&)) {
    // The dialogs and boxes belong to the main window, which the tree sits in.
    const HWND owner = GetParent(hwnd_);
    Win32FileDialogs dialogs(owner);
    halv::StdioBinaryFiles files;
    Win32MessageBoxes messages(owner);
    halv::BiosCommandPorts ports{Tables(), Channel(), dialogs, files, messages};
    command(ports);
}

void CAdapterTreeCtrl::OnBackupBios() {
    RunBiosCommand(halv::OnBackupBios);
}

void CAdapterTreeCtrl::OnUpdateBios() {
    RunBiosCommand(halv::OnUpdateBios);
}
