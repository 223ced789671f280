// gc-test-companion: the companion's cache service on a D-Bus bus, for tests between processes.
//
//   gc-test-companion --bus ADDRESS --log FILE [--name BUSNAME] [--preseed READER KEY HEXVALUE]...
//                     [--fault silent|late:MS|duplicate|duplicate-late|wrong-id|garbage|no-body]
//                     [--fault-skip N] [--fault-count N]
//
// Holds the bus name BUSNAME (default org.gctoken.CacheServer), by which the driver knows its
// cache service. Prints "ready <sender name>" once it listens, and runs until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "cache_server.h"
#include "platform/dbus_notification_center.h"

namespace {

companion::Bytes unhex(const std::string& text) {
    companion::Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

bool parseFault(const std::string& text, companion::Fault& fault) {
    using Kind = companion::Fault::Kind;
    if (text == "silent")
        fault.kind = Kind::Silent;
    else if (text.rfind("late:", 0) == 0) {
        fault.kind = Kind::Late;
        fault.late = std::chrono::milliseconds(std::stoi(text.substr(5)));
    } else if (text == "duplicate")
        fault.kind = Kind::Duplicate;
    else if (text == "wrong-id")
        fault.kind = Kind::WrongId;
    else if (text == "garbage")
        fault.kind = Kind::Garbage;
    else if (text == "no-body")
        fault.kind = Kind::NoBody;
    else if (text == "duplicate-late")
        fault.kind = Kind::DuplicateLate;
    else
        return false;
    return true;
}

int usage() {
    std::cerr << "usage: gc-test-companion --bus ADDRESS --log FILE [--preseed READER KEY HEXVALUE]...\n"
                 "       [--name BUSNAME] [--fault silent|late:MS|duplicate|duplicate-late|wrong-id|garbage|no-body]\n"
                 "       [--fault-skip N] [--fault-count N]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string bus, logPath, busName = "org.gctoken.CacheServer";
    struct Seed {
        std::string reader, key;
        companion::Bytes value;
    };
    std::vector<Seed> seeds;
    companion::Fault fault;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const int left = argc - i - 1;
        if (arg == "--bus" && left >= 1)
            bus = argv[++i];
        else if (arg == "--log" && left >= 1)
            logPath = argv[++i];
        else if (arg == "--name" && left >= 1)
            busName = argv[++i];
        else if (arg == "--preseed" && left >= 3) {
            seeds.push_back({argv[i + 1], argv[i + 2], unhex(argv[i + 3])});
            i += 3;
        } else if (arg == "--fault" && left >= 1) {
            if (!parseFault(argv[++i], fault)) return usage();
        } else if (arg == "--fault-skip" && left >= 1)
            fault.skip = std::stoi(argv[++i]);
        else if (arg == "--fault-count" && left >= 1)
            fault.count = std::stoi(argv[++i]);
        else
            return usage();
    }

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread: only sigwait takes them

    std::string error;
    auto center = plat::connectDBusNotificationCenter(bus, {}, &error);
    if (center == nullptr) {
        std::cerr << "gc-test-companion: " << error << "\n";
        return 1;
    }
    companion::CacheServer server(center, logPath);
    if (!server.listening()) return 1;
    // Listening first: whoever sees the name held may ask at once.
    if (!center->claimName(busName, &error)) {
        std::cerr << "gc-test-companion: " << error << "\n";
        return 1;
    }
    for (const auto& seed : seeds) server.preseed(seed.reader, seed.key, seed.value);
    server.setFault(fault);
    std::cout << "ready " << center->senderName() << std::endl;

    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
