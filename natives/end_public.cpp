#include "natives/end_public.h"

#include "host/host.h"

void endPublicIn(const S_Manager::Machines& machines) {
    for (AMX* machine : machines) {
        if (machine != nullptr) {
            host::RaiseError(machine, AMX_ERR_EXIT);
        }
    }
}
