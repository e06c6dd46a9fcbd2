#include "manager/win32/maintenance_ports.h"

// After windows.h, which it needs.
#include <commdlg.h>

#include <string.h>

#include "manager/win32/framework.h"

namespace {

enum class FileDialogKind { Save, Open };

std::optional<std::string> ChooseFile(HWND owner, unsigned titleId, FileDialogKind kind) {
    const std::string title = fw::LoadText(titleId);
    char path[MAX_PATH] = {};  // no initial name
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFile = path;
    ofn.nMaxFile = sizeof path;
    ofn.lpstrTitle = title.c_str();
    // No filter and no default extension: the name is taken exactly as the user gave it.
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    const BOOL chosen =
        kind == FileDialogKind::Save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!chosen) return std::nullopt;
    return std::string(path, strnlen(path, sizeof path));
}

}  // namespace

std::optional<std::string> Win32FileDialogs::ChooseSaveFile(unsigned titleId) {
    return ChooseFile(owner_, titleId, FileDialogKind::Save);
}

std::optional<std::string> Win32FileDialogs::ChooseOpenFile(unsigned titleId) {
    return ChooseFile(owner_, titleId, FileDialogKind::Open);
}

void Win32MessageBoxes::Show(unsigned textId) {
    fw::ShowMessage(owner_, fw::LoadText(textId));
}
