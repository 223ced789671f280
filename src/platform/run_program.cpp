#include "platform/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

extern char** environ;

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Spawn attributes and file actions, released on every path.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    bool haveAttributes = false;
    bool haveActions = false;
    bool ok = false;

    explicit SpawnSetup(int outputFd) {
        haveAttributes = posix_spawnattr_init(&attributes) == 0;
        haveActions = posix_spawn_file_actions_init(&actions) == 0;
        if (!haveAttributes || !haveActions) return;
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        ok = posix_spawnattr_setflags(&attributes,
                                      POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
             posix_spawnattr_setpgroup(&attributes, 0) == 0 && posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
             posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
             posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
             posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO) == 0;
    }
    ~SpawnSetup() {
        if (haveActions) posix_spawn_file_actions_destroy(&actions);
        if (haveAttributes) posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Reads until the end of the output or the deadline; false at the deadline.
bool readOutput(int fd, Clock::time_point deadline, size_t maxOutput, std::string& output) {
    char buffer[4096];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return ready < 0;  // an error ends the reading like an end of output
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (count <= 0) return true;
        const size_t room = maxOutput > output.size() ? maxOutput - output.size() : 0;
        output.append(buffer, std::min(room, static_cast<size_t>(count)));
    }
}

// Waits for the child's exit until the deadline; true with its status when it exited.
bool awaitExit(pid_t pid, Clock::time_point deadline, int& status) {
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) {
            status = -1;  // already reaped elsewhere (SIGCHLD ignored): nothing left to wait for
            return true;
        }
        if (remainingMs(deadline) == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Kills the child's whole group (what it started may hold the output open) and reaps the child.
void killAndReap(pid_t pid, int& status) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);  // in case the child left its group
    for (;;) {
        if (waitpid(pid, &status, 0) == pid) return;
        if (errno != EINTR) {
            status = -1;
            return;
        }
    }
}

}  // namespace

ProgramRun runProgram(const std::string& path, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeLimit, size_t maxOutput) {
    ProgramRun run;
    const Clock::time_point deadline = Clock::now() + timeLimit;

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return run;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    {
        SpawnSetup setup(pipeFds[1]);
        if (!setup.ok || posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), environ) != 0)
            pid = -1;
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return run;
    }
    run.started = true;

    const bool ended = readOutput(pipeFds[0], deadline, maxOutput, run.output);
    close(pipeFds[0]);
    int status = -1;
    if (!ended || !awaitExit(pid, deadline, status)) {
        run.timedOut = true;
        killAndReap(pid, status);
    }
    if (status != -1 && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    return run;
}

}  // namespace plat
