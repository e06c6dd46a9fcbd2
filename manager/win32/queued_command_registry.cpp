#include "manager/win32/queued_command_registry.h"

#include <windows.h>

namespace {

class Win32RegistryKey final : public halv::RegistryKey {
  public:
    explicit Win32RegistryKey(HKEY key) : key_(key) {}
    Win32RegistryKey(const Win32RegistryKey&) = delete;
    Win32RegistryKey& operator=(const Win32RegistryKey&) = delete;
    ~Win32RegistryKey() override { RegCloseKey(key_); }

    bool QueryValue(const char* name, uint8_t* data, size_t& size) override {
        DWORD length = static_cast<DWORD>(size);
        // Data longer than the buffer fails with ERROR_MORE_DATA.
        if (RegQueryValueExA(key_, name, nullptr, nullptr, data, &length) != ERROR_SUCCESS)
            return false;
        size = length;
        return true;
    }

    bool SetDwordValue(const char* name, uint32_t value) override {
        const BYTE data[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                              static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
        return RegSetValueExA(key_, name, 0, REG_DWORD, data, sizeof data) == ERROR_SUCCESS;
    }

  private:
    HKEY key_;
};

}  // namespace

std::unique_ptr<halv::RegistryKey> Win32Registry::OpenLocalMachineKey(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<Win32RegistryKey>(key);
}
