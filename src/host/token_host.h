#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/control_server.h"
#include "host/slot_watcher.h"
#include "host/token_registry.h"
#include "platform/ctk_smartcard.h"
#include "platform/ctk_token.h"

namespace host {

struct HostOptions {
    std::string socketPath;                       // the control socket
    std::chrono::milliseconds slotInterval{200};  // how often the slots are looked at
    // How long a control connection may wait without a request before it is closed.
    std::chrono::milliseconds idleLimit = std::chrono::seconds(30);
};

// The platform around the token extension: owns the extension's principal token driver, watches
// the slots and makes a token per inserted card (SlotWatcher), and serves the platform's client
// side on the control socket (ControlServer, ControlSession).
class TokenHost {
public:
    TokenHost(std::shared_ptr<ctk::SlotManager> slots, std::shared_ptr<ctk::SmartCardTokenDriver> driver,
              HostOptions options);
    ~TokenHost();
    TokenHost(const TokenHost&) = delete;
    TokenHost& operator=(const TokenHost&) = delete;

    // Listens on the control socket, then starts the watch. False, with the reason, when the
    // socket cannot be had.
    bool start(std::string* error);
    // Stops the watch and lets the host worker finish; stops the control socket (a signature on
    // the card runs to its end and is answered; a client asked for its PIN is cancelled); lets the
    // global queues finish their tasks (CAN checks). Idempotent.
    void stop();

    TokenRegistry& registry() { return registry_; }
    const std::shared_ptr<ctk::SmartCardTokenDriver>& driver() const { return driver_; }

private:
    const std::shared_ptr<ctk::SmartCardTokenDriver> driver_;
    TokenRegistry registry_;
    SlotWatcher watcher_;
    ControlServer server_;
    bool stopped_ = false;
};

}  // namespace host
