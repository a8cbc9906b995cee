// Built into the self-contained plugin only, which carries its own copy of the
// C++ runtime. That copy sets aside an emergency pool for exceptions when the
// plugin is loaded, and nothing frees it: each unload would leave the pool
// behind, out of reach. A plugin sharing the host's runtime must not free the
// host's pool, hence not in every build.
namespace __gnu_cxx {
void __freeres();
}

namespace {

struct RuntimeRelease {
    ~RuntimeRelease() { __gnu_cxx::__freeres(); }
} runtimeRelease;

}  // namespace
