// A plugin whose entry points use the C convention, as a Windows build that
// leaves out __stdcall has. The emulated host and the file check of the DLL
// must both reject it.
#include "host/host_api.h"

extern "C" {

unsigned int Supports() {
    return SUPPORTS_VERSION | SUPPORTS_AMX_NATIVES | SUPPORTS_PROCESS_TICK;
}
bool Load(void**) {
    return true;
}
void Unload() {}
int AmxLoad(AMX*) {
    return AMX_ERR_NONE;
}
int AmxUnload(AMX*) {
    return AMX_ERR_NONE;
}
void ProcessTick() {}
}
