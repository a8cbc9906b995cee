#include <windows.h>
// after windows.h, whose types it uses
#include <tlhelp32.h>

#include "emuhost/emulated_host.h"

namespace emu {

std::vector<int> processThreadIds() {
    std::vector<int> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    DWORD process = GetCurrentProcessId();
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == process) {
            ids.push_back(static_cast<int>(entry.th32ThreadID));
        }
    }
    CloseHandle(snapshot);
    return ids;
}

int countProcessThreads() {
    std::vector<int> ids = processThreadIds();
    return ids.empty() ? -1 : static_cast<int>(ids.size());
}

}  // namespace emu
