// glibc 2.32 added __libc_single_threaded, which the C++ runtime reads to skip
// atomic operations while the process has one thread only; an older glibc
// lacks it. The plugin's own flag, hidden, says "more than one thread" for
// ever: the runtime always takes the paths that are safe with threads, as it
// does anyway once the plugin has started a worker.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
