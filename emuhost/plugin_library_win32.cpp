#include <windows.h>

#include <stdexcept>

#include "emuhost/plugin_library.h"

namespace emu {

PluginLibrary::PluginLibrary(const std::string& path) : handle_(LoadLibraryA(path.c_str())) {
    if (handle_ == nullptr) {
        throw std::runtime_error("cannot load plugin " + path + ": Windows error " +
                                 std::to_string(GetLastError()));
    }
}

PluginLibrary::~PluginLibrary() {
    FreeLibrary(static_cast<HMODULE>(handle_));
}

void* PluginLibrary::symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace emu
