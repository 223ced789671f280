#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/notification_center.h"

namespace plat {

// The notification centre over D-Bus: a notification is the broadcast signal
// org.gctoken.Notification1.Post(s name, s object) on the path /org/gctoken/Notification, or
// Post(s name) without an object; observers match on arg0 (names with a quote or a backslash
// cannot be observed). One thread owns the connection's
// reading and runs the observers; posts may come from any thread.
//
// Any process of the bus may post any name, so a service is known by a well-known bus name that
// it holds: a centre may tie a notification name to such a name, and `answererFor` then gives
// the unique name that holds it at that moment (GetNameOwner), whose posts alone are answers.
class DBusNotificationCenter : public NotificationCenter {
public:
    // Takes the well-known bus name for this connection, not queueing behind another holder.
    // False, with the reason, when another connection holds it or the bus refuses.
    virtual bool claimName(const std::string& name, std::string* error) = 0;
};

// Notification names tied to the well-known bus name of the service that answers them.
using ServiceNames = std::map<std::string, std::string>;

// `address`: a D-Bus address such as "unix:path=/tmp/x/bus"; empty for the session bus.
// Null, with the reason, when the bus cannot be reached or a service's name is no well-known
// bus name.
std::shared_ptr<DBusNotificationCenter> connectDBusNotificationCenter(const std::string& address = {},
                                                                      const ServiceNames& services = {},
                                                                      std::string* error = nullptr);

// Whether `name` can be held as a well-known bus name ("org.example.Name"; no unique ":1.5").
bool isWellKnownBusName(const std::string& name);

}  // namespace plat
