/* InstallActions.dll: the installer's own custom action, run by Windows Installer from the
   package's Binary table and never installed. It lives apart from the shipped programs.

   SetServiceCommandLine (deferred, as LocalSystem) gives the service that the package's
   ServiceInstall table has just created the command line that the service program's own
   install registers: Windows Installer registers the key file's path as it is, without the
   quotes that a path under "Program Files" needs. A failure fails the installation, which
   Windows Installer then rolls back.

   AwaitServiceStop (deferred, right after StopServices) waits until a service whose stop is
   under way has stopped and its process has ended, so that what follows finds neither the
   program and its driver in use nor the old service still marked for deletion (a new one of
   that name cannot be created then, which fails an upgrade): Windows Installer waits for the
   stopped state only, and Wine's installer not even for that. It never fails the
   installation; a stop that takes longer than a minute is noted in the log and the
   installation goes on as it would have.

   RemoveDriverService (deferred, as LocalSystem, after DeleteServices, at removal) deletes the
   kernel driver service that the service program registers, "KvDpcService", once the service
   itself is gone, whatever the driver service's state, without stopping it (see below).

   CheckInstallFolder (immediate, after CostFinalize, not at removal) refuses an install folder
   that is not strictly below Program Files or whose path carries the service's name (see
   install_folder.h), before anything is changed: the message goes to the log and, with a user
   interface, to the screen, and the installation ends with 1603. */
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <stdarg.h>
#include <stdio.h>

#include "install_folder.h"
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

/* How long AwaitServiceStop waits for a stop under way, in milliseconds. */
#define HALV_STOP_WAIT_MS 60000

/* Whether the service program's instance mutex still exists: the program holds it from its
   start until its process ends, under "Global\<service>-Mutex" or "<service>-Mutex". */
static BOOL InstanceAlive(const wchar_t* service) {
    for (int global = 1; global >= 0; --global) {
        wchar_t name[HALV_DATA_CAPACITY];
        _snwprintf(name, HALV_DATA_CAPACITY - 1, L"%ls%ls-Mutex", global ? L"Global\\" : L"",
                   service);
        name[HALV_DATA_CAPACITY - 1] = L'\0';
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
        if (mutex) {
            CloseHandle(mutex);
            return TRUE;
        }
    }
    return FALSE;
}

__declspec(dllexport) UINT __stdcall AwaitServiceStop(MSIHANDLE install) {
    wchar_t service[HALV_DATA_CAPACITY];
    DWORD length = HALV_DATA_CAPACITY;
    if (MsiGetPropertyW(install, L"CustomActionData", service, &length) != ERROR_SUCCESS ||
        length == 0) {
        Log(install, L"AwaitServiceStop: no service named");
        return ERROR_SUCCESS;
    }
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) return ERROR_SUCCESS;
    SC_HANDLE entry = OpenServiceW(manager, service, SERVICE_QUERY_STATUS);
    if (!entry) { /* not installed: nothing to wait for */
        CloseServiceHandle(manager);
        return ERROR_SUCCESS;
    }
    SERVICE_STATUS_PROCESS status = {0};
    DWORD needed = 0;
    const BOOL queried =
        QueryServiceStatusEx(entry, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof status, &needed);
    /* A stop that StopServices has begun: the service reports stop-pending while its work
       winds down, and its process may outlive the "stopped" it reports. A running service
       that this installation does not stop is left alone. */
    const BOOL stopping =
        queried && (status.dwCurrentState == SERVICE_STOP_PENDING ||
                    (status.dwCurrentState == SERVICE_STOPPED && InstanceAlive(service)));
    wchar_t line[2 * HALV_DATA_CAPACITY];
    if (stopping) {
        HANDLE process =
            status.dwProcessId ? OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId) : NULL;
        const ULONGLONG begun = GetTickCount64();
        BOOL done = FALSE;
        for (;;) {
            const BOOL pending = QueryServiceStatusEx(entry, SC_STATUS_PROCESS_INFO, (BYTE*)&status,
                                                      sizeof status, &needed) &&
                                 status.dwCurrentState == SERVICE_STOP_PENDING;
            const BOOL ended = !process || WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
            done = !pending && ended && !InstanceAlive(service);
            if (done || GetTickCount64() - begun >= HALV_STOP_WAIT_MS) break;
            Sleep(100);
        }
        if (process) CloseHandle(process);
        const unsigned long waited = (unsigned long)(GetTickCount64() - begun);
        _snwprintf(line, sizeof line / sizeof line[0] - 1,
                   done ? L"AwaitServiceStop: %ls has stopped and its process ended (%lu ms)"
                        : L"AwaitServiceStop: %ls is still stopping after %lu ms; going on",
                   service, waited);
    } else {
        _snwprintf(line, sizeof line / sizeof line[0] - 1,
                   L"AwaitServiceStop: %ls is in state %lu, no stop to wait for", service,
                   queried ? (unsigned long)status.dwCurrentState : 0ul);
    }
    line[sizeof line / sizeof line[0] - 1] = L'\0';
    Log(install, line);
    CloseServiceHandle(entry);
    CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

/* The service whose name the install folder must not carry: the service program finds its
   driver by replacing that name in its own path. */
#define HALV_SERVICE_NAME L"Vexmond"

__declspec(dllexport) UINT __stdcall CheckInstallFolder(MSIHANDLE install) {
    wchar_t folder[HALV_DATA_CAPACITY], program_files[HALV_DATA_CAPACITY];
    DWORD length = HALV_DATA_CAPACITY;
    /* Both are resolved folder paths by now (CostFinalize has run); a path too long for the
       buffer is refused like any other folder the rule cannot vouch for. */
    if (MsiGetPropertyW(install, L"INSTALLDIR", folder, &length) != ERROR_SUCCESS) folder[0] = 0;
    length = HALV_DATA_CAPACITY;
    if (MsiGetPropertyW(install, L"ProgramFiles64Folder", program_files, &length) != ERROR_SUCCESS)
        program_files[0] = 0;
    const enum halv_folder_verdict verdict =
        halv_install_folder_verdict(folder, program_files, HALV_SERVICE_NAME);
    wchar_t line[3 * HALV_DATA_CAPACITY];
    if (verdict == HALV_FOLDER_ACCEPTED) {
        _snwprintf(line, sizeof line / sizeof line[0] - 1, L"CheckInstallFolder: installing in %ls",
                   folder);
        line[sizeof line / sizeof line[0] - 1] = L'\0';
        Log(install, line);
        return ERROR_SUCCESS;
    }
    if (verdict == HALV_FOLDER_NAMES_SERVICE)
        _snwprintf(line, sizeof line / sizeof line[0] - 1,
                   L"HALV cannot be installed in %ls: the folder's path must not contain "
                   L"\"%ls\", the name by which the service finds its driver. Choose another "
                   L"folder; nothing has been changed.",
                   folder, HALV_SERVICE_NAME);
    else
        _snwprintf(line, sizeof line / sizeof line[0] - 1,
                   L"HALV cannot be installed in %ls: the folder must lie under %ls, where only "
                   L"administrators may change the programs that the service runs as "
                   L"LocalSystem. Choose a folder there; nothing has been changed.",
                   folder, program_files);
    line[sizeof line / sizeof line[0] - 1] = L'\0';
    /* The log line for quiet installations (Wine's installer logs no error message under
       /qn), then the error itself, which a user interface shows in a box. */
    Log(install, line);
    MSIHANDLE record = MsiCreateRecord(0);
    if (record) {
        MsiRecordSetStringW(record, 0, line);
        MsiProcessMessage(install, (INSTALLMESSAGE)(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR),
                          record);
        MsiCloseHandle(record);
    }
    return ERROR_INSTALL_FAILURE;
}

/* Whether the service still has a live entry: one that exists and is not marked for deletion.
   Read only: a ChangeServiceConfig that changes nothing would tell a marked entry by its
   ERROR_SERVICE_MARKED_FOR_DELETE, but Wine's service manager drops the dependencies of a
   service changed without them. Windows' service manager records an entry that DeleteService
   could not remove yet (another program holds it open) with the value DeleteFlag in its key,
   outside its documented interface: where no such value is found, a marked entry counts as
   live and the driver service stays, the safe side. */
static BOOL ServiceLives(SC_HANDLE manager, const wchar_t* service) {
    SC_HANDLE entry = OpenServiceW(manager, service, SERVICE_QUERY_STATUS);
    if (!entry) return GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
    CloseServiceHandle(entry);
    wchar_t key[HALV_DATA_CAPACITY];
    _snwprintf(key, HALV_DATA_CAPACITY - 1, L"SYSTEM\\CurrentControlSet\\Services\\%ls", service);
    key[HALV_DATA_CAPACITY - 1] = L'\0';
    DWORD flag = 0, size = sizeof flag;
    const BOOL marked = RegGetValueW(HKEY_LOCAL_MACHINE, key, L"DeleteFlag", RRF_RT_REG_DWORD, NULL,
                                     &flag, &size) == ERROR_SUCCESS &&
                        flag != 0;
    return !marked;
}

/* Data: "<service>|<driver service>". The driver service belongs to the service: while the
   service lives on (the older product's removal in an upgrade leaves the newer product's
   service in place, and Wine's installer gives that removal no UPGRADINGPRODUCTCODE to tell
   it by), it is left alone. Once the service is gone, the driver service is deleted with
   DeleteService alone: the ServiceControl table's removal would stop a running service first,
   and a loaded driver may still be called by a miniport. DeleteService only marks a running
   driver's entry for deletion; the entry goes when the driver stops, at the latest with the
   next restart. Never fails the removal. */
__declspec(dllexport) UINT __stdcall RemoveDriverService(MSIHANDLE install) {
    wchar_t data[HALV_DATA_CAPACITY];
    DWORD length = HALV_DATA_CAPACITY;
    wchar_t line[2 * HALV_DATA_CAPACITY];
    if (MsiGetPropertyW(install, L"CustomActionData", data, &length) != ERROR_SUCCESS ||
        halv_service_request_bar(data, length) == 0) {
        Log(install, L"RemoveDriverService: data is not \"service|driver service\"");
        return ERROR_SUCCESS;
    }
    const size_t bar = halv_service_request_bar(data, length);
    data[bar] = L'\0';
    const wchar_t* service = data;
    const wchar_t* driver = data + bar + 1;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) {
        _snwprintf(line, sizeof line / sizeof line[0] - 1,
                   L"RemoveDriverService: cannot open the service manager (error %lu)",
                   (unsigned long)GetLastError());
    } else if (ServiceLives(manager, service)) {
        _snwprintf(line, sizeof line / sizeof line[0] - 1,
                   L"RemoveDriverService: %ls remains installed; %ls stays as it is", service,
                   driver);
    } else {
        SC_HANDLE entry = OpenServiceW(manager, driver, DELETE | SERVICE_QUERY_STATUS);
        if (!entry) {
            const DWORD error = GetLastError();
            _snwprintf(line, sizeof line / sizeof line[0] - 1,
                       error == ERROR_SERVICE_DOES_NOT_EXIST
                           ? L"RemoveDriverService: no %ls to remove (error %lu)"
                           : L"RemoveDriverService: cannot open %ls (error %lu)",
                       driver, (unsigned long)error);
        } else {
            SERVICE_STATUS status = {0};
            const DWORD state = QueryServiceStatus(entry, &status) ? status.dwCurrentState : 0;
            const BOOL deleted = DeleteService(entry);
            const DWORD error = deleted ? 0 : GetLastError();
            CloseServiceHandle(entry);
            if (deleted && state != SERVICE_STOPPED)
                _snwprintf(line, sizeof line / sizeof line[0] - 1,
                           L"RemoveDriverService: %ls (state %lu) marked for deletion; it goes "
                           L"when the driver stops, at the latest with the next restart",
                           driver, (unsigned long)state);
            else if (deleted)
                _snwprintf(line, sizeof line / sizeof line[0] - 1,
                           L"RemoveDriverService: %ls removed", driver);
            else
                _snwprintf(line, sizeof line / sizeof line[0] - 1,
                           L"RemoveDriverService: cannot delete %ls (error %lu)", driver,
                           (unsigned long)error);
        }
    }
    if (manager) CloseServiceHandle(manager);
    line[sizeof line / sizeof line[0] - 1] = L'\0';
    Log(install, line);
    return ERROR_SUCCESS;
}

/* ---- The metrics schedule ------------------------------------------------------------------
   RegisterMetricsTask (deferred, as LocalSystem, when METRICS_TEXTFILE_DIR is set) registers
   the task "\Torvale\HALV metrics" that runs halvctl's metrics into that folder at start-up
   and every five minutes as SYSTEM (see metrics_task.h), replacing one registered before.
   Data: "<halvctl.exe's path>|<folder>". A failure fails the installation; its rollback,
   UnregisterMetricsTask scheduled as a rollback action before it, takes the task away again.

   UnregisterMetricsTask (deferred, as LocalSystem) deletes the task: at an install without
   the property (an upgrade that drops it) and as the rollback above. RemoveMetricsTask
   (deferred, after RemoveFiles, at removal; data: halvctl.exe's path) deletes it only once
   the program it runs is gone: in an upgrade the older product is removed after the newer
   one is installed, and its removal must leave the newer product's task alone (halvctl.exe
   belongs to the newer product then and stays; Wine's installer gives that removal no
   UPGRADINGPRODUCTCODE to tell it by). Neither ever fails the installation. */

#include <taskschd.h>

#include "metrics_task.h"

/* The Task Scheduler's folder of the task, created when `create` and missing; NULL on failure
   with the HRESULT in *hr. COM is initialised by the caller. */
static ITaskFolder* MetricsTaskFolder(ITaskService** service, BOOL create, HRESULT* hr) {
    *service = NULL;
    *hr = CoCreateInstance(&CLSID_TaskScheduler, NULL, CLSCTX_INPROC_SERVER, &IID_ITaskService,
                           (void**)service);
    if (FAILED(*hr)) return NULL;
    VARIANT none;
    VariantInit(&none); /* VT_EMPTY: this computer, the caller's account */
    *hr = (*service)->lpVtbl->Connect(*service, none, none, none, none);
    if (FAILED(*hr)) return NULL;
    ITaskFolder* folder = NULL;
    BSTR path = SysAllocString(HALV_METRICS_TASK_FOLDER);
    *hr = (*service)->lpVtbl->GetFolder(*service, path, &folder);
    if (FAILED(*hr) && create) {
        ITaskFolder* root = NULL;
        BSTR top = SysAllocString(L"\\");
        *hr = (*service)->lpVtbl->GetFolder(*service, top, &root);
        if (SUCCEEDED(*hr)) {
            VARIANT sddl;
            VariantInit(&sddl); /* the root folder's security */
            *hr = root->lpVtbl->CreateFolder(root, path, sddl, &folder);
            root->lpVtbl->Release(root);
        }
        SysFreeString(top);
    }
    SysFreeString(path);
    return SUCCEEDED(*hr) ? folder : NULL;
}

/* COM for this thread: the action server's thread may have it already, in either model;
   `*owned` says whether CoUninitialize is due. */
static BOOL EnterCom(BOOL* owned) {
    const HRESULT hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    *owned = SUCCEEDED(hr);
    return SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE;
}

static void LogLine(MSIHANDLE install, const wchar_t* format, ...) {
    wchar_t line[2 * HALV_DATA_CAPACITY];
    va_list args;
    va_start(args, format);
    _vsnwprintf(line, sizeof line / sizeof line[0] - 1, format, args);
    va_end(args);
    line[sizeof line / sizeof line[0] - 1] = L'\0';
    Log(install, line);
}

__declspec(dllexport) UINT __stdcall RegisterMetricsTask(MSIHANDLE install) {
    wchar_t data[HALV_DATA_CAPACITY];
    DWORD length = HALV_DATA_CAPACITY;
    if (MsiGetPropertyW(install, L"CustomActionData", data, &length) != ERROR_SUCCESS ||
        halv_service_request_bar(data, length) == 0) {
        Log(install, L"RegisterMetricsTask: data is not \"program|folder\"");
        return ERROR_INSTALL_FAILURE;
    }
    const size_t bar = halv_service_request_bar(data, length);
    data[bar] = L'\0';
    const wchar_t* dir = data + bar + 1;
    wchar_t program[HALV_DATA_CAPACITY];
    static wchar_t xml[8 * HALV_DATA_CAPACITY];
    if (!halv_service_command_line(data, bar, program, HALV_DATA_CAPACITY) ||
        !halv_metrics_task_xml(program, dir, xml, sizeof xml / sizeof xml[0])) {
        LogLine(install, L"RegisterMetricsTask: METRICS_TEXTFILE_DIR \"%ls\" cannot be used", dir);
        return ERROR_INSTALL_FAILURE;
    }
    BOOL owned = FALSE;
    if (!EnterCom(&owned)) {
        Log(install, L"RegisterMetricsTask: COM cannot be initialised");
        return ERROR_INSTALL_FAILURE;
    }
    ITaskService* service = NULL;
    HRESULT hr = S_OK;
    ITaskFolder* folder = MetricsTaskFolder(&service, TRUE, &hr);
    if (folder) {
        BSTR name = SysAllocString(HALV_METRICS_TASK_NAME);
        BSTR text = SysAllocString(xml);
        VARIANT user, none;
        VariantInit(&none);
        /* SYSTEM by its well-known SID, with the service-account logon type: the account
           needs no password and the task runs whether or not anyone is logged on. */
        VariantInit(&user);
        user.vt = VT_BSTR;
        user.bstrVal = SysAllocString(L"S-1-5-18");
        IRegisteredTask* task = NULL;
        hr = folder->lpVtbl->RegisterTask(folder, name, text, TASK_CREATE_OR_UPDATE, user, none,
                                          TASK_LOGON_SERVICE_ACCOUNT, none, &task);
        if (task) task->lpVtbl->Release(task);
        VariantClear(&user);
        SysFreeString(text);
        SysFreeString(name);
        folder->lpVtbl->Release(folder);
    }
    if (service) service->lpVtbl->Release(service);
    if (owned) CoUninitialize();
    if (FAILED(hr)) {
        LogLine(install, L"RegisterMetricsTask: cannot register %ls (HRESULT 0x%08lx)",
                HALV_METRICS_TASK_FOLDER L"\\" HALV_METRICS_TASK_NAME, (unsigned long)hr);
        return ERROR_INSTALL_FAILURE;
    }
    wchar_t arguments[HALV_DATA_CAPACITY];
    halv_metrics_arguments(dir, arguments, HALV_DATA_CAPACITY); /* fits: the XML held it */
    LogLine(install, L"RegisterMetricsTask: %ls runs %ls %ls",
            HALV_METRICS_TASK_FOLDER L"\\" HALV_METRICS_TASK_NAME, program, arguments);
    return ERROR_SUCCESS;
}

/* Deletes the task and then its folder when nothing else is left in it. */
static void DeleteMetricsTask(MSIHANDLE install, const wchar_t* who) {
    BOOL owned = FALSE;
    if (!EnterCom(&owned)) return;
    ITaskService* service = NULL;
    HRESULT hr = S_OK;
    ITaskFolder* folder = MetricsTaskFolder(&service, FALSE, &hr);
    if (folder) {
        BSTR name = SysAllocString(HALV_METRICS_TASK_NAME);
        hr = folder->lpVtbl->DeleteTask(folder, name, 0);
        SysFreeString(name);
        folder->lpVtbl->Release(folder);
        /* Fails, as it should, while the folder holds another task. */
        ITaskFolder* root = NULL;
        BSTR top = SysAllocString(L"\\"), path = SysAllocString(HALV_METRICS_TASK_FOLDER);
        if (SUCCEEDED(hr) && SUCCEEDED(service->lpVtbl->GetFolder(service, top, &root))) {
            root->lpVtbl->DeleteFolder(root, path, 0);
            root->lpVtbl->Release(root);
        }
        SysFreeString(path);
        SysFreeString(top);
    }
    if (service) service->lpVtbl->Release(service);
    if (owned) CoUninitialize();
    LogLine(install, L"%ls: %ls (HRESULT 0x%08lx)", who,
            SUCCEEDED(hr) ? L"the task deleted" : L"no task deleted", (unsigned long)hr);
}

__declspec(dllexport) UINT __stdcall UnregisterMetricsTask(MSIHANDLE install) {
    DeleteMetricsTask(install, L"UnregisterMetricsTask");
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall RemoveMetricsTask(MSIHANDLE install) {
    wchar_t program[HALV_DATA_CAPACITY];
    DWORD length = HALV_DATA_CAPACITY;
    if (MsiGetPropertyW(install, L"CustomActionData", program, &length) != ERROR_SUCCESS ||
        length == 0) {
        Log(install, L"RemoveMetricsTask: no program named");
        return ERROR_SUCCESS;
    }
    if (GetFileAttributesW(program) != INVALID_FILE_ATTRIBUTES) {
        LogLine(install, L"RemoveMetricsTask: %ls remains installed; the task stays", program);
        return ERROR_SUCCESS;
    }
    DeleteMetricsTask(install, L"RemoveMetricsTask");
    return ERROR_SUCCESS;
}
