// The plugin file, opened as the server on this system opens it: dlopen on
// Linux, LoadLibrary on Windows.
#pragma once

#include <string>

namespace emu {

class PluginLibrary {
  public:
    // Throws std::runtime_error when the file does not load.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // The export of that name, or null.
    void* symbol(const char* name) const;

  private:
    void* handle_;
};

}  // namespace emu
