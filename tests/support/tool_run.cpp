#include "support/tool_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace gctest {

namespace {

std::vector<char*> argvOf(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
}

int waitExit(pid_t pid, bool killFirst) {
    if (killFirst) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return !killFirst && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ToolProcess::~ToolProcess() {
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
    if (pid_ > 0) waitExit(pid_, /*killFirst=*/true);
}

bool ToolProcess::start(const std::vector<std::string>& argv, const std::string& input) {
    int in[2], out[2], err[2];
    if (argv.empty() || pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args = argvOf(argv);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) {
        pid_ = -1;
        close(in[1]);
        return false;
    }
    // Small inputs fit the pipe; a program that does not read them is no matter.
    signal(SIGPIPE, SIG_IGN);
    [[maybe_unused]] ssize_t written = write(in[1], input.data(), input.size());
    close(in[1]);
    return true;
}

bool ToolProcess::pump(std::chrono::milliseconds limit) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return false;
    if (poll(fds, 2, static_cast<int>(limit.count())) <= 0) return true;
    int* ends[2] = {&out_, &err_};
    std::string* sinks[2] = {&run_.out, &run_.err};
    for (int i = 0; i < 2; ++i) {
        if (*ends[i] < 0 || fds[i].revents == 0) continue;
        char chunk[4096];
        const ssize_t n = read(*ends[i], chunk, sizeof chunk);
        if (n > 0) {
            sinks[i]->append(chunk, static_cast<size_t>(n));
        } else {
            close(*ends[i]);
            *ends[i] = -1;
        }
    }
    return out_ >= 0 || err_ >= 0;
}

std::optional<std::string> ToolProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const size_t newline = run_.out.find('\n', lineStart_);
        if (newline != std::string::npos) {
            std::string line = run_.out.substr(lineStart_, newline - lineStart_);
            lineStart_ = newline + 1;
            return line;
        }
        const std::chrono::milliseconds left = leftUntil(deadline);
        if (left.count() == 0 || !pump(left)) return std::nullopt;
    }
}

ToolRun ToolProcess::finish(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool timedOut = false;
    while (out_ >= 0 || err_ >= 0) {
        const std::chrono::milliseconds left = leftUntil(deadline);
        if (left.count() == 0) {
            timedOut = true;
            break;
        }
        pump(left);
    }
    if (pid_ > 0) run_.status = waitExit(std::exchange(pid_, -1), timedOut);
    return run_;
}

ToolRun runTool(const std::vector<std::string>& argv, const std::string& input, std::chrono::milliseconds limit) {
    ToolProcess process;
    if (!process.start(argv, input)) return ToolRun{};
    return process.finish(limit);
}

ToolRun runToolOnTerminal(const std::vector<std::string>& argv, const std::string& prompt, const std::string& answer,
                          std::chrono::milliseconds limit) {
    ToolRun run;
    int master = -1, terminal = -1;
    int out[2], err[2];
    if (argv.empty() || openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return run;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return run;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    std::vector<char*> args = argvOf(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec: a session of its own with the terminal as its
        // controlling terminal, standard input empty.
        setsid();
        ioctl(terminal, TIOCSCTTY, 0);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(terminal);
        execv(args[0], args.data());
        _exit(127);
    }
    // The test keeps its own end of the terminal open: between the child letting go of the
    // inherited one and opening /dev/tty, the master would otherwise see the terminal hung up.
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(master);
        close(terminal);
        close(out[0]);
        close(err[0]);
        return run;
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[3] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[3] = {&run.terminal, &run.out, &run.err};
    bool typed = false, timedOut = false;
    while (fds[1].fd >= 0 || fds[2].fd >= 0) {
        const std::chrono::milliseconds left = leftUntil(deadline);
        if (left.count() == 0) {
            timedOut = true;
            break;
        }
        if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 3; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else {
                if (i > 0) close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        if (!typed && run.terminal.find(prompt) != std::string::npos) {
            typed = true;
            [[maybe_unused]] ssize_t written = write(master, answer.data(), answer.size());
        }
    }
    for (int i = 1; i < 3; ++i) {
        if (fds[i].fd >= 0) close(fds[i].fd);
    }
    close(master);
    close(terminal);
    run.status = waitExit(pid, timedOut);
    return run;
}

}  // namespace gctest
