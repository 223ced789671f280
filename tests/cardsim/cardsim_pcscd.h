// Test helper: a private pcscd with the vpcd reader, and simulated cards in it.
//
// Typical use in a test program's main(), before any thread exists:
//
//   if (!cardsim::startProgramPcscd()) return 1;       // private namespaces, then pcscd
//   cardsim::Pcscd& pcscd = cardsim::programPcscd();
//   cardsim::CardSim card(config);                    // in process, with hooks
//   cardsim::VpcdCard slot0(card, pcscd.port(0));
//   slot0.start();
//   ... PC/SC clients (PcscClient, the driver) see readers
//       pcscd.readerName(0) and pcscd.readerName(1) ...
//
// The private mount namespace gives pcscd its own /run/pcscd (socket and PID file), the
// private network namespace its own loopback, so any number of test programs run at once
// (ctest -j) on the same ports. Everything the process starts afterwards (pcscd, the driver's
// PC/SC library) lives in the same namespaces.
// Needs root or CAP_SYS_ADMIN (CI runs as root).
#pragma once

#include <string>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace cardsim {

// Moves the calling process into a private mount and network namespace, mounts a tmpfs
// on /run/pcscd and brings the loopback interface up. Call once, from the main thread,
// before any other thread is created (namespaces are per thread). Idempotent.
bool enterPrivateNamespaces(std::string* error);

class Pcscd {
public:
    Pcscd() = default;
    Pcscd(const Pcscd&) = delete;
    Pcscd& operator=(const Pcscd&) = delete;

    // Starts `pcscd -f` with a reader configuration of its own: one vpcd entry whose two
    // slots listen on basePort and basePort + 1. Returns when pcscd's client socket exists
    // and vpcd listens (a TCP connect would be taken for a card, so /proc/net/tcp is read).
    // Set CARDSIM_PCSCD_DEBUG=1 to run pcscd with debug and APDU logging.
    bool start(std::string* error, int basePort = 35963);
    // SIGTERM by PID, then SIGKILL if it has not ended within 20 seconds.
    void stop() { process_.stop(); }
    bool running() { return process_.running(); }

    int port(int slot) const { return basePort_ + slot; }
    // PC/SC reader name of a slot: "Virtual PCD 00 00", "Virtual PCD 00 01".
    std::string readerName(int slot) const { return slot == 0 ? "Virtual PCD 00 00" : "Virtual PCD 00 01"; }
    // What pcscd printed so far.
    std::string output() const { return process_.output(); }

private:
    int basePort_ = 35963;
    gctest::TempDir dir_;
    gctest::ChildProcess process_;
};

// The program's own pcscd, for a test program's main() before any thread exists: enters the
// private namespaces and starts it (it is stopped when the program ends). False, with the reason
// on stderr, when either fails.
bool startProgramPcscd();
Pcscd& programPcscd();

}  // namespace cardsim
