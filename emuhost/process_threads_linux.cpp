#include <dirent.h>

#include <cstdlib>

#include "emuhost/emulated_host.h"

namespace emu {

std::vector<int> processThreadIds() {
    std::vector<int> ids;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return ids;
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ids.push_back(std::atoi(entry->d_name));
        }
    }
    closedir(tasks);
    return ids;
}

int countProcessThreads() {
    std::vector<int> ids = processThreadIds();
    return ids.empty() ? -1 : static_cast<int>(ids.size());
}

}  // namespace emu
