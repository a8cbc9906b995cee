#include "host/host.h"

namespace host {

logprintf_t logprintf = nullptr;
void** amxExports = nullptr;

void attach(void** data) {
    logprintf = reinterpret_cast<logprintf_t>(data[PLUGIN_DATA_LOGPRINTF]);
    amxExports = static_cast<void**>(data[PLUGIN_DATA_AMX_EXPORTS]);
}

}  // namespace host
