#include <windows.h>
// after windows.h, whose types it uses
#include <tlhelp32.h>

#include "emuhost/emulated_host.h"

namespace emu {

int countProcessThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    DWORD process = GetCurrentProcessId();
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == process) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace emu
