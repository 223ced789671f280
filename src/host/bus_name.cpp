#include "host/bus_name.h"

#include <systemd/sd-bus.h>

#include <cstring>

#include "platform/error_text.h"

namespace host {

using plat::setError;

std::unique_ptr<BusConnection> BusConnection::open(const std::string& address, std::string* error) {
    sd_bus* bus = nullptr;
    int rc = address.empty() ? sd_bus_open_user(&bus) : sd_bus_new(&bus);
    if (rc >= 0 && !address.empty()) {
        rc = sd_bus_set_address(bus, address.c_str());
        if (rc >= 0) rc = sd_bus_set_bus_client(bus, 1);
        if (rc >= 0) rc = sd_bus_start(bus);
    }
    if (rc < 0) {
        if (bus != nullptr) sd_bus_flush_close_unref(bus);
        setError(error, std::string("cannot reach the bus ") + (address.empty() ? "(session bus)" : address) + ": " +
                            std::strerror(-rc));
        return nullptr;
    }
    return std::unique_ptr<BusConnection>(new BusConnection(bus));
}

BusConnection::~BusConnection() {
    sd_bus_flush_close_unref(bus_);
}

std::optional<bool> BusConnection::nameHasOwner(const std::string& name) {
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int rc = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                "NameHasOwner", &failure, &reply, "s", name.c_str());
    int owned = 0;
    if (rc >= 0) rc = sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&failure);
    if (rc < 0) return std::nullopt;
    return owned != 0;
}

}  // namespace host
