// The entry points the server calls by name. None of them lets an exception
// reach the server, which is C.
#include "host/host.h"
#include "natives/native_table.h"
#include "plugin/banners.h"
#include "threads/s_manager.h"

#ifdef _WIN32
// plugin/exports.def exports them under their plain names.
#define PLUGIN_EXPORT extern "C"
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PLUGIN_EXPORT unsigned int PLUGIN_CALL Supports() {
    return SUPPORTS_VERSION | SUPPORTS_AMX_NATIVES | SUPPORTS_PROCESS_TICK;
}

// An int, not a bool: open.mp tests the whole register, and a bool fills
// only its lowest byte. The SA-MP server reads that byte, which is the same.
PLUGIN_EXPORT int PLUGIN_CALL Load(void** data) {
    // A plugin that cannot work refuses to load; the server says so and runs on.
    if (!S_Thread::workersIdentifiable()) {
        return 0;
    }
    host::attach(data);
    try {
        g_manager = new S_Manager();
    } catch (...) {
        return 0;
    }
    printLoadBanner();
    return 1;
}

// After a failed Load the other exports do nothing: a host may call them all
// the same.
PLUGIN_EXPORT void PLUGIN_CALL Unload() {
    if (g_manager == nullptr) {
        return;
    }
    // Stops and joins every worker before the registry goes.
    try {
        delete g_manager;
    } catch (...) {
    }
    g_manager = nullptr;
    printUnloadBanner();
}

PLUGIN_EXPORT int PLUGIN_CALL AmxLoad(AMX* amx) {
    if (g_manager == nullptr) {
        return AMX_ERR_INIT;
    }
    try {
        g_manager->AddMachine(amx);
    } catch (...) {
        // Without its record the registry could neither stop a worker inside
        // the script's code nor wait for it at AmxUnload: the script gets no
        // natives, so no worker can block in it, and the server reports it.
        return AMX_ERR_MEMORY;
    }
    return host::Register(amx, kNatives, -1);
}

PLUGIN_EXPORT int PLUGIN_CALL AmxUnload(AMX* amx) {
    if (g_manager == nullptr) {
        return AMX_ERR_NONE;
    }
    // The host frees the machine after this returns: no worker may outlive it.
    try {
        g_manager->RemoveMachine(amx);
    } catch (...) {
    }
    return AMX_ERR_NONE;
}

PLUGIN_EXPORT void PLUGIN_CALL ProcessTick() {
    if (g_manager == nullptr) {
        return;
    }
    try {
        g_manager->Reap();
    } catch (...) {
    }
}
