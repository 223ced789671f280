#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "host/line_channel.h"

namespace host {

// The listening end of the control socket: a Unix stream socket of mode 0600 at a path, each
// connection served on a thread of its own by the handler until either side ends it. Only the
// host's own user (or root) is served. A path where another host listens, or that is no socket,
// is left alone and the start fails; a stale socket file of the same user is replaced.
class ControlServer {
public:
    using Handler = std::function<void(LineChannel& channel)>;

    // Connections served at once; a further one is told so and closed.
    static constexpr size_t kMaxConnections = 32;

    ControlServer(std::string path, Handler handler);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool start(std::string* error);
    // Stops accepting, ends the reading side of every connection (a handler waiting for a line
    // gets the end of the stream; answers can still be written), waits for the handlers, and
    // removes the socket file.
    void stop();

    const std::string& path() const { return path_; }

    // For tests of the wiping: the connections that ended and wait to be reaped (at the next
    // accept), and how many of them still hold the bytes in their line buffers.
    struct Ended {
        size_t connections = 0;
        size_t holding = 0;
    };
    Ended endedConnectionsHolding(std::string_view bytes);

private:
    struct Connection {
        LineChannel channel;
        std::thread thread;
        bool done = false;
        explicit Connection(int fd) : channel(fd) {}
    };

    bool bindSocket(std::string* error);
    void acceptLoop();
    void serve(int fd);
    // Joins the threads of connections that ended.
    void reapFinished();

    const std::string path_;
    const Handler handler_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread acceptThread_;

    std::mutex mutex_;
    std::list<Connection> connections_;
    bool stopping_ = false;
};

}  // namespace host
