#include "manager/win32/halv_app.h"

#include "manager/win32/halv_dlg.h"

CHalvApp theApp;

bool CHalvApp::Start() {
    // The tree and list controls live in the common-controls library.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);

    CHalvDlg dialog;
    SetMainWindow(&dialog);
    dialog.DoModal();
    SetMainWindow(nullptr);
    // The program ends with the dialog: there is nothing to run after it.
    return false;
}
