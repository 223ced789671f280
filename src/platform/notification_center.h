#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The distributed notification centre: processes broadcast named notifications carrying an
// optional text object, and every observer of that name receives them, the poster's own
// observers included. Delivery is asynchronous, on the centre's delivery thread, in the order
// each sender posted; a notification is never coalesced with another.
namespace plat {

struct Notification {
    std::string name;
    std::optional<std::string> object;
    // The poster's address on the centre (a D-Bus unique name, or a hub client's name).
    std::string sender;
};

class NotificationCenter {
public:
    using ObserverId = std::uint64_t;
    using Callback = std::function<void(const Notification&)>;

    virtual ~NotificationCenter() = default;

    // The process's centre, or null when none is installed (the companion cache is then off).
    static std::shared_ptr<NotificationCenter> defaultCenter();
    static void setDefaultCenter(std::shared_ptr<NotificationCenter> center);

    // Registers a callback for notifications of `name`; the registration is in force when the
    // call returns. 0 when it could not be made.
    virtual ObserverId addObserver(const std::string& name, Callback callback) = 0;
    // Once this returns, the callback is not running and will not run again (when called from the
    // callback itself, it returns at once and the running call is the last).
    virtual void removeObserver(ObserverId id) = 0;
    // Posts for immediate delivery. False, and nothing sent, when the name or the object is not
    // valid UTF-8 (or holds a NUL) or the centre cannot send.
    virtual bool postNotification(const std::string& name, const std::optional<std::string>& object) = 0;
    // Whether the calling thread is the one that runs this centre's callbacks.
    virtual bool onDeliveryThread() const = 0;
    // The sender name that observers see on this centre's posts.
    virtual std::string senderName() const = 0;
    // Who may answer what is posted on `name`, asked when an exchange starts: the sender name of
    // the process that serves the name now, or an empty text when the centre ties the name to a
    // service that nobody provides at the moment. Nullopt when the centre ties no service to the
    // name, so that any sender may answer (a centre without services, like the hub).
    virtual std::optional<std::string> answererFor(const std::string& name);
};

// Strict UTF-8 (no overlong forms, surrogates or code points above U+10FFFF) without NUL bytes:
// the text that may travel as a notification name or object.
bool isPostableText(std::string_view text);

}  // namespace plat
