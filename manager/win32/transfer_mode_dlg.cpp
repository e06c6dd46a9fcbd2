#include "manager/win32/transfer_mode_dlg.h"

#include "manager/core/resource_ids.h"
#include "manager/core/tables.h"
#include "manager/core/transfer_mode_choices.h"
#include "manager/win32/app_context.h"

CTransferModeDlg::CTransferModeDlg(HWND parent) : fw::Dialog(IDD_TRANSFER_MODE, parent) {}

void CTransferModeDlg::BindControls() {
    m_dmaMode.Attach(GetDlgItem(hwnd_, IDC_DMA_MODE));
    m_pioMode.Attach(GetDlgItem(hwnd_, IDC_PIO_MODE));
}

BOOL CTransferModeDlg::OnInitDialog() {
    fw::Dialog::OnInitDialog();
    const halv::ManagerTables& t = Tables();
    // The code the information list wrote when it built the device's rows.
    const int8_t code =
        t.DeviceEntries[t.SelectedController % halv::kMaxAdapters][t.SelectedPort % halv::kMaxPorts]
                       [t.SelectedDevice % halv::kMaxDevicesPerPort]
                           .TransferModeCode;
    for (const std::string& choice : halv::DmaModeChoices(code))
        m_dmaMode.AddString(choice.c_str());
    return TRUE;
}

// Sending the chosen modes to the device comes with the transfer-mode commands; until then OK
// only closes the dialog.
void CTransferModeDlg::OnOK() {
    EndDialog(IDOK);
}
