/* InstallActions.dll: the installer's own custom action, run by Windows Installer from the
   package's Binary table and never installed. It lives apart from the shipped programs.

   SetServiceCommandLine (deferred, as LocalSystem) gives the service that the package's
   ServiceInstall table has just created the command line that the service program's own
   install registers: Windows Installer registers the key file's path as it is, without the
   quotes that a path under "Program Files" needs. A failure fails the installation, which
   Windows Installer then rolls back. */
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <stdio.h>

#include "service_command.h"

/* Longest data and command line accepted: a service name and a long path, with room. */
#define HALV_DATA_CAPACITY 1024

/* A REG_MULTI_SZ value of the service's key into `out` (capacity in characters); false when
   there is none. */
static BOOL ReadServiceList(const wchar_t* service, const wchar_t* name, wchar_t* out,
                            DWORD capacity) {
    wchar_t key[HALV_DATA_CAPACITY];
    _snwprintf(key, HALV_DATA_CAPACITY - 1, L"SYSTEM\\CurrentControlSet\\Services\\%ls", service);
    key[HALV_DATA_CAPACITY - 1] = L'\0';
    DWORD bytes = (capacity - 2) * sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_MULTI_SZ, NULL, out, &bytes) !=
        ERROR_SUCCESS)
        return FALSE;
    out[bytes / sizeof(wchar_t)] = L'\0'; /* terminated twice whatever the value held */
    out[bytes / sizeof(wchar_t) + 1] = L'\0';
    return TRUE;
}

/* One line in the installation log (msiexec /l*v). */
static void Log(MSIHANDLE install, const wchar_t* text) {
    MSIHANDLE record = MsiCreateRecord(0);
    if (!record) return;
    MsiRecordSetStringW(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

static UINT Fail(MSIHANDLE install, const wchar_t* what, const wchar_t* detail, DWORD error) {
    wchar_t line[2 * HALV_DATA_CAPACITY];
    _snwprintf(line, sizeof line / sizeof line[0] - 1,
               L"SetServiceCommandLine: %ls %ls (error %lu)", what, detail, (unsigned long)error);
    line[sizeof line / sizeof line[0] - 1] = L'\0';
    Log(install, line);
    return ERROR_INSTALL_FAILURE;
}

__declspec(dllexport) UINT __stdcall SetServiceCommandLine(MSIHANDLE install) {
    wchar_t data[HALV_DATA_CAPACITY];
    DWORD length = HALV_DATA_CAPACITY;
    UINT r = MsiGetPropertyW(install, L"CustomActionData", data, &length);
    if (r != ERROR_SUCCESS) return Fail(install, L"cannot read its data", L"", r);
    const size_t bar = halv_service_request_bar(data, length);
    if (bar == 0) return Fail(install, L"data is not \"service|program\":", data, 0);

    wchar_t command[HALV_DATA_CAPACITY];
    if (!halv_service_command_line(data + bar + 1, length - bar - 1, command, HALV_DATA_CAPACITY))
        return Fail(install, L"program path too long:", data, 0);
    data[bar] = L'\0';
    const wchar_t* service = data;

    /* The dependencies go along unchanged (see halv_service_dependencies). */
    wchar_t services[HALV_DATA_CAPACITY], groups[HALV_DATA_CAPACITY],
        dependencies[2 * HALV_DATA_CAPACITY];
    const BOOL haveServices =
        ReadServiceList(service, L"DependOnService", services, HALV_DATA_CAPACITY);
    const BOOL haveGroups = ReadServiceList(service, L"DependOnGroup", groups, HALV_DATA_CAPACITY);
    if (!halv_service_dependencies(haveServices ? services : NULL, haveGroups ? groups : NULL,
                                   dependencies, 2 * HALV_DATA_CAPACITY))
        return Fail(install, L"too many dependencies for", service, 0);

    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) return Fail(install, L"cannot open the service manager", L"", GetLastError());
    SC_HANDLE entry = OpenServiceW(manager, service, SERVICE_CHANGE_CONFIG);
    DWORD error = 0;
    BOOL changed = FALSE;
    if (entry) {
        changed =
            ChangeServiceConfigW(entry, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                 command, NULL, NULL, dependencies, NULL, NULL, NULL);
        if (!changed) error = GetLastError();
        CloseServiceHandle(entry);
    } else {
        error = GetLastError();
    }
    CloseServiceHandle(manager);
    if (!changed) return Fail(install, L"cannot change the command line of", service, error);

    wchar_t line[2 * HALV_DATA_CAPACITY];
    _snwprintf(line, sizeof line / sizeof line[0] - 1, L"SetServiceCommandLine: %ls runs %ls",
               service, command);
    line[sizeof line / sizeof line[0] - 1] = L'\0';
    Log(install, line);
    return ERROR_SUCCESS;
}
