#include "bench/futex_hash.h"

#include <sys/prctl.h>

namespace bench {

namespace {

// Not yet in this system's headers.
const int kPrFutexHash = 78;
const int kPrFutexHashSetSlots = 1;
const int kPrFutexHashGetSlots = 2;

}  // namespace

size_t sizeFutexHash(size_t threads) {
    // The kernel takes powers of two only.
    size_t slots = 2;
    while (slots < threads) {
        slots *= 2;
    }
    if (prctl(kPrFutexHash, kPrFutexHashSetSlots, slots, 0, 0) != 0) {
        return 0;
    }
    int granted = prctl(kPrFutexHash, kPrFutexHashGetSlots, 0, 0, 0);
    return granted > 0 ? static_cast<size_t>(granted) : 0;
}

}  // namespace bench
