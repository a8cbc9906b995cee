// The entry points the server calls by name.
#include "plugin/banners.h"
#include "plugin/globals.h"
#include "plugin/host.h"
#include "plugin/natives.h"
#include "threads/s_manager.h"

#ifdef _WIN32
// plugin/exports.def exports them under their plain names.
#define PLUGIN_EXPORT extern "C"
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

S_Manager* g_manager = nullptr;

PLUGIN_EXPORT unsigned int PLUGIN_CALL Supports() {
    return SUPPORTS_VERSION | SUPPORTS_AMX_NATIVES | SUPPORTS_PROCESS_TICK;
}

PLUGIN_EXPORT bool PLUGIN_CALL Load(void** data) {
    // A plugin that cannot work refuses to load; the server says so and runs on.
    if (!S_Thread::workersIdentifiable()) {
        return false;
    }
    host::attach(data);
    g_manager = new S_Manager();
    printLoadBanner();
    return true;
}

PLUGIN_EXPORT void PLUGIN_CALL Unload() {
    // Stops and joins every worker before the registry goes.
    delete g_manager;
    g_manager = nullptr;
    printUnloadBanner();
}

PLUGIN_EXPORT int PLUGIN_CALL AmxLoad(AMX* amx) {
    return host::Register(amx, kNatives, -1);
}

PLUGIN_EXPORT int PLUGIN_CALL AmxUnload(AMX* amx) {
    // The host frees the machine after this returns: no worker may outlive it.
    g_manager->StopMachine(amx);
    return AMX_ERR_NONE;
}

PLUGIN_EXPORT void PLUGIN_CALL ProcessTick() {
    g_manager->Reap();
}
