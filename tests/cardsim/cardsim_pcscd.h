// Test helper: a private pcscd with the vpcd reader, and simulated cards in it.
//
// Typical use in a test program's main(), before any thread exists:
//
//   std::string error;
//   if (!cardsim::enterPrivateNamespaces(&error)) { ...fail... }
//   cardsim::Pcscd pcscd;
//   if (!pcscd.start(&error)) { ...fail... }
//   cardsim::CardSim card(config);                    // in process, with hooks
//   cardsim::VpcdCard slot0(card, pcscd.port(0));
//   slot0.start();
//   cardsim::CardProcess other;                       // or a cardsim-vpcd process
//   other.start({"--personality", "varnel1", "--port", std::to_string(pcscd.port(1))}, &error);
//   ... PC/SC clients (PcscClient, the driver) see readers
//       pcscd.readerName(0) and pcscd.readerName(1) ...
//
// The private mount namespace gives pcscd its own /run/pcscd (socket and PID file), the
// private network namespace its own loopback, so any number of test programs run at once
// (ctest -j) on the same ports. Everything the process starts afterwards (pcscd, card
// processes, the driver's PC/SC library) lives in the same namespaces.
// Needs root or CAP_SYS_ADMIN (CI runs as root).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace cardsim {

// Moves the calling process into a private mount and network namespace, mounts a tmpfs
// on /run/pcscd and brings the loopback interface up. Call once, from the main thread,
// before any other thread is created (namespaces are per thread). Idempotent.
bool enterPrivateNamespaces(std::string* error);

class Pcscd {
public:
    Pcscd() = default;
    ~Pcscd();
    Pcscd(const Pcscd&) = delete;
    Pcscd& operator=(const Pcscd&) = delete;

    // Starts `pcscd -f` with a reader configuration of its own: one vpcd entry whose two
    // slots listen on basePort and basePort + 1. Returns when pcscd's client socket exists
    // and vpcd listens (a TCP connect would be taken for a card, so /proc/net/tcp is read).
    // Set CARDSIM_PCSCD_DEBUG=1 to run pcscd with debug and APDU logging.
    bool start(std::string* error, int basePort = 35963);
    // SIGTERM by PID, then SIGKILL if it has not ended within 20 seconds.
    void stop();
    bool running();

    pid_t pid() const { return pid_; }
    int port(int slot) const { return basePort_ + slot; }
    // PC/SC reader name of a slot: "Virtual PCD 00 00", "Virtual PCD 00 01".
    std::string readerName(int slot) const;
    // What pcscd printed so far.
    std::string output() const;

private:
    pid_t pid_ = -1;
    int basePort_ = 35963;
    std::string dir_;
};

// One cardsim-vpcd process serving a card.
class CardProcess {
public:
    CardProcess() = default;
    ~CardProcess();
    CardProcess(const CardProcess&) = delete;
    CardProcess& operator=(const CardProcess&) = delete;

    // Runs cardsim-vpcd with `args` (see cardsim-vpcd --help); output goes to a file.
    bool start(const std::vector<std::string>& args, std::string* error);
    // SIGTERM by PID and wait; returns the exit status (-1 if it did not exit normally).
    int stop();
    bool running();
    pid_t pid() const { return pid_; }
    std::string output() const;

private:
    pid_t pid_ = -1;
    std::string outputPath_;
};

// Path of the cardsim-vpcd program built with this helper.
std::string cardProgram();

// Runs `program args...` (searched in PATH) and returns its exit status, with stdout and
// stderr in *output; -1 when it could not run. A time limit ends it with SIGKILL.
int runProgram(const std::vector<std::string>& argv, std::string* output, int timeoutSeconds = 30);

}  // namespace cardsim
