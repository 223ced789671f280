#pragma once

#include <memory>
#include <optional>
#include <string>

struct sd_bus;

namespace host {

// A plain connection to a D-Bus bus for the bus's own services: holding a well-known name (a host
// holds one, so that a second host on the same bus refuses to start) and asking whether a name
// has an owner (the control tool's check that a host runs). Not thread-safe.
class BusConnection {
public:
    // `address` as D-Bus writes it ("unix:path=..."); empty for the session bus. Null, with the
    // reason, when the bus cannot be reached.
    static std::unique_ptr<BusConnection> open(const std::string& address, std::string* error);
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    // Takes the name for this connection, not queueing behind another owner; false, with the
    // reason, when someone else holds it or the bus refuses.
    bool requestName(const std::string& name, std::string* error);
    // Whether the name has an owner now; nullopt when the bus cannot say.
    std::optional<bool> nameHasOwner(const std::string& name);

private:
    explicit BusConnection(sd_bus* bus) : bus_(bus) {}
    sd_bus* bus_;
};

}  // namespace host
