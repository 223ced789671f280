#include "platform/thread_id.h"

#include <unistd.h>

namespace plat {

uint64_t currentThreadId() {
    return static_cast<uint64_t>(gettid());
}

}  // namespace plat
