#pragma once

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
// `address`: a D-Bus address such as "unix:path=/tmp/x/bus"; empty for the session bus.
// Null when the bus cannot be reached.
std::shared_ptr<NotificationCenter> connectDBusNotificationCenter(const std::string& address = {});

}  // namespace plat
