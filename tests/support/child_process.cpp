#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace gctest {

bool ChildProcess::start(const std::vector<std::string>& argv, std::string* error, bool discardErrors) {
    int fds[2];
    if (argv.empty() || pipe2(fds, O_CLOEXEC) != 0) {
        if (error) *error = "cannot make a pipe";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (discardErrors) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        pid_ = -1;
        if (error) *error = "cannot start " + argv[0] + ": " + strerror(rc);
        return false;
    }
    output_ = fds[0];
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (output_ < 0 || left.count() <= 0) return std::nullopt;
        pollfd fd{output_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[512];
        const ssize_t n = read(output_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

int ChildProcess::stop() {
    if (output_ >= 0) close(output_);
    output_ = -1;
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 200 && (done = waitpid(pid_, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(pid_, SIGKILL);
        done = waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PrivateBus::~PrivateBus() {
    stop();
}

bool PrivateBus::start(std::string* error) {
    char dir[] = "/tmp/gc-bus-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        if (error) *error = "cannot make a directory for the bus";
        return false;
    }
    dir_ = dir;
    if (!daemon_.start(
            {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:dir=" + dir_, "--print-address=1"},
            error, /*discardErrors=*/true))  // its warning about the fd limit as root
        return false;
    auto line = daemon_.readLine();
    if (!line || line->empty()) {
        if (error) *error = "dbus-daemon printed no address";
        stop();
        return false;
    }
    address_ = *line;
    return true;
}

void PrivateBus::stop() {
    daemon_.stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
    address_.clear();
}

}  // namespace gctest
