// The queued-command (TCQ/NCQ) setting: value "TAG_CMD" of the miniport's registry
// parameters, which the miniport reads when the host starts, and the Option menu's two
// commands that switch it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "manager/core/ui.h"

namespace halv {

inline constexpr char kQueuedCommandKey[] =
    "System\\CurrentControlSet\\Services\\Qelnix2\\Parameters\\Capabilities";
inline constexpr char kQueuedCommandValue[] = "TAG_CMD";

// An open registry key, closed with the object.
class RegistryKey {
  public:
    virtual ~RegistryKey() = default;
    // Reads a value of any type into `data` (room for `size` bytes); on success `size` is the
    // length of its data. False when the value is missing or its data does not fit.
    virtual bool QueryValue(const char* name, uint8_t* data, size_t& size) = 0;
    virtual bool SetDwordValue(const char* name, uint32_t value) = 0;
};

class Registry {
  public:
    virtual ~Registry() = default;
    // Opens an existing key under HKEY_LOCAL_MACHINE for querying and setting values; never
    // creates it. Nothing when it is missing or access is denied.
    virtual std::unique_ptr<RegistryKey> OpenLocalMachineKey(const char* path) = 0;
};

// The setting as the miniport keeps it. Request 6 reads (0 = off, any other byte = on, 6 also
// when the key or value cannot be read); request 0 or 1 writes (0 = written, 6 = failed).
class RegistryQueuedCommandStore final : public QueuedCommandStore {
  public:
    explicit RegistryQueuedCommandStore(Registry& registry) : registry_(registry) {}
    uint8_t QueuedCommandSetting(uint8_t request) override;

  private:
    Registry& registry_;
};

// "Enable  TCQ/NCQ" (on = true) and "Disable  TCQ/NCQ": writes the setting; once written, the
// command just used grays, the other one enables, and the user is told to restart. A setting
// that cannot be written changes nothing and shows nothing.
void ChangeQueuedCommands(bool on, QueuedCommandStore& store, MenuItems& menu,
                          MessageBoxes& messages);

}  // namespace halv
