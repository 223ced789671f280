#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace gctest {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// How long a child may take to end on SIGTERM on a busy machine; the wait ends as soon as it has.
constexpr std::chrono::seconds kEndWait{20};
constexpr milliseconds kPoll{5};

// The program's path: as given when it has a slash, else the first match in PATH; empty when none.
std::string resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0 ? program : "";
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    for (size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
        end = dirs.find(':', begin);
        const std::string dir = dirs.substr(begin, end == std::string::npos ? end : end - begin);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Everything written to a file so far.
std::string contents(int fd) {
    std::string text;
    char chunk[4096];
    for (ssize_t n; fd >= 0 && (n = pread(fd, chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0;)
        text.append(chunk, static_cast<size_t>(n));
    return text;
}

}  // namespace

ChildProcess::~ChildProcess() {
    stop();
    for (int fd : {out_, err_})
        if (fd >= 0) close(fd);
}

bool ChildProcess::start(const std::vector<std::string>& argv, std::string* error, const std::string& input,
                         int terminal) {
    if (pid_ > 0) return true;
    const std::string program = argv.empty() ? "" : resolve(argv[0]);
    for (int fd : {out_, err_})
        if (fd >= 0) close(fd);
    out_ = memfd_create("out", MFD_CLOEXEC);
    err_ = memfd_create("err", MFD_CLOEXEC);
    lineStart_ = 0;
    status_ = -1;
    int in[2];
    if (program.empty() || out_ < 0 || err_ < 0 || pipe2(in, O_CLOEXEC) != 0) {
        if (error) *error = "cannot start " + (argv.empty() ? std::string("nothing") : argv[0]);
        return false;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (terminal >= 0) {
            setsid();
            ioctl(terminal, TIOCSCTTY, 0);
        }
        dup2(in[0], 0);
        dup2(out_, 1);
        dup2(err_, 2);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    close(in[0]);
    if (pid_ < 0) {
        close(in[1]);
        if (error) *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    ended_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    // Small inputs fit the pipe; a program that does not read them is no matter.
    signal(SIGPIPE, SIG_IGN);
    [[maybe_unused]] const ssize_t written = write(in[1], input.data(), input.size());
    close(in[1]);
    return true;
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t ended = waitpid(pid_, &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno == EINTR)) return true;
    // Reaped elsewhere, its status is unknown: not a success.
    status_ = ended == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    close(std::exchange(ended_, -1));
    return false;
}

bool ChildProcess::runningAfter(milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (bool more = running(); more; more = running()) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return true;
        pollfd fd{ended_, POLLIN, 0};  // without it (an old kernel), a short sleep
        poll(&fd, 1, static_cast<int>(ended_ >= 0 ? left : std::min<long>(left, kPoll.count())));
    }
    return false;
}

std::optional<std::string> ChildProcess::readLine(milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const bool ended = !running();  // asked before reading: what it wrote before ending is read
        const std::string out = contents(out_);
        const size_t newline = out.find('\n', lineStart_);
        if (newline != std::string::npos) {
            std::string line = out.substr(lineStart_, newline - lineStart_);
            lineStart_ = newline + 1;
            return line;
        }
        if (ended || Clock::now() >= deadline) return std::nullopt;
        runningAfter(kPoll);
    }
}

ToolRun ChildProcess::finish(milliseconds limit) {
    if (runningAfter(limit)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        close(std::exchange(ended_, -1));
        pid_ = -1;
        status_ = -1;
    }
    return ToolRun{status_, contents(out_), contents(err_), ""};
}

int ChildProcess::stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    return finish(kEndWait).status;
}

std::string ChildProcess::output() const {
    return contents(out_) + contents(err_);
}

ToolRun runTool(const std::vector<std::string>& argv, const std::string& input, milliseconds limit) {
    ChildProcess process;
    if (!process.start(argv, nullptr, input)) return ToolRun{};
    return process.finish(limit);
}

ToolRun runToolOnTerminal(const std::vector<std::string>& argv, const std::string& prompt, const std::string& answer,
                          milliseconds limit) {
    int master = -1, terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return ToolRun{};
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    ChildProcess child;
    std::string shown;
    const auto deadline = Clock::now() + limit;
    bool typed = false, ended = !child.start(argv, nullptr, "", terminal);
    // The test keeps its own end of the terminal open until the child has ended: between the child
    // letting go of the inherited one and opening /dev/tty, the master would otherwise see the
    // terminal hung up. What the child wrote last is read after its end.
    for (bool last = ended; !last;) {
        last = !child.running() || Clock::now() >= deadline;
        pollfd fd{master, POLLIN, 0};
        while (poll(&fd, 1, last ? 0 : static_cast<int>(kPoll.count())) > 0) {
            char chunk[4096];
            const ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0) break;
            shown.append(chunk, static_cast<size_t>(n));
        }
        if (!typed && shown.find(prompt) != std::string::npos) {
            typed = true;
            [[maybe_unused]] const ssize_t written = write(master, answer.data(), answer.size());
        }
    }
    ToolRun run = ended ? ToolRun{} : child.finish(milliseconds(0));
    run.terminal = shown;
    close(master);
    close(terminal);
    return run;
}

bool PrivateBus::start(std::string* error) {
    if (!daemon_.start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:dir=" + dir_.path(),
                        "--print-address=1"},
                       error))
        return false;
    const std::optional<std::string> line = daemon_.readLine();
    if (!line || line->empty()) {
        if (error) *error = "dbus-daemon printed no address: " + daemon_.output();
        daemon_.stop();
        return false;
    }
    address_ = *line;
    return true;
}

}  // namespace gctest
