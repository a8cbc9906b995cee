#include "threads/end_public.h"

#include "plugin/globals.h"
#include "plugin/host.h"
#include "threads/s_manager.h"

void endCallingPublic(AMX* amx) {
    for (AMX* machine : g_manager->Abandon(amx)) {
        if (machine != nullptr) {
            host::RaiseError(machine, AMX_ERR_EXIT);
        }
    }
}
