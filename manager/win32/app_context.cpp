#include "manager/win32/app_context.h"

#include "channel/miniport_channel.h"
#include "channel/win32_device_access.h"
#include "manager/core/tables.h"

HalvRefs& Refs() {
    static HalvRefs refs;
    return refs;
}

halv::ManagerTables& Tables() {
    static halv::ManagerTables tables;
    return tables;
}

channel::MiniportChannel& Channel() {
    static channel::Win32DeviceAccess io;
    static channel::MiniportChannel miniport(io);
    return miniport;
}

const channel::SystemVersion& Platform() {
    static channel::Win32SystemVersion version;
    return version;
}
