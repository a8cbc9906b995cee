#include <dirent.h>

#include "emuhost/emulated_host.h"

namespace emu {

int countProcessThreads() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(tasks);
    return count;
}

}  // namespace emu
