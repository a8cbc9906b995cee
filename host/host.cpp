#include "host/host.h"

#include <cstring>

namespace host {

logprintf_t logprintf = nullptr;
void** amxExports = nullptr;

void attach(void** data) {
    logprintf = reinterpret_cast<logprintf_t>(data[PLUGIN_DATA_LOGPRINTF]);
    amxExports = static_cast<void**>(data[PLUGIN_DATA_AMX_EXPORTS]);
}

int FindPublic(AMX* amx, const char* name, int* index) {
    int count = 0;
    if (NumPublics(amx, &count) != AMX_ERR_NONE) {
        return AMX_ERR_NOTFOUND;
    }
    int low = 0;
    int high = count - 1;
    while (low <= high) {
        int middle = low + (high - low) / 2;
        char candidate[kMaxPublicName + 1];
        if (GetPublic(amx, middle, candidate) != AMX_ERR_NONE) {
            return AMX_ERR_NOTFOUND;
        }
        int order = std::strcmp(candidate, name);
        if (order == 0) {
            *index = middle;
            return AMX_ERR_NONE;
        }
        if (order < 0) {
            low = middle + 1;
        } else {
            high = middle - 1;
        }
    }
    return AMX_ERR_NOTFOUND;
}

}  // namespace host
