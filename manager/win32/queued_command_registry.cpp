#include "manager/win32/queued_command_registry.h"

#include <windows.h>

namespace {

constexpr char kKey[] = "System\\CurrentControlSet\\Services\\Qelnix2\\Parameters\\Capabilities";
constexpr char kValue[] = "TAG_CMD";

class RegKey {
  public:
    RegKey(HKEY root, const char* path, REGSAM access) {
        if (RegOpenKeyExA(root, path, 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (key_) RegCloseKey(key_);
    }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

}  // namespace

uint8_t RegistryQueuedCommandStore::QueuedCommandSetting(uint8_t request) {
    // Opened for writing even to read, so a user who could not change the setting is told
    // nothing about it either.
    RegKey key(HKEY_LOCAL_MACHINE, kKey, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (!key.get()) return halv::kQueuedCommandUnreadable;

    if (request == halv::kQueuedCommandRead) {
        BYTE data[4] = {};
        DWORD size = sizeof data;
        if (RegQueryValueExA(key.get(), kValue, nullptr, nullptr, data, &size) != ERROR_SUCCESS)
            return halv::kQueuedCommandUnreadable;
        return data[0];
    }
    const DWORD value = request;
    if (RegSetValueExA(key.get(), kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value) != ERROR_SUCCESS)
        return halv::kQueuedCommandUnreadable;
    return 0;
}
