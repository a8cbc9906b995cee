#pragma once

#include <cstddef>

namespace bench {

// Linux 6.17 and later give each process a private futex hash table sized by
// its CPUs, not its threads: 16 buckets on a 2-core machine. With thousands of
// threads asleep on futexes, every futex wake in the process then walks
// hundreds of waiters, and starting and joining even a bare boost::thread gets
// several times slower; the global table of older kernels (256 buckets per
// CPU) still costs a tenth. Asks for a private table with a bucket for each of
// that many threads, so that the scaling metrics measure the plugin and not
// the table. Returns the buckets granted, or 0 where the kernel has no such
// choice.
size_t sizeFutexHash(size_t threads);

}  // namespace bench
