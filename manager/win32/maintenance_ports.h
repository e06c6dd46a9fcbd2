// The common file dialogs and the message boxes as the BIOS, queued-command and
// transfer-mode commands reach them.
#pragma once

#include <windows.h>

#include "manager/core/bios_commands.h"
#include "manager/core/ui.h"

// GetSaveFileNameA and GetOpenFileNameA, owned by `owner`.
class Win32FileDialogs final : public halv::FileDialogs {
  public:
    explicit Win32FileDialogs(HWND owner) : owner_(owner) {}
    std::optional<std::string> ChooseSaveFile(unsigned titleId) override;
    std::optional<std::string> ChooseOpenFile(unsigned titleId) override;

  private:
    HWND owner_;
};

// Message boxes "HALV" with the texts of the string table, owned by `owner`.
class Win32MessageBoxes final : public halv::MessageBoxes {
  public:
    explicit Win32MessageBoxes(HWND owner) : owner_(owner) {}
    void Show(unsigned textId) override;

  private:
    HWND owner_;
};
