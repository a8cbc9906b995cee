// The unit in which cores share memory. Data that different workers write
// each at its own pace is kept a line apart, so that one worker's writes do
// not take the line away from another.
#pragma once

#include <cstddef>

constexpr size_t kCacheLine = 64;
