// Vexmond.exe: the Korrin service program. Builds the one application object and the monitor
// thread object over the Win32 layer and runs the program start.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "channel/win32_device_access.h"
#include "korrin/monitor.h"
#include "korrin/service_host.h"
#include "korrin/warning_boxes.h"
#include "win32_platform.h"

namespace {

using namespace korrin;
using namespace korrin::win32;

channel::Win32DeviceAccess g_adapters;
Win32ServiceControl g_scm;
Win32BridgeDevice g_bridge;
Win32Synchronization g_sync;
Win32WarningBoxes g_boxes;
Win32EventLog g_log;
Win32ModuleInfo g_module;
Win32MessageQueue g_queue;
Win32Registry g_registry;
Win32HostPlatform g_host;

// The monitor's boxes are shown on threads of their own: reading and logging go on while one
// is open, and a stop never waits for one. As a service they are handed over to the console
// session instead. The warnings that leave the service without a monitor or the bridge
// loaded are written to the event log as well. The host's own boxes (usage, debug mode) are
// the program's way of waiting for a person and stay modal on the main thread.
AsyncWarningBoxes g_asyncBoxes(g_boxes);
LoggedWarningBoxes g_monitorBoxes(g_asyncBoxes, g_log);

// The monitor thread object and the application object live as long as the process.
CKorrinThread g_monitor(MonitorPlatform{g_adapters, g_scm, g_bridge, g_sync, g_monitorBoxes, g_log,
                                        g_module, g_queue});
CServiceApp* g_appForThread = nullptr;
Win32WorkerThread g_worker(g_monitor, g_appForThread);
CKorrinApp g_app(HostServices{g_host, g_scm, g_registry, g_module, g_boxes, g_sync}, g_monitor,
                 g_worker);

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    g_appForThread = &g_app;
    Win32HostPlatform::SetApplication(&g_app, &g_boxes, &g_asyncBoxes);
    std::vector<std::string> arguments;
    for (int i = 1; i < __argc; ++i) arguments.emplace_back(__argv[i]);
    g_app.InitInstance(arguments);
    return 0;
}
