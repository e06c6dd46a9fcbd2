// The queued-command setting as the miniport keeps it: value "TAG_CMD" of its registry
// parameters, read and written by the manager, never created.
#pragma once

#include "manager/core/ui.h"

class RegistryQueuedCommandStore final : public halv::QueuedCommandStore {
  public:
    uint8_t QueuedCommandSetting(uint8_t request) override;
};
