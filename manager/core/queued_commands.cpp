#include "manager/core/queued_commands.h"

#include "manager/core/resource_ids.h"

namespace halv {

uint8_t RegistryQueuedCommandStore::QueuedCommandSetting(uint8_t request) {
    // Opened for writing even to read, so a user who could not change the setting is told
    // nothing about it either.
    std::unique_ptr<RegistryKey> key = registry_.OpenLocalMachineKey(kQueuedCommandKey);
    if (!key) return kQueuedCommandUnreadable;

    if (request == kQueuedCommandRead) {
        // Whatever the value's type, only its first byte counts; more than four bytes of data
        // is not a value this setting can have.
        uint8_t data[4] = {};
        size_t size = sizeof data;
        if (!key->QueryValue(kQueuedCommandValue, data, size)) return kQueuedCommandUnreadable;
        return data[0];
    }
    if (!key->SetDwordValue(kQueuedCommandValue, request)) return kQueuedCommandUnreadable;
    return 0;
}

void ChangeQueuedCommands(bool on, QueuedCommandStore& store, MenuItems& menu,
                          MessageBoxes& messages) {
    if (store.QueuedCommandSetting(on ? 1 : 0) != 0) return;
    menu.SetEnabled(ID_OPTION_DISABLE_TCQ, on);
    menu.SetEnabled(ID_OPTION_ENABLE_TCQ, !on);
    messages.Show(IDS_TCQ_CHANGED);
}

}  // namespace halv
