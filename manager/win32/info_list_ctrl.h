// The information list (control 1001). Its one interaction: a right-click on the selected
// " Transfer Mode" row opens the transfer-mode dialog.
#pragma once

#include "manager/win32/framework.h"

class CInfoListCtrl : public fw::ListControl {
  public:
    bool Dispatch(const fw::Message& m, LRESULT& result) override;
    bool DispatchReflected(const fw::Message& m, LRESULT& result) override;

  private:
    LRESULT OnRightClick(NMHDR* nm);

    static const fw::Route<CInfoListCtrl> kRoutes[];
};
