#pragma once

#include <cstdint>

namespace plat {

// The calling thread's system-wide identifier.
uint64_t currentThreadId();

}  // namespace plat
