#include "ctl/host_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ctl {

std::unique_ptr<HostClient> HostClient::connect(const std::string& socketPath, std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        *error = "bad control socket path " + socketPath;
        return nullptr;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = "no token host on " + socketPath + " (" + std::strerror(errno) + ")";
        close(fd);
        return nullptr;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || (peer.uid != getuid() && peer.uid != 0)) {
        *error = "the control socket " + socketPath + " is served by another user";
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<HostClient>(new HostClient(fd));
}

std::optional<nlohmann::json> HostClient::receive(std::string* error) {
    std::string_view line;
    switch (channel_.readLine(line)) {
        case host::LineChannel::Read::Line:
            break;
        case host::LineChannel::Read::TooLong:
            *error = "the host's answer is too long";
            return std::nullopt;
        default:
            *error = "the host closed the connection";
            return std::nullopt;
    }
    nlohmann::json answer = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!answer.is_object()) {
        *error = "the host's answer is not a JSON object";
        return std::nullopt;
    }
    return answer;
}

}  // namespace ctl
