// The registry as the queued-command setting reaches it: existing keys under
// HKEY_LOCAL_MACHINE, opened for querying and setting values, never created.
#pragma once

#include "manager/core/queued_commands.h"

class Win32Registry final : public halv::Registry {
  public:
    std::unique_ptr<halv::RegistryKey> OpenLocalMachineKey(const char* path) override;
};
