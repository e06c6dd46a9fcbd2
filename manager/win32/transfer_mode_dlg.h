// "Change Transfer Mode" (dialog 155): the DMA modes up to the shown device's own and the PIO
// modes 4 to 0.
#pragma once

#include "manager/win32/framework.h"

class CTransferModeDlg : public fw::Dialog {
  public:
    explicit CTransferModeDlg(HWND parent = nullptr);

  protected:
    BOOL OnInitDialog() override;
    void BindControls() override;
    void OnOK() override;

  private:
    fw::ComboBox m_dmaMode;  // 1003
    fw::ComboBox m_pioMode;  // 1004, filled from the template's initialisation data
};
