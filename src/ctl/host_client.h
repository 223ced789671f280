#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "host/line_channel.h"

namespace ctl {

// The tool's end of the control socket (host/control_protocol.h). It only talks to a host run by
// its own user or by root: the PIN goes over this socket.
class HostClient {
public:
    // The longest answer line taken (a token's items with their certificates).
    static constexpr size_t kMaxAnswerLine = 4 * 1024 * 1024;

    // Null, with the reason, when no host listens there or it runs as another user.
    static std::unique_ptr<HostClient> connect(const std::string& socketPath, std::string* error);

    bool send(std::string_view line) { return channel_.writeLine(line); }
    // The next answer: a JSON object; nullopt, with the reason, when the host closed the
    // connection or sent something else.
    std::optional<nlohmann::json> receive(std::string* error);

private:
    explicit HostClient(int fd) : channel_(fd, kMaxAnswerLine) {}
    host::LineChannel channel_;
};

}  // namespace ctl
