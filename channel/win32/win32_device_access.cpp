#include "channel/win32_device_access.h"

#include <windows.h>

#include "channel/protocol.h"

namespace channel {

static_assert(sizeof(DeviceHandle) == sizeof(HANDLE));

namespace {

// CreateFileA's failure as the caller reports it. A SCSI port number that no adapter has
// fails with ERROR_FILE_NOT_FOUND (the object name does not exist; Wine maps
// STATUS_OBJECT_NAME_NOT_FOUND the same way); ERROR_PATH_NOT_FOUND is taken alike. Everything
// else means a device is there and refused us: that must be named, never passed over.
OpenError OpenErrorOf(DWORD code) {
    OpenError e;
    e.code = code;
    e.kind = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? OpenError::kNotFound
             : code == ERROR_ACCESS_DENIED                                ? OpenError::kAccessDenied
                                                                          : OpenError::kOther;
    char text[256] = "";
    // FORMAT_MESSAGE_IGNORE_INSERTS: a system message with %1 inserts must not read arguments
    // that are not there. The returned count excludes the terminating zero; 0 means no text.
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
    e.reason.assign(text, n < sizeof text ? n : 0);
    while (!e.reason.empty() &&
           (e.reason.back() == '\n' || e.reason.back() == '\r' || e.reason.back() == ' '))
        e.reason.pop_back();
    if (e.reason.empty()) e.reason = "system error " + std::to_string(code);
    return e;
}

}  // namespace

DeviceHandle Win32DeviceAccess::Open(const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        lastOpenError_ = OpenErrorOf(GetLastError());
        return kInvalidDevice;
    }
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
