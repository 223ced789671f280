#include "host/control_protocol.h"

#include <unistd.h>

#include <cstdlib>

namespace host::protocol {

std::string defaultSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/gc-token-host.sock";
    if (geteuid() == 0) return "/run/gc-token-host.sock";
    return privateSocketDirectory() + "/control.sock";
}

std::string privateSocketDirectory() {
    return "/tmp/gc-token-host-" + std::to_string(geteuid());
}

}  // namespace host::protocol
