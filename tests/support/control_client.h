#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "host/line_channel.h"

namespace gctest {

// A test's client of the token host's control socket (links gchost): raw lines or JSON requests
// out, JSON answers in.
class ControlClient {
public:
    explicit ControlClient(const std::string& path, size_t maxLine = 1 << 20) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        connected_ = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        channel_ = std::make_unique<host::LineChannel>(fd, maxLine);
    }
    bool connected() const { return connected_; }
    void sendRaw(const std::string& line) { ASSERT_TRUE(channel_->writeLine(line)); }
    void send(const nlohmann::json& request) { sendRaw(request.dump()); }
    // The next answer; a null json when the host closed the connection (or none came in time).
    nlohmann::json receive(host::LineChannel::Deadline deadline = std::nullopt) {
        std::string_view line;
        if (channel_->readLine(line, deadline) != host::LineChannel::Read::Line) return nlohmann::json();
        return nlohmann::json::parse(line, nullptr, false);
    }
    nlohmann::json ask(const nlohmann::json& request) {
        send(request);
        return receive();
    }
    void hangUp() { channel_.reset(); }

private:
    bool connected_ = false;
    std::unique_ptr<host::LineChannel> channel_;
};

}  // namespace gctest
