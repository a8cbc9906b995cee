#include "host/host.h"

#include <cstring>
#include <memory>

namespace host {

logprintf_t logprintf = nullptr;
void** amxExports = nullptr;

void attach(void** data) {
    logprintf = reinterpret_cast<logprintf_t>(data[PLUGIN_DATA_LOGPRINTF]);
    amxExports = static_cast<void**>(data[PLUGIN_DATA_AMX_EXPORTS]);
}

int FindPublic(AMX* amx, const char* name, int* index) {
    int count = 0;
    int longest = 0;
    if (NumPublics(amx, &count) != AMX_ERR_NONE || NameLength(amx, &longest) != AMX_ERR_NONE ||
        longest < 0) {
        return AMX_ERR_NOTFOUND;
    }
    // amx_GetPublic copies a name without a bound, and a script file is
    // input: the buffer holds the longest name the file says it has.
    char onStack[kMaxPublicName + 1];
    std::unique_ptr<char[]> onHeap;
    char* candidate = onStack;
    if (longest > kMaxPublicName) {
        onHeap.reset(new char[static_cast<size_t>(longest) + 1]);
        candidate = onHeap.get();
    }
    int low = 0;
    int high = count - 1;
    while (low <= high) {
        int middle = low + (high - low) / 2;
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
