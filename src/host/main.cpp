// gc-token-host: plays the platform around the token extension on Linux. It watches the readers,
// has the extension make a token for every inserted card it serves, and serves the platform's
// client side on a local control socket (see gc-token-ctl).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cache.h"
#include "extension/token_driver.h"
#include "host/control_protocol.h"
#include "host/token_host.h"
#include "platform/ctk_memory.h"
#include "platform/dbus_notification_center.h"
#include "platform/system_log.h"

namespace {

constexpr const char* kUsage =
    "usage: gc-token-host [--bus ADDRESS] [--slots pcsc|memory] [--socket PATH] [--companion-wait MS]\n"
    "                     [--idle-limit SECONDS] [--companion-name NAME]\n"
    "\n"
    "Runs the token extension for the cards in the readers and serves gc-token-ctl.\n"
    "  --bus ADDRESS        D-Bus address of the bus shared with the companion application\n"
    "                       (default: the session bus)\n"
    "  --slots pcsc|memory  where the cards are: the PC/SC service (default), or in-memory slots\n"
    "                       that hold no card (for tests of the host itself)\n"
    "  --socket PATH        the control socket (default: $XDG_RUNTIME_DIR/gc-token-host.sock,\n"
    "                       /run/gc-token-host.sock for root, else /tmp/gc-token-host-UID/control.sock)\n"
    "  --companion-wait MS  how long the card library waits for each reply of the companion's\n"
    "                       cache service (default 500)\n"
    "  --idle-limit SECONDS how long a client of the control socket may wait without a request\n"
    "                       before it is let go (default 30)\n"
    "  --companion-name NAME  the bus name that the companion's cache service holds; the card\n"
    "                       library believes only its holder (default org.gctoken.CacheServer)\n"
    "Prints \"ready SOCKET\" once it serves; SIGTERM or SIGINT stops it.\n";

struct Options {
    std::string bus;
    std::string slots = "pcsc";
    std::string socket;
    long companionWaitMs = -1;
    long idleLimitSeconds = 30;
    std::string companionName = host::protocol::kCompanionBusName;
};

int usageError(const std::string& text) {
    std::fprintf(stderr, "gc-token-host: %s\n%s", text.c_str(), kUsage);
    return 2;
}

// 0 to go on, else the exit status.
int parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        }
        if (i + 1 >= argc)
            return usageError(arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unknown argument " + arg);
        const std::string value = argv[++i];
        if (arg == "--bus") {
            options.bus = value;
        } else if (arg == "--slots") {
            if (value != "pcsc" && value != "memory") return usageError("--slots is pcsc or memory");
            options.slots = value;
        } else if (arg == "--socket") {
            options.socket = value;
        } else if (arg == "--companion-wait") {
            char* end = nullptr;
            const long ms = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || ms < 0 || ms > 60'000)
                return usageError("--companion-wait is 0 to 60000 milliseconds");
            options.companionWaitMs = ms;
        } else if (arg == "--idle-limit") {
            char* end = nullptr;
            const long seconds = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || seconds < 1 || seconds > 3600)
                return usageError("--idle-limit is 1 to 3600 seconds");
            options.idleLimitSeconds = seconds;
        } else if (arg == "--companion-name") {
            if (!plat::isWellKnownBusName(value))
                return usageError("--companion-name is a bus name such as org.example.Name");
            options.companionName = value;
        } else {
            return usageError("unknown option " + arg);
        }
    }
    return 0;
}

int fail(const std::string& text) {
    std::fprintf(stderr, "gc-token-host: %s\n", text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int rc = parse(argc, argv, options); rc != 0) return rc < 0 ? 0 : rc;
    if (options.socket.empty()) options.socket = host::protocol::defaultSocketPath();

    // Before any thread: the signals that stop the host are taken by sigwait alone, and a client
    // that goes away never kills the host with SIGPIPE.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The host's bus name is held by the connection that posts the extension's answers, so that
    // the control tool can tell them from anyone else's.
    std::string error;
    std::shared_ptr<plat::DBusNotificationCenter> center =
        plat::connectDBusNotificationCenter(options.bus, {{GC_Cache::kServiceName, options.companionName}}, &error);
    if (!center) return fail(error);
    if (!center->claimName(host::protocol::kBusName, &error)) return fail("another host runs on this bus: " + error);
    plat::NotificationCenter::setDefaultCenter(center);
    if (options.companionWaitMs >= 0) GC_Cache::setReplyWait(std::chrono::milliseconds(options.companionWaitMs));

    std::shared_ptr<ctk::SlotManager> slots;
    if (options.slots == "memory") {
        slots = std::make_shared<ctk::mem::SlotManager>();
        ctk::SlotManager::setDefaultManager(slots);
    } else {
        slots = ctk::SlotManager::defaultManager();
    }
    if (!slots) return fail("no smart-card service");

    int status = 0;
    {
        host::TokenHost tokenHost(slots, std::make_shared<TokenDriver>(),
                                  host::HostOptions{.socketPath = options.socket,
                                                    .idleLimit = std::chrono::seconds(options.idleLimitSeconds)});
        if (!tokenHost.start(&error)) {
            status = fail(error);
        } else {
            std::printf("ready %s\n", options.socket.c_str());
            std::fflush(stdout);
            plat::systemLog("host | serving %s", options.socket.c_str());
            int signal = 0;
            sigwait(&stop, &signal);
            plat::systemLog("host | %s: stopping", strsignal(signal));
        }
        tokenHost.stop();
        GC_Cache::shutdown();
    }
    plat::NotificationCenter::setDefaultCenter(nullptr);
    center.reset();
    plat::systemLog("host | stopped");
    return status;
}
