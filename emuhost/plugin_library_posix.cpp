#include <dlfcn.h>

#include <stdexcept>

#include "emuhost/plugin_library.h"

namespace emu {

PluginLibrary::PluginLibrary(const std::string& path)
    : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
        throw std::runtime_error(std::string("cannot load plugin: ") + dlerror());
    }
}

PluginLibrary::~PluginLibrary() {
    dlclose(handle_);
}

void* PluginLibrary::symbol(const char* name) const {
    return dlsym(handle_, name);
}

}  // namespace emu
