#include "manager/win32/transfer_mode_dlg.h"

#include "manager/core/resource_ids.h"
#include "manager/core/tables.h"
#include "manager/core/transfer_mode_choices.h"
#include "manager/win32/app_context.h"
#include "manager/win32/maintenance_ports.h"

CTransferModeDlg::CTransferModeDlg(HWND parent) : fw::Dialog(IDD_TRANSFER_MODE, parent) {}

void CTransferModeDlg::BindControls() {
    m_dmaMode.Attach(GetDlgItem(hwnd_, IDC_DMA_MODE));
    m_pioMode.Attach(GetDlgItem(hwnd_, IDC_PIO_MODE));
}

BOOL CTransferModeDlg::OnInitDialog() {
    fw::Dialog::OnInitDialog();
    // The code the information list wrote when it built the device's rows.
    const int8_t code = halv::SelectedTransferModeCode(Tables());
    for (const std::string& choice : halv::DmaModeChoices(code))
        m_dmaMode.AddString(choice.c_str());
    return TRUE;
}

void CTransferModeDlg::OnOK() {
    // The dialog is told to end first; it is destroyed only after this handler returns, so
    // its lists can still be read. The outcome is shown over the main window.
    EndDialog(IDOK);
    const int dma = m_dmaMode.CurSel(), pio = m_pioMode.CurSel();
    HWND owner = GetWindow(hwnd_, GW_OWNER);
    Win32MessageBoxes messages(owner ? owner : hwnd_);
    halv::ApplyTransferModeChoice(Tables(), Channel(), messages, dma, pio);
}
