#pragma once

#include <set>

#include "plugin/host_api.h"

// Hands out the smallest positive id not in use, in logarithmic time however
// many ids are taken: every id below next_ is either in use or in freed_.
class IdPool {
  public:
    cell take() {
        if (freed_.empty()) {
            return next_++;
        }
        cell id = *freed_.begin();
        freed_.erase(freed_.begin());
        return id;
    }

    void release(cell id) {
        if (id != next_ - 1) {
            freed_.insert(id);
            return;
        }
        --next_;
        while (!freed_.empty() && *freed_.rbegin() == next_ - 1) {
            freed_.erase(std::prev(freed_.end()));
            --next_;
        }
    }

  private:
    cell next_ = 1;
    std::set<cell> freed_;
};
