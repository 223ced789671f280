#include "host/control_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/socket_directory.h"
#include "platform/error_text.h"
#include "platform/system_log.h"

namespace host {

namespace {

using plat::setError;

constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr long kSendLimitSeconds = 10;

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Whether something accepts connections on the socket at `path`.
bool someoneListens(const sockaddr_un& address) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool listening = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return listening;
}

// Whether the peer is this process's user or root.
bool peerAllowed(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    return credentials.uid == geteuid() || credentials.uid == 0;
}

}  // namespace

ControlServer::ControlServer(std::string path, Handler handler)
    : path_(std::move(path)), handler_(std::move(handler)) {}

ControlServer::~ControlServer() {
    stop();
}

bool ControlServer::bindSocket(std::string* error) {
    sockaddr_un address;
    if (!fillAddress(path_, address)) return setError(error, "socket path too long or empty: " + path_);
    if (!prepareSocketDirectory(path_, error)) return false;

    struct stat st;
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return setError(error, path_ + " exists and is not a socket");
        if (someoneListens(address)) return setError(error, "another host listens on " + path_);
        if (st.st_uid != geteuid()) return setError(error, path_ + " belongs to another user");
        unlink(path_.c_str());  // left behind by a host that did not end cleanly
    }

    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return setError(error, errnoText("socket"));
    // The file is made with mode 0600 from the start: no moment in which others may connect.
    const mode_t previous = umask(0177);
    const int bound = bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindErrno = errno;
    umask(previous);
    if (bound != 0) {
        errno = bindErrno;
        return setError(error, errnoText("cannot bind " + path_));
    }
    if (chmod(path_.c_str(), 0600) != 0 || listen(listenFd_, 16) != 0) {
        const std::string text = errnoText("cannot listen on " + path_);
        unlink(path_.c_str());
        return setError(error, text);
    }
    return true;
}

bool ControlServer::start(std::string* error) {
    if (acceptThread_.joinable()) return true;
    if (!bindSocket(error)) {
        if (listenFd_ >= 0) close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        const std::string text = errnoText("eventfd");
        close(listenFd_);
        listenFd_ = -1;
        unlink(path_.c_str());
        return setError(error, text);
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void ControlServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !acceptThread_.joinable()) return;
        stopping_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    acceptThread_.join();
    close(listenFd_);
    close(wakeFd_);
    listenFd_ = wakeFd_ = -1;
    unlink(path_.c_str());

    std::list<Connection> connections;
    {
        std::lock_guard lock(mutex_);
        for (Connection& connection : connections_) connection.channel.shutdownRead();
        connections.splice(connections.end(), connections_);
    }
    for (Connection& connection : connections) connection.thread.join();
}

void ControlServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            plat::systemLog("host | control socket: poll failed: %s", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: give the connections a moment to end.
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) std::this_thread::sleep_for(kAcceptPause);
            continue;
        }
        // A client that stops reading cannot hold a connection thread (and the host's stop) for ever.
        const timeval sendLimit{.tv_sec = kSendLimitSeconds, .tv_usec = 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        serve(fd);
    }
}

void ControlServer::serve(int fd) {
    reapFinished();
    std::lock_guard lock(mutex_);
    if (!peerAllowed(fd) || connections_.size() >= kMaxConnections) {
        LineChannel refused(fd);
        refused.writeLine(connections_.size() >= kMaxConnections
                              ? R"({"ok":false,"error":"too many connections"})"
                              : R"({"ok":false,"error":"not served for this user"})");
        return;
    }
    Connection& connection = connections_.emplace_back(fd);
    connection.thread = std::thread([this, &connection] {
        handler_(connection.channel);
        shutdown(connection.channel.fd(), SHUT_RDWR);  // the client sees the end at once
        // A PIN line may still be in the buffer (a client that left before its answer); the
        // connection is only reaped at the next accept, which may be hours away.
        connection.channel.wipe();
        std::lock_guard done(mutex_);
        connection.done = true;
    });
}

ControlServer::Ended ControlServer::endedConnectionsHolding(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    Ended ended;
    for (const Connection& connection : connections_) {
        if (!connection.done) continue;
        ++ended.connections;
        if (connection.channel.holds(bytes)) ++ended.holding;
    }
    return ended;
}

void ControlServer::reapFinished() {
    std::list<Connection> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), connections_, it);
            it = next;
        }
    }
    for (Connection& connection : finished) connection.thread.join();
}

}  // namespace host
