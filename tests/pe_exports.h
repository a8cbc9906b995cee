// The names a Windows DLL exports, read from its export directory.
#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace test {

inline std::set<std::string> exportedSymbols(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(file)), {});
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    // Addresses in the directory are those of the loaded image.
    auto at = [&](DWORD address) -> const char* {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            DWORD start = sections[i].VirtualAddress;
            if (address >= start && address < start + sections[i].SizeOfRawData) {
                return image.data() + sections[i].PointerToRawData + (address - start);
            }
        }
        return nullptr;
    };
    std::set<std::string> names;
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(at(directory.VirtualAddress));
    if (directory.Size == 0 || exports == nullptr) {
        return names;
    }
    auto* nameAddresses = reinterpret_cast<const DWORD*>(at(exports->AddressOfNames));
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.insert(at(nameAddresses[i]));
    }
    return names;
}

}  // namespace test
