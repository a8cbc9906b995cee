// The entry points the server calls by name. None of them lets an exception
// reach the server, which is C.
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
    try {
        g_manager = new S_Manager();
    } catch (...) {
        return false;
    }
    printLoadBanner();
    return true;
}

PLUGIN_EXPORT void PLUGIN_CALL Unload() {
    // Stops and joins every worker before the registry goes.
    try {
        delete g_manager;
    } catch (...) {
    }
    g_manager = nullptr;
    printUnloadBanner();
}

PLUGIN_EXPORT int PLUGIN_CALL AmxLoad(AMX* amx) {
    try {
        g_manager->AddMachine(amx);
    } catch (...) {
        // Without its record the script still gets the natives: they create no
        // threads and take no locks in it, and say so by returning 0.
    }
    return host::Register(amx, kNatives, -1);
}

PLUGIN_EXPORT int PLUGIN_CALL AmxUnload(AMX* amx) {
    // The host frees the machine after this returns: no worker may outlive it.
    try {
        g_manager->RemoveMachine(amx);
    } catch (...) {
    }
    return AMX_ERR_NONE;
}

PLUGIN_EXPORT void PLUGIN_CALL ProcessTick() {
    try {
        g_manager->Reap();
    } catch (...) {
    }
}
