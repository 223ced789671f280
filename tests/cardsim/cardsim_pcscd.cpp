#include "cardsim_pcscd.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace cardsim {
namespace {

constexpr const char* kSocket = "/run/pcscd/pcscd.comm";

void setError(std::string* error, const std::string& message) {
    if (error) *error = message;
}

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

std::string makeTempDir(const char* prefix) {
    std::string templ = (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    return mkdtemp(templ.data()) ? templ : std::string();
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// True when a TCP socket listens on `port` in this network namespace.
bool listening(int port) {
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", port);
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    while (std::getline(tcp, line)) {
        // "  sl  local_address rem_address   st ..."; state 0A is LISTEN
        std::istringstream fields(line);
        std::string sl, localAddress, remoteAddress, state;
        fields >> sl >> localAddress >> remoteAddress >> state;
        if (state == "0A" && localAddress.size() > 5 && localAddress.compare(localAddress.size() - 5, 5, local) == 0)
            return true;
    }
    return false;
}

// The program's path: as given when it has a slash, else the first match in PATH.
std::string resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        const size_t end = dirs.find(':', begin);
        const std::string dir = dirs.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return program;
}

// Starts a child whose stdout and stderr go to outputPath. The child gets SIGKILL when the
// spawning thread ends, so that a crashed test leaves no pcscd or card process behind:
// spawn from a thread that outlives the child (the main thread).
pid_t spawn(const std::vector<std::string>& argv, const std::string& outputPath, std::string* error) {
    const std::string program = resolve(argv[0]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) {
        setError(error, errnoText("opening the child's files"));
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // only async-signal-safe calls until exec
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    close(in);
    close(out);
    if (pid < 0) {
        setError(error, errnoText("fork"));
        return -1;
    }
    return pid;
}

// Waits for `pid` up to `timeout`; returns the wait status or -1 when it is still running.
int waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return 0;  // already reaped
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// How long a child may take to exit, or pcscd to get ready, on a busy machine; the waits end
// as soon as it has.
constexpr std::chrono::seconds kProcessWait{20};

int terminate(pid_t pid) {
    kill(pid, SIGTERM);
    int status = waitFor(pid, kProcessWait);
    if (status == -1) {
        kill(pid, SIGKILL);
        status = waitFor(pid, kProcessWait);
    }
    return status;
}

bool bringLoopbackUp(std::string* error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setError(error, errnoText("socket"));
        return false;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    if (ok && !(req.ifr_flags & IFF_UP)) {
        req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    }
    if (!ok) setError(error, errnoText("loopback up"));
    close(fd);
    return ok;
}

// Whether the child is still running; one that has ended is reaped and its pid forgotten.
bool stillRunning(pid_t& pid) {
    if (pid <= 0) return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
    }
    return true;
}

}  // namespace

bool enterPrivateNamespaces(std::string* error) {
    static bool entered = false;
    if (entered) return true;
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        setError(error, errnoText("unshare(CLONE_NEWNS | CLONE_NEWNET) (needs root)"));
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        setError(error, errnoText("making / private"));
        return false;
    }
    if (mkdir("/run/pcscd", 0755) != 0 && errno != EEXIST) {
        setError(error, errnoText("mkdir /run/pcscd"));
        return false;
    }
    if (mount("tmpfs", "/run/pcscd", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        setError(error, errnoText("tmpfs on /run/pcscd"));
        return false;
    }
    if (!bringLoopbackUp(error)) return false;
    entered = true;
    return true;
}

Pcscd::~Pcscd() {
    stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

bool Pcscd::start(std::string* error, int basePort) {
    if (pid_ > 0) return true;
    basePort_ = basePort;
    if (dir_.empty()) dir_ = makeTempDir("cardsim-pcscd-");
    if (dir_.empty()) {
        setError(error, errnoText("mkdtemp"));
        return false;
    }
    const std::string conf = dir_ + "/reader.conf.d";
    std::filesystem::create_directories(conf);
    {
        std::ofstream out(conf + "/vpcd");
        out << "FRIENDLYNAME \"Virtual PCD\"\n"
            << "DEVICENAME   /dev/null:" << basePort << "\n"
            << "LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"
            << "CHANNELID    " << basePort << "\n";
    }
    unlink(kSocket);
    std::vector<std::string> argv = {"pcscd", "-f", "-c", conf};
    const char* debug = std::getenv("CARDSIM_PCSCD_DEBUG");
    if (debug && *debug == '1') {
        argv.push_back("-d");
        argv.push_back("-a");
    }
    pid_ = spawn(argv, dir_ + "/pcscd.log", error);
    if (pid_ < 0) return false;
    const auto end = std::chrono::steady_clock::now() + kProcessWait;
    while (true) {
        struct stat st;
        if (stat(kSocket, &st) == 0 && listening(basePort) && listening(basePort + 1)) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            setError(error, "pcscd exited: " + output());
            return false;
        }
        if (std::chrono::steady_clock::now() >= end) {
            stop();
            setError(error, "pcscd did not get ready: " + output());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Pcscd::stop() {
    if (pid_ <= 0) return;
    terminate(pid_);
    pid_ = -1;
}

bool Pcscd::running() {
    return stillRunning(pid_);
}

std::string Pcscd::readerName(int slot) const {
    return slot == 0 ? "Virtual PCD 00 00" : "Virtual PCD 00 01";
}

std::string Pcscd::output() const {
    return dir_.empty() ? std::string() : readText(dir_ + "/pcscd.log");
}

std::string cardProgram() {
    const char* override = std::getenv("CARDSIM_VPCD");
    return override && *override ? override : CARDSIM_VPCD_PROGRAM;
}

CardProcess::~CardProcess() {
    stop();
    if (!outputPath_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(outputPath_).parent_path(), ec);
    }
}

bool CardProcess::start(const std::vector<std::string>& args, std::string* error) {
    if (pid_ > 0) return true;
    if (outputPath_.empty()) {
        const std::string dir = makeTempDir("cardsim-card-");
        if (dir.empty()) {
            setError(error, errnoText("mkdtemp"));
            return false;
        }
        outputPath_ = dir + "/output";
    }
    std::vector<std::string> argv = {cardProgram()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, outputPath_, error);
    return pid_ > 0;
}

int CardProcess::stop() {
    if (pid_ <= 0) return -1;
    const int status = terminate(pid_);
    pid_ = -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CardProcess::running() {
    return stillRunning(pid_);
}

std::string CardProcess::output() const {
    return outputPath_.empty() ? std::string() : readText(outputPath_);
}

int runProgram(const std::vector<std::string>& argv, std::string* output, int timeoutSeconds) {
    const std::string dir = makeTempDir("cardsim-run-");
    if (dir.empty() || argv.empty()) return -1;
    const std::string path = dir + "/output";
    const pid_t pid = spawn(argv, path, nullptr);
    int status = -1;
    if (pid > 0) {
        status = waitFor(pid, std::chrono::seconds(timeoutSeconds));
        if (status == -1) status = terminate(pid);
    }
    if (output) *output = readText(path);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (pid <= 0 || status < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace cardsim
