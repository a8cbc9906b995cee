#pragma once

#include <cstddef>
#include <vector>

#include "host/host_api.h"

namespace bench {

// Script threads asleep in SleepThread that a benchmark wants alive around
// what it measures. Asleep, they burn no CPU.
class Population {
  public:
    // Grows or shrinks to n sleepers and waits until they all sleep.
    void resize(size_t n);
    // Thread ids, oldest first.
    const std::vector<cell>& ids() const { return ids_; }

  private:
    std::vector<cell> ids_;
};

extern Population population;

// Stops the run when the system cannot hold that many more threads.
void checkThreadRoom(size_t threads);

}  // namespace bench
