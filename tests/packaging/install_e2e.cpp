// End to end: the installer package under the real msiexec, in a prefix where nothing of the
// system was ever installed. Installs it and reads back every file, registry value and
// service it promises; runs the installed service against the simulator HALVSIM.sys until an
// adapter's event reaches the event log, and the installed halvctl.exe; upgrades it in place
// with a newer package that registers the metrics schedule; has an older package refused, its
// message read from the box a person would see; uninstalls it and finds nothing of the system
// left. Prints the time each msiexec run took.
//
// Usage: install_e2e HALVSIM.sys OLDER.msi NEWER.msi (Unix paths become Wine's Z: form).
// The tests build on each other and run in the order written.
//
// Under Wine two drivers share a winedevice process (and with it the address space in which
// a DPC address means something) only in the same load-order group: before the installed
// service runs against the simulator, the test starts "KvDpcService" from the installed
// XAPHLINK.sys in the simulator's group, which the service then uses as it is.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <taskschd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/protocol.h"
#include "e2e_support.h"
#include "service_e2e_support.h"
#include "sim/population.h"

namespace {

// The service manager and child-process helpers of the service's own end-to-end tests.
using svc_e2e::AwaitState;
using svc_e2e::Child;
using svc_e2e::OpenSvc;
using svc_e2e::Sc;
using svc_e2e::StateOf;

constexpr char kGroup[] = "HALV bridge and simulator";
constexpr char kService[] = "Vexmond";
constexpr char kBridgeService[] = "KvDpcService";
constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Torvale Disk Controller "
    "Message Agent";
constexpr char kProgramKey[] = "SOFTWARE\\Torvale Technology Inc.\\HALV\\Service\\Vexmond";
constexpr char kVendorKey[] = "SOFTWARE\\Torvale Technology Inc.";
constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// ---- What a package says about itself, read with the installer's own database API ---------

struct Package {
    std::string path;
    std::string productCode, productVersion, upgradeCode, productName;
    // File name -> File table version: the files the package ships, from the one list the
    // package is built from.
    std::map<std::string, std::string> fileVersions;
};

std::vector<std::vector<std::string>> Query(MSIHANDLE db, const char* sql, int columns) {
    std::vector<std::vector<std::string>> rows;
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewA(db, sql, &view) != ERROR_SUCCESS) return rows;
    if (MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        MSIHANDLE record = 0;
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            std::vector<std::string> row;
            for (int c = 1; c <= columns; ++c) {
                char value[1024] = {};
                DWORD size = sizeof value;
                MsiRecordGetStringA(record, c, value, &size);
                row.push_back(value);
            }
            rows.push_back(row);
            MsiCloseHandle(record);
        }
    }
    MsiViewClose(view);
    MsiCloseHandle(view);
    return rows;
}

Package ReadPackage(const std::string& path) {
    Package p;
    p.path = path;
    MSIHANDLE db = 0;
    if (MsiOpenDatabaseA(path.c_str(), MSIDBOPEN_READONLY, &db) != ERROR_SUCCESS) return p;
    for (const auto& row : Query(db, "SELECT `Property`, `Value` FROM `Property`", 2)) {
        if (row[0] == "ProductCode") p.productCode = row[1];
        if (row[0] == "ProductVersion") p.productVersion = row[1];
        if (row[0] == "UpgradeCode") p.upgradeCode = row[1];
        if (row[0] == "ProductName") p.productName = row[1];
    }
    for (const auto& row : Query(db, "SELECT `FileName`, `Version` FROM `File`", 2))
        p.fileVersions[row[0]] = row[1];
    MsiCloseHandle(db);
    return p;
}

Package g_older, g_newer;

// The product codes installed under the package's upgrade code.
std::vector<std::string> InstalledProducts(const std::string& upgradeCode) {
    std::vector<std::string> codes;
    char code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsA(upgradeCode.c_str(), 0, i, code) == ERROR_SUCCESS;
         ++i)
        codes.push_back(code);
    return codes;
}

// A GUID as Windows Installer's registration writes it: the first three groups reversed,
// each byte of the last two with its hex digits swapped.
std::string SquashedGuid(const std::string& guid) {
    std::string hex;
    for (char c : guid)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    if (hex.size() != 32) return "";
    std::string out(hex.rbegin() + 24, hex.rend());    // the first 8
    out.append(hex.rbegin() + 20, hex.rbegin() + 24);  // the next 4
    out.append(hex.rbegin() + 16, hex.rbegin() + 20);  // the next 4
    for (size_t i = 16; i < 32; i += 2) out += {hex[i + 1], hex[i]};
    return out;
}

// Writes the upgrade code's entry for the product where the installer's product search reads
// it (both registrations Wine keeps).
bool RestoreUpgradeCodeEntry(const std::string& upgradeCode, const std::string& productCode) {
    bool ok = true;
    for (const char* base :
         {"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\",
          "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\"}) {
        HKEY key = nullptr;
        const std::string path = base + SquashedGuid(upgradeCode);
        ok = ok && RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                                   nullptr) == ERROR_SUCCESS;
        if (key) {
            ok = ok && RegSetValueExA(key, SquashedGuid(productCode).c_str(), 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(""), 1) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
    }
    return ok;
}

std::string ProductInfo(const std::string& productCode, const char* property) {
    char value[1024] = {};
    DWORD size = sizeof value;
    if (MsiGetProductInfoA(productCode.c_str(), property, value, &size) != ERROR_SUCCESS)
        return "<none>";
    return value;
}

// ---- msiexec ------------------------------------------------------------------------------

struct MsiRun {
    bool finished = false;
    DWORD exitCode = 0;
    double seconds = 0;
    ULONGLONG endedAt = 0;  // GetTickCount64 when msiexec had ended
    std::string log;        // the verbose log
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    // Windows Installer writes its log in UTF-16 when it wants; keep the ASCII of either.
    if (s.size() >= 2 && s[1] == '\0') {
        std::string narrow;
        for (size_t i = 0; i < s.size(); i += 2) narrow += s[i];
        s = narrow;
    }
    return s;
}

MsiRun Msiexec(const std::string& action, const Package& package, const char* logName,
               const std::string& properties = "") {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string log = std::string(temp) + logName;
    DeleteFileA(log.c_str());
    const ULONGLONG t0 = GetTickCount64();
    const e2e::ChildResult r =
        e2e::RunProgram("msiexec " + action + " \"" + package.path + "\" /qn /norestart /l*v \"" +
                            log + "\"" + (properties.empty() ? "" : " " + properties),
                        240000);
    MsiRun run;
    run.finished = r.finished;
    run.exitCode = r.exitCode;
    run.endedAt = GetTickCount64();
    run.seconds = static_cast<double>(run.endedAt - t0) / 1000.0;
    run.log = ReadText(log);
    return run;
}

// ---- Registry, files, services --------------------------------------------------------------

struct RegValue {
    bool found = false;
    DWORD type = 0;
    std::string text;  // strings as they are; a multi-string's parts joined by '|'
    DWORD number = 0;
};

RegValue ReadValue(const std::string& key, const char* name) {
    RegValue v;
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &h) !=
        ERROR_SUCCESS)
        return v;
    std::vector<char> data(4096, 0);
    DWORD size = static_cast<DWORD>(data.size() - 2);
    // RegQueryValueExA leaves REG_EXPAND_SZ unexpanded: the type and text as written.
    if (RegQueryValueExA(h, name, nullptr, &v.type, reinterpret_cast<BYTE*>(data.data()), &size) ==
        ERROR_SUCCESS) {
        v.found = true;
        if (v.type == REG_DWORD && size == 4) {
            std::memcpy(&v.number, data.data(), 4);
        } else if (v.type == REG_MULTI_SZ) {
            for (const char* p = data.data(); *p; p += std::strlen(p) + 1)
                v.text += (v.text.empty() ? "" : "|") + std::string(p);
        } else {
            v.text = data.data();
        }
    }
    RegCloseKey(h);
    return v;
}

bool KeyExists(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &h) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ProgramFiles() {
    char path[MAX_PATH] = {};
    ExpandEnvironmentStringsA("%ProgramW6432%", path, sizeof path);
    return path;
}
std::string VendorFolder() {
    return ProgramFiles() + "\\Torvale";
}
std::string InstallFolder() {
    return VendorFolder() + "\\HALV\\";
}

// The version resource's file and product versions, as a.b.c.d.
struct FileVersion {
    std::string file, product;
};
FileVersion VersionOf(const std::string& path) {
    FileVersion v;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return v;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return v;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) || !info)
        return v;
    auto text = [](DWORD ms, DWORD ls) {
        return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." +
               std::to_string(HIWORD(ls)) + "." + std::to_string(LOWORD(ls));
    };
    v.file = text(info->dwFileVersionMS, info->dwFileVersionLS);
    v.product = text(info->dwProductVersionMS, info->dwProductVersionLS);
    return v;
}

// The Start Menu's program folders: the common one where a per-machine package puts its
// shortcuts on Windows, and the user's, where Wine's installer puts them.
std::vector<std::string> ProgramMenus() {
    std::vector<std::string> folders;
    for (int csidl : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        char path[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathA(nullptr, csidl, nullptr, 0, path))) folders.push_back(path);
    }
    return folders;
}

std::string FindShortcut() {
    for (const std::string& folder : ProgramMenus()) {
        const std::string link = folder + "\\HALV.lnk";
        if (PathExists(link)) return link;
    }
    return "";
}

struct ShortcutInfo {
    std::string target, workingDirectory;
};
ShortcutInfo ReadShortcut(const std::string& link) {
    ShortcutInfo info;
    IShellLinkA* shell = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&shell))))
        return info;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        std::wstring wide(link.begin(), link.end());
        if (SUCCEEDED(file->Load(wide.c_str(), STGM_READ))) {
            char path[MAX_PATH] = {};
            if (SUCCEEDED(shell->GetPath(path, sizeof path, nullptr, 0))) info.target = path;
            if (SUCCEEDED(shell->GetWorkingDirectory(path, sizeof path)))
                info.workingDirectory = path;
        }
        file->Release();
    }
    shell->Release();
    return info;
}

// The service process holds its instance mutex until it ends, in the global namespace or the
// session's; null when there is none.
HANDLE OpenInstanceMutex() {
    for (const char* name : {"Global\\Vexmond-Mutex", "Vexmond-Mutex"})
        if (HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name)) return mutex;
    return nullptr;
}

bool AwaitServiceProcessGone(DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 100) {
        HANDLE mutex = OpenInstanceMutex();
        if (!mutex) return true;
        CloseHandle(mutex);
        Sleep(100);
    }
    return false;
}

// Waits until the service is gone from the service manager and its process has ended: Wine's
// installer does not wait for a service to stop before it goes on.
bool AwaitServiceGone(const char* name, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 100) {
        if (!svc_e2e::Exists(name)) return AwaitServiceProcessGone(ms);
        Sleep(100);
    }
    return false;
}

// ---- The event log, as Wine reports it on its debug channels (see scripts/e2e.sh) ------------

struct LogEntry {
    std::string level;  // err, warn or trace: error, warning, information
    uint32_t id = 0;
    std::string text;
};

class EventLog {
  public:
    EventLog() {
        const char* path = std::getenv("HALV_E2E_DRIVER_LOG");
        if (path) path_ = e2e::WindowsPath(path);
        mark_ = ReadText(path_).size();
    }
    bool available() const { return !path_.empty(); }
    std::string Since() const {
        const std::string all = ReadText(path_);
        return all.size() > mark_ ? all.substr(mark_) : "";
    }
    // ReportEventW's lines since the mark: a fixme line with the identifier, then the text
    // on the eventlog channel at the entry's level.
    std::vector<LogEntry> Entries() const {
        std::vector<LogEntry> entries;
        std::istringstream lines(Since());
        std::string line;
        while (std::getline(lines, line)) {
            size_t at = line.find(":fixme:advapi:ReportEventW (");
            if (at != std::string::npos) {
                unsigned long long handle = 0;
                unsigned type = 0, category = 0, id = 0;
                std::sscanf(line.c_str() + at + 28, "%llx,0x%x,0x%x,0x%x", &handle, &type,
                            &category, &id);
                entries.push_back({"", id, ""});
                continue;
            }
            for (const char* level : {"err", "warn", "trace"}) {
                const std::string tag = std::string(":") + level + ":eventlog:ReportEventW L\"";
                at = line.find(tag);
                if (at == std::string::npos || entries.empty()) continue;
                std::string text = line.substr(at + tag.size());
                while (!text.empty() && (text.back() == '\r' || text.back() == '"'))
                    text.pop_back();
                std::string plain;
                for (size_t i = 0; i < text.size(); ++i) {
                    if (text[i] == '\\' && i + 1 < text.size()) ++i;
                    plain += text[i];
                }
                entries.back().level = level;
                entries.back().text = plain;
            }
        }
        return entries;
    }
    std::vector<LogEntry> Await(size_t count, DWORD ms) const {
        std::vector<LogEntry> entries;
        for (DWORD waited = 0; waited <= ms; waited += 100) {
            entries = Entries();
            if (entries.size() >= count && !entries[count - 1].text.empty()) break;
            Sleep(100);
        }
        return entries;
    }

  private:
    std::string path_;
    size_t mark_ = 0;
};

// ---- A program that runs beside the test, and the message boxes it shows ---------------------

// Waits for a message box whose text is `text` and closes it with OK; `seen` collects the
// texts of the other boxes on screen meanwhile.
bool AwaitBox(const std::string& text, DWORD ms, std::vector<std::string>& seen) {
    for (DWORD waited = 0; waited <= ms; waited += 100) {
        HWND box = nullptr;
        while ((box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr) {
            char shown[2048] = {};
            GetWindowTextA(GetDlgItem(box, 0xFFFF), shown, sizeof shown);
            if (text == shown) {
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                return true;
            }
            if (shown[0] && std::find(seen.begin(), seen.end(), shown) == seen.end())
                seen.push_back(shown);
        }
        Sleep(100);
    }
    return false;
}

// ---- The metrics schedule ---------------------------------------------------------------------

// The folder the package is told to write metrics into: a blank and an ampersand, which
// neither the task's definition nor halvctl's command line may take apart.
constexpr char kMetricsDir[] = "C:\\ProgramData\\HALV & metrics";

// The registered task "\Torvale\HALV metrics" as the Task Scheduler's COM interface gives it
// back: whether there is one, and its definition's XML. Wine's Task Scheduler keeps of a
// definition only its registration information and settings (its reader of triggers,
// principals and actions does nothing); the program and its arguments are read from the
// installation's log instead, the schedule from the native tests of the definition.
struct MetricsTask {
    bool found = false;
    std::string xml;
};

MetricsTask ReadMetricsTask() {
    MetricsTask task;
    ITaskService* service = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ITaskService, reinterpret_cast<void**>(&service))))
        return task;
    ITaskFolder* folder = nullptr;
    IRegisteredTask* registered = nullptr;
    BSTR path = SysAllocString(L"\\Torvale");
    BSTR name = SysAllocString(L"HALV metrics");
    if (SUCCEEDED(service->Connect(VARIANT{}, VARIANT{}, VARIANT{}, VARIANT{})) &&
        SUCCEEDED(service->GetFolder(path, &folder)) &&
        SUCCEEDED(folder->GetTask(name, &registered))) {
        task.found = true;
        BSTR xml = nullptr;
        if (SUCCEEDED(registered->get_Xml(&xml)) && xml) {
            const int n = WideCharToMultiByte(CP_UTF8, 0, xml, -1, nullptr, 0, nullptr, nullptr);
            task.xml.assign(n > 0 ? n - 1 : 0, '\0');
            WideCharToMultiByte(CP_UTF8, 0, xml, -1, task.xml.data(), n, nullptr, nullptr);
            SysFreeString(xml);
        }
    }
    SysFreeString(name);
    SysFreeString(path);
    if (registered) registered->Release();
    if (folder) folder->Release();
    service->Release();
    return task;
}

// ---- The tests ---------------------------------------------------------------------------------

class InstallE2E : public e2e::SimTest {
  protected:
    static void SetUpTestSuite() { CoInitialize(nullptr); }
    static void TearDownTestSuite() {
        // Whatever a failed test left installed goes, so that the run leaves nothing behind.
        for (const std::string& code : InstalledProducts(g_newer.upgradeCode))
            e2e::RunProgram("msiexec /x " + code + " /qn", 240000);
        AwaitServiceGone(kService, 30000);
        std::string error;
        simctl::StopAndDelete(kBridgeService, &error);
        CoUninitialize();
    }

    static void LoadEmpty() {
        std::string error;
        ASSERT_TRUE(e2e::Control().LoadPopulation(*e2e::EmptyPopulation()))
            << "error " << e2e::Control().last_error();
    }

    // Everything of the system that a host can hold; the names of what is there.
    static std::vector<std::string> SystemLeftovers() {
        std::vector<std::string> found;
        if (PathExists(VendorFolder())) found.push_back(VendorFolder());
        for (const Package* package : {&g_older, &g_newer})
            for (const auto& [file, version] : package->fileVersions)
                if (PathExists(InstallFolder() + file)) found.push_back(InstallFolder() + file);
        if (!FindShortcut().empty()) found.push_back(FindShortcut());
        for (const char* key : {kEventSourceKey, kProgramKey, kVendorKey})
            if (KeyExists(key)) found.push_back(std::string("HKLM\\") + key);
        for (const char* service : {kService, kBridgeService}) {
            if (svc_e2e::Exists(service)) found.push_back("service " + std::string(service));
            if (KeyExists(std::string(kServicesKey) + service))
                found.push_back(std::string("HKLM\\") + kServicesKey + service);
        }
        if (ReadMetricsTask().found) found.push_back("task \\Torvale\\HALV metrics");
        for (const std::string& code : InstalledProducts(g_newer.upgradeCode)) {
            found.push_back("installed product " + code);
            if (KeyExists(kUninstallKey + code))
                found.push_back(std::string("HKLM\\") + kUninstallKey + code);
        }
        return found;
    }

    // The whole installation of `package`, as a host would have it.
    static void ExpectInstalled(const Package& package) {
        const std::vector<std::string> products = InstalledProducts(package.upgradeCode);
        ASSERT_EQ(products.size(), 1u) << ::testing::PrintToString(products);
        EXPECT_EQ(products[0], package.productCode);
        // Add/Remove Programs: name, publisher, version, icon.
        const std::string arp = std::string(kUninstallKey) + package.productCode;
        EXPECT_EQ(ReadValue(arp, "DisplayName").text, "HALV");
        EXPECT_EQ(ReadValue(arp, "Publisher").text, "Torvale Technology Inc.");
        EXPECT_EQ(ReadValue(arp, "DisplayVersion").text, package.productVersion);
        const std::string icon = ProductInfo(package.productCode, INSTALLPROPERTY_PRODUCTICON);
        EXPECT_NE(icon.find("halv.ico"), std::string::npos) << icon;
        EXPECT_TRUE(PathExists(icon)) << icon;
        EXPECT_EQ(ReadValue(arp, "InstallLocation").text, InstallFolder());

        // The files, beside each other, with the versions the package's File table names:
        // the product version as file and product version of every file, so that each file
        // of a newer package is newer than the installed one and replaces it in place.
        for (const auto& [name, version] : package.fileVersions) {
            const std::string path = InstallFolder() + name;
            ASSERT_TRUE(PathExists(path)) << path;
            const FileVersion v = VersionOf(path);
            EXPECT_EQ(v.file, version) << name;
            EXPECT_EQ(v.file, package.productVersion + ".0") << name;
            EXPECT_EQ(v.product, package.productVersion + ".0") << name;
        }
        const std::string link = FindShortcut();
        ASSERT_FALSE(link.empty()) << "no HALV.lnk in " << ::testing::PrintToString(ProgramMenus());
        const ShortcutInfo shortcut = ReadShortcut(link);
        EXPECT_STRCASEEQ(shortcut.target.c_str(), (InstallFolder() + "HALV.exe").c_str());

        // The event source: the installed program as message file, REG_EXPAND_SZ; all three
        // entry types.
        const std::string program = InstallFolder() + "Vexmond.exe";
        const RegValue messages = ReadValue(kEventSourceKey, "EventMessageFile");
        EXPECT_EQ(messages.type, static_cast<DWORD>(REG_EXPAND_SZ));
        EXPECT_EQ(messages.text, program);
        const RegValue types = ReadValue(kEventSourceKey, "TypesSupported");
        EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(types.number, 7u);

        // The service as the program's own install makes it, read from its registry key
        // (Wine has no "sc qc"): own process, automatic, normal error control, LocalSystem,
        // RPCSS, the program's path quoted because it has a blank.
        const std::string service = std::string(kServicesKey) + kService;
        EXPECT_EQ(ReadValue(service, "ImagePath").text, "\"" + program + "\"");
        EXPECT_EQ(ReadValue(service, "DisplayName").text, "Torvale Strata Message Agent");
        EXPECT_EQ(ReadValue(service, "Type").number, 0x10u);
        EXPECT_EQ(ReadValue(service, "Start").number, 2u);
        EXPECT_EQ(ReadValue(service, "ErrorControl").number, 1u);
        EXPECT_EQ(ReadValue(service, "ObjectName").text, "LocalSystem");
        const RegValue depends = ReadValue(service, "DependOnService");
        EXPECT_EQ(depends.type, static_cast<DWORD>(REG_MULTI_SZ));
        EXPECT_EQ(depends.text, "RPCSS");
        EXPECT_EQ(StateOf(kService), static_cast<DWORD>(SERVICE_RUNNING)) << "started at install";

        // The program's own values, REG_SZ; the binary path unquoted.
        for (const auto& [name, value] : std::map<std::string, std::string>{
                 {"ServiceName", "Vexmond"},
                 {"ServiceDisplayName", "Torvale Strata Message Agent"},
                 {"ServiceBinaryPath", program}}) {
            const RegValue v = ReadValue(kProgramKey, name.c_str());
            EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ)) << name;
            EXPECT_EQ(v.text, value) << name;
        }
    }
};

TEST_F(InstallE2E, APristineHostHoldsNothingOfTheSystem) {
    ASSERT_FALSE(g_older.productCode.empty()) << "cannot read " << g_older.path;
    ASSERT_FALSE(g_newer.productCode.empty()) << "cannot read " << g_newer.path;
    ASSERT_EQ(g_older.upgradeCode, g_newer.upgradeCode);
    ASSERT_NE(g_older.productCode, g_newer.productCode);
    ASSERT_FALSE(g_older.fileVersions.empty());
    EXPECT_EQ(g_older.fileVersions.size(), g_newer.fileVersions.size());
    EXPECT_EQ(SystemLeftovers(), std::vector<std::string>{});
}

// The service program runs as LocalSystem from the install folder: a folder that ordinary
// users may write to (anywhere outside Program Files inherits their rights) or whose path
// carries the service's name (the service finds its driver by that name in its own path) is
// refused before anything is installed.
TEST_F(InstallE2E, AnInstallFolderOutsideProgramFilesOrNamedForTheServiceIsRefused) {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, sizeof windows);
    const std::string drive(windows, 2);
    for (const auto& [folder, why] : std::vector<std::pair<std::string, std::string>>{
             {ProgramFiles() + "\\Torvale\\Vexmond\\", "must not contain \"Vexmond\""},
             {drive + "\\HALV\\", "must lie under " + ProgramFiles()}}) {
        const MsiRun run =
            Msiexec("/i", g_older, "halv-refused.log", "INSTALLDIR=\"" + folder + "\"");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, static_cast<DWORD>(ERROR_INSTALL_FAILURE)) << folder;
        EXPECT_NE(run.log.find("cannot be installed in " + folder), std::string::npos)
            << folder << ": " << run.log.substr(run.log.size() > 3000 ? run.log.size() - 3000 : 0);
        EXPECT_NE(run.log.find(why), std::string::npos) << folder;
        EXPECT_FALSE(PathExists(folder)) << folder;
        EXPECT_EQ(SystemLeftovers(), std::vector<std::string>{}) << folder;
    }
}

TEST_F(InstallE2E, InstallPutsEveryFileValueAndTheServiceInPlace) {
    LoadEmpty();  // the service starts at install and finds no adapter
    const MsiRun run = Msiexec("/i", g_older, "halv-install.log");
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.log.substr(run.log.size() > 6000 ? run.log.size() - 6000
                                                                        : 0);
    std::printf("[   TIME   ] install of %s: %.1f s\n", g_older.productVersion.c_str(),
                run.seconds);
    ExpectInstalled(g_older);
    EXPECT_FALSE(ReadMetricsTask().found) << "a metrics task without METRICS_TEXTFILE_DIR";
    EXPECT_NE(
        run.log.find("SetServiceCommandLine: Vexmond runs \"" + InstallFolder() + "Vexmond.exe\""),
        std::string::npos);
}

TEST_F(InstallE2E, TheInstalledServiceWritesAnAdapterEventToTheLog) {
    EventLog log;
    ASSERT_TRUE(log.available()) << "HALV_E2E_DRIVER_LOG is not set: run under scripts/e2e.sh";
    ASSERT_TRUE(svc_e2e::Exists(kService));
    // The service restarts against one adapter, with its bridge in the simulator's process.
    {
        Sc service(OpenSvc(kService, SERVICE_ALL_ACCESS));
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    }
    ASSERT_TRUE(AwaitState(kService, SERVICE_STOPPED, 30000));
    ASSERT_TRUE(AwaitServiceProcessGone(30000));
    auto pop = e2e::EmptyPopulation();
    sim::AddDisk(sim::AddAdapter(*pop, 0, 0x3124, 4, 2, "First"), 1, 0, "DISK A");
    Load(*pop);
    std::string error;
    ASSERT_TRUE(
        simctl::InstallAndStart({kBridgeService, InstallFolder() + "XAPHLINK.sys", kGroup}, &error))
        << error;
    {
        Sc service(OpenSvc(kService, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << "error " << GetLastError();
    }
    ASSERT_TRUE(AwaitState(kService, SERVICE_RUNNING, 30000));
    bool connected = false;
    for (int i = 0; i < 300 && !connected; ++i) {
        connected = ReadBack()->adapters[0].dpcRegistered != 0;
        if (!connected) Sleep(100);
    }
    ASSERT_TRUE(connected) << "the installed service did not connect the adapter";

    uint8_t record[channel::events::kRecordSize];
    sim::MakeEventRecord(record, 0x101, 2, 1, 0, 0);
    ASSERT_TRUE(e2e::Control().QueueEvent(0, record)) << "error " << e2e::Control().last_error();
    const std::vector<LogEntry> entries = log.Await(1, 30000);
    ASSERT_EQ(entries.size(), 1u) << log.Since().substr(0, 4000);
    EXPECT_EQ(entries[0].text, "Disk1 has been attached at device path \\card1\\port2 .");
    EXPECT_EQ(entries[0].id, 0x40000101u);
    EXPECT_EQ(entries[0].level, "trace");
    // The service goes on running, connected, into the upgrade.
}

TEST_F(InstallE2E, TheInstalledConsoleProgramReadsTheAdapters) {
    // The adapter of the test before, read by halvctl.exe where the package put it.
    const e2e::ChildResult r =
        e2e::RunProgram("\"" + InstallFolder() + "halvctl.exe\" list", 60000);
    ASSERT_TRUE(r.started) << "cannot run " << InstallFolder() << "halvctl.exe";
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_NE(r.output.find("  0 scsi0 First"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0/1/0 DISK A"), std::string::npos) << r.output;
}

TEST_F(InstallE2E, ANewerPackageReplacesTheInstalledOneInPlace) {
    ASSERT_FALSE(InstalledProducts(g_older.upgradeCode).empty()) << "nothing installed to upgrade";
    // Another program (a services console, a monitoring agent) holds the service open all
    // through the upgrade: a service deleted meanwhile stays "marked for deletion" until that
    // handle closes, and no new one of its name can be created.
    Sc held(OpenSvc(kService, SERVICE_QUERY_STATUS));
    ASSERT_TRUE(held) << "error " << GetLastError();
    // The upgrade brings the metrics schedule in.
    const MsiRun run = Msiexec("/i", g_newer, "halv-upgrade.log",
                               std::string("METRICS_TEXTFILE_DIR=\"") + kMetricsDir + "\"");
    ASSERT_TRUE(run.finished);
    if (run.exitCode != 0) {
        // Never nothing: a failed upgrade leaves the older product installed and running.
        ExpectInstalled(g_older);
        FAIL() << "the upgrade failed (" << run.exitCode << "), the older product remains";
    }
    std::printf("[   TIME   ] upgrade to %s: %.1f s\n", g_newer.productVersion.c_str(),
                run.seconds);
    // The older product is gone, the newer one in the same place, its files the newer ones.
    EXPECT_FALSE(KeyExists(kUninstallKey + g_older.productCode));
    ASSERT_EQ(MsiQueryProductStateA(g_newer.productCode.c_str()), INSTALLSTATE_DEFAULT);
    // Wine's installer removes the older product in a second msiexec whose unpublishing deletes
    // the upgrade code's whole registration, the newer product's entry with it (Windows deletes
    // the older product's entry only). The entry is written back as Windows would have kept it,
    // so that the tests after this one find the product by its upgrade code. (A repair would
    // publish it again, but Wine's repair also drops the service's dependencies.)
    if (InstalledProducts(g_newer.upgradeCode).empty()) {
        ASSERT_TRUE(RestoreUpgradeCodeEntry(g_newer.upgradeCode, g_newer.productCode));
        std::printf(
            "[   NOTE   ] Wine's removal of the older product took the upgrade code's "
            "registration; its entry for %s written back\n",
            g_newer.productCode.c_str());
    }
    ExpectInstalled(g_newer);
    // The task that the newer product registered outlives the older product's removal, which
    // ran after it.
    const MetricsTask task = ReadMetricsTask();
    ASSERT_TRUE(task.found) << run.log.substr(run.log.size() > 6000 ? run.log.size() - 6000 : 0);
    // The definition registered is the package's: its description and time limit.
    EXPECT_NE(task.xml.find("Writes the HALV metrics"), std::string::npos) << task.xml;
    EXPECT_NE(task.xml.find("<ExecutionTimeLimit>PT4M</ExecutionTimeLimit>"), std::string::npos)
        << task.xml;
    // The folder, blank and ampersand included, reaches the command line as one argument.
    EXPECT_NE(
        run.log.find("RegisterMetricsTask: \\Torvale\\HALV metrics runs \"" + InstallFolder() +
                     "halvctl.exe\" metrics --textfile \"" + kMetricsDir + "\""),
        std::string::npos);
}

TEST_F(InstallE2E, AnOlderPackageIsRefusedWithItsMessage) {
    ASSERT_FALSE(InstalledProducts(g_newer.upgradeCode).empty()) << "nothing installed";
    // With the basic interface, as a person would run it: the refusal is a message box.
    // (Wine's installer does not write that message into the log under /qn.)
    const std::string message = "A newer version of HALV is already installed. This package (" +
                                g_older.productVersion +
                                ") is older and cannot replace it; uninstall HALV first to go back "
                                "to this version.";
    Child msiexec("msiexec /i \"" + g_older.path + "\" /qb");
    ASSERT_TRUE(msiexec.started);
    std::vector<std::string> seen;
    const bool shown = AwaitBox(message, 60000, seen);
    EXPECT_TRUE(shown) << "boxes seen: " << ::testing::PrintToString(seen);
    DWORD code = 0;
    ASSERT_TRUE(msiexec.Ended(60000, &code)) << "msiexec did not end";
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    // Nothing changed.
    ExpectInstalled(g_newer);
}

TEST_F(InstallE2E, UninstallLeavesNothingOfTheSystemBehind) {
    ASSERT_FALSE(InstalledProducts(g_newer.upgradeCode).empty()) << "nothing installed";
    // A service process that outlives the "stopped" it reports still has its program and its
    // driver in use: the uninstall waits for it before anything goes. This test stands in for
    // such a process by holding the instance mutex for a while into the uninstall.
    constexpr DWORD kHoldMs = 3000;
    HANDLE instance = OpenInstanceMutex();
    ASSERT_NE(instance, nullptr) << "the running service holds no instance mutex";
    ULONGLONG releasedAt = 0;
    std::thread holder([&] {
        Sleep(kHoldMs);
        releasedAt = GetTickCount64();
        CloseHandle(instance);
    });
    const MsiRun run = Msiexec("/x", g_newer, "halv-uninstall.log");
    holder.join();
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.log.substr(run.log.size() > 6000 ? run.log.size() - 6000
                                                                        : 0);
    std::printf("[   TIME   ] uninstall of %s: %.1f s (the instance held for its first %.1f s)\n",
                g_newer.productVersion.c_str(), run.seconds, kHoldMs / 1000.0);
    EXPECT_GT(run.endedAt, releasedAt) << "the uninstall went on while the instance lived";
    EXPECT_NE(run.log.find("AwaitServiceStop: Vexmond has stopped and its process ended"),
              std::string::npos);
    EXPECT_NE(run.log.find("RemoveMetricsTask: the task deleted"), std::string::npos);
    EXPECT_TRUE(AwaitServiceGone(kService, 30000));
    EXPECT_EQ(SystemLeftovers(), std::vector<std::string>{});
    // The service disconnected the adapter on its way out.
    EXPECT_EQ(ReadBack()->adapters[0].dpcRegistered, 0);
}

// The driver service that the service program registers stays behind where the service never
// ran the driver (its file missing, its signature refused) or could not remove it (its program
// crashed or was killed): the uninstall removes it, stopped as here, or marked for deletion
// while the driver still runs.
TEST_F(InstallE2E, ADriverServiceLeftBehindGoesWithTheUninstall) {
    ASSERT_TRUE(InstalledProducts(g_newer.upgradeCode).empty()) << "installed already";
    LoadEmpty();  // the service finds no adapter and registers no driver service of its own
    const MsiRun install = Msiexec("/i", g_newer, "halv-install-again.log");
    ASSERT_EQ(install.exitCode, 0u);
    ASSERT_TRUE(AwaitState(kService, SERVICE_RUNNING, 30000));
    {
        Sc manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        const std::string driver = InstallFolder() + "XAPHLINK.sys";
        Sc bridge(CreateServiceA(manager.get(), kBridgeService, kBridgeService, SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 driver.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(bridge) << "error " << GetLastError();
    }
    ASSERT_EQ(StateOf(kBridgeService), static_cast<DWORD>(SERVICE_STOPPED));
    const MsiRun run = Msiexec("/x", g_newer, "halv-uninstall-again.log");
    ASSERT_EQ(run.exitCode, 0u) << run.log.substr(run.log.size() > 6000 ? run.log.size() - 6000
                                                                        : 0);
    std::printf("[   TIME   ] install and uninstall of %s: %.1f s, %.1f s\n",
                g_newer.productVersion.c_str(), install.seconds, run.seconds);
    // Removed by the package, or by the service's own stop where it deletes what it finds.
    EXPECT_NE(run.log.find("RemoveDriverService: "), std::string::npos);
    EXPECT_TRUE(AwaitServiceGone(kService, 30000));
    EXPECT_EQ(SystemLeftovers(), std::vector<std::string>{});
}

}  // namespace

int main(int argc, char** argv) {
    // After the simulator's path: the older and the newer package.
    if (argc > 3) {
        g_older = ReadPackage(e2e::WindowsPath(argv[2]));
        g_newer = ReadPackage(e2e::WindowsPath(argv[3]));
    }
    return e2e::Main(argc, argv, kGroup);
}
