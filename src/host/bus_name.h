#pragma once

#include <memory>
#include <optional>
#include <string>

struct sd_bus;

namespace host {

// A plain connection to a D-Bus bus for the bus's own services: asking whether a name has an owner
// (the control tool's check that a host runs; the host holds its name on the connection of its
// notification centre). Not thread-safe.
class BusConnection {
public:
    // `address` as D-Bus writes it ("unix:path=..."); empty for the session bus. Null, with the
    // reason, when the bus cannot be reached.
    static std::unique_ptr<BusConnection> open(const std::string& address, std::string* error);
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    // Whether the name has an owner now; nullopt when the bus cannot say.
    std::optional<bool> nameHasOwner(const std::string& name);

private:
    explicit BusConnection(sd_bus* bus) : bus_(bus) {}
    sd_bus* bus_;
};

}  // namespace host
