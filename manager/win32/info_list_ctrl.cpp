#include "manager/win32/info_list_ctrl.h"

#include "manager/core/info_list.h"
#include "manager/win32/transfer_mode_dlg.h"

const fw::Route<CInfoListCtrl> CInfoListCtrl::kRoutes[] = {
    fw::OnReflected(NM_RCLICK, &CInfoListCtrl::OnRightClick),
};

bool CInfoListCtrl::Dispatch(const fw::Message& m, LRESULT& result) {
    return fw::RouteThrough(this, kRoutes, m, result) || fw::ListControl::Dispatch(m, result);
}

bool CInfoListCtrl::DispatchReflected(const fw::Message& m, LRESULT& result) {
    return fw::RouteThrough(this, kRoutes, m, result, true);
}

LRESULT CInfoListCtrl::OnRightClick(NMHDR*) {
    if (halv::ListRightClickOpensTransferMode(*this)) {
        CTransferModeDlg dialog(GetParent(hwnd_));
        dialog.DoModal();
    }
    return 0;
}
