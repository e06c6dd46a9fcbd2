#include "manager/win32/adapter_tree_ctrl.h"

#include "manager/core/resource_ids.h"
#include "manager/core/tree_events.h"
#include "manager/win32/app_context.h"
#include "manager/win32/info_list_ctrl.h"

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
    HMENU card = GetSubMenu(refs.cardMenu, 0);
    refs.openPopup = card;
    TrackPopupMenu(card, TPM_LEFTALIGN | TPM_TOPALIGN, at.x, at.y, 0, hwnd_, nullptr);
    refs.openPopup = nullptr;
    return 0;
}

// The BIOS backup and update of the adapter in SelectedController are added with their own
// commands; until then the menu items do nothing.
void CAdapterTreeCtrl::OnBackupBios() {}
void CAdapterTreeCtrl::OnUpdateBios() {}
