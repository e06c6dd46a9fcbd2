// The adapter tree (control 1000): a change of selection fills the information list, and a
// right-click on the selected adapter opens the Card menu, whose commands come back here.
#pragma once

#include "manager/win32/framework.h"

namespace halv {
struct BiosCommandPorts;
}

class CAdapterTreeCtrl : public fw::TreeControl {
  public:
    bool Dispatch(const fw::Message& m, LRESULT& result) override;
    bool DispatchReflected(const fw::Message& m, LRESULT& result) override;

  private:
    LRESULT OnSelectionChanged(NMHDR* nm);
    LRESULT OnRightClick(NMHDR* nm);
    void OnBackupBios();
    void OnUpdateBios();
    void RunBiosCommand(void (*command)(halv::BiosCommandPorts&));

    static const fw::Route<CAdapterTreeCtrl> kRoutes[];
};
