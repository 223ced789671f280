#include "cardsim_pcscd.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// How long pcscd may take to get ready on a busy machine; the wait ends as soon as it is.
constexpr std::chrono::seconds kReadyWait{20};

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

bool Pcscd::start(std::string* error, int basePort) {
    if (process_.running()) return true;
    basePort_ = basePort;
    const std::string conf = dir_.makeDirs("reader.conf.d");
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
    if (!process_.start(argv, error)) return false;
    const auto end = std::chrono::steady_clock::now() + kReadyWait;
    while (true) {
        struct stat st;
        if (stat(kSocket, &st) == 0 && listening(basePort) && listening(basePort + 1)) return true;
        if (!process_.running()) {
            setError(error, "pcscd exited: " + output());
            return false;
        }
        if (std::chrono::steady_clock::now() >= end) {
            setError(error, "pcscd did not get ready: " + output());
            stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

Pcscd& programPcscd() {
    static Pcscd pcscd;
    return pcscd;
}

bool startProgramPcscd() {
    std::string error;
    if (enterPrivateNamespaces(&error) && programPcscd().start(&error)) return true;
    std::fprintf(stderr, "cannot start the program's pcscd: %s\n", error.c_str());
    return false;
}

}  // namespace cardsim
