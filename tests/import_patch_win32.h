// Points a loaded module's import of one function at a replacement: the
// Windows counterpart of a Linux program defining a function that a shared
// object binds to. A DLL calls what it imports through its import address
// table, which the loader filled in.
#pragma once

#include <windows.h>

#include <cstring>

namespace test {

// The import address table slot of dll's function in module, or null.
inline void** importSlot(HMODULE module, const char* dll, const char* function) {
    auto* base = reinterpret_cast<char*>(module);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* imported = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; directory.Size != 0 && imported->Name != 0; ++imported) {
        if (_stricmp(base + imported->Name, dll) != 0) {
            continue;
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imported->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imported->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

// The plugin the emulated host has loaded.
inline HMODULE loadedPlugin() {
    return GetModuleHandleA("vantrel.dll");
}

// Returns the function the slot named before, or null when module does not
// import it.
inline void* patchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    void** slot = importSlot(module, dll, function);
    if (slot == nullptr) {
        return nullptr;
    }
    DWORD protection;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    void* previous = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return previous;
}

}  // namespace test
