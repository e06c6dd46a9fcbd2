#include "channel/win32_device_access.h"

#include <windows.h>

#include "channel/protocol.h"

namespace channel {

static_assert(sizeof(DeviceHandle) == sizeof(HANDLE));

DeviceHandle Win32DeviceAccess::Open(const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kInvalidDevice;
    return reinterpret_cast<DeviceHandle>(h);
}

bool Win32DeviceAccess::MiniportControl(DeviceHandle device, std::span<uint8_t> buffer) {
    DWORD returned = 0;  // not examined: the reply is judged by its ReturnCode
    const DWORD size = static_cast<DWORD>(buffer.size());
    return DeviceIoControl(reinterpret_cast<HANDLE>(device), kIoctlScsiMiniport, buffer.data(),
                           size, buffer.data(), size, &returned, nullptr) != FALSE;
}

void Win32DeviceAccess::Close(DeviceHandle device) {
    CloseHandle(reinterpret_cast<HANDLE>(device));
}

uint32_t Win32SystemVersion::PlatformId() const {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&info)) return 0;
#pragma GCC diagnostic pop
    return info.dwPlatformId;
}

}  // namespace channel
