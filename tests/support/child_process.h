#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace gctest {

// A program run for a test, stopped by its PID: its standard output comes through a pipe that the
// test reads line by line; standard error stays the test's own unless discarded.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::vector<std::string>& argv, std::string* error, bool discardErrors = false);
    // One line of output without its newline; nullopt at the end of output or after `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // SIGTERM, SIGKILL after two seconds; the exit status, or -1 when it did not exit normally
    // (or never ran).
    int stop();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffered_;
};

// A dbus-daemon of the test's own, listening on a socket in a fresh directory (a path socket, so
// it also works inside private network namespaces). Stopped by PID.
class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool start(std::string* error);
    void stop();
    // The address clients connect to ("unix:path=...,guid=...").
    const std::string& address() const { return address_; }

private:
    ChildProcess daemon_;
    std::string dir_;
    std::string address_;
};

}  // namespace gctest
