#include "cache.h"

#include <mutex>

#include "Data/bytes.h"
#include "Data/wipe.h"
#include "Queue/frame.h"
#include "Queue/queue.h"
#include "common.h"
#include "logger.h"
#include "platform/notification_center.h"

namespace {

constexpr const char* kLogFile = "cache";
constexpr unsigned long kLogMask = gc_log::kCache;
constexpr unsigned long kErrMask = gc_log::kError | gc_log::kCache;
constexpr unsigned long kDetailMask = gc_log::kCache | gc_log::kDetail;

constexpr const char* kPeerName = GC_Cache::kServiceName;
constexpr const char* kOwnName = "Core";
constexpr const char* kPasswordKey = "CAN";
constexpr const char* kCardIdKey = "CARDID";
constexpr std::string_view kNotFoundText = "NOT_FOUND";

std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}

std::chrono::milliseconds replyWait = GC_Cache::kDefaultReplyWait;

std::vector<unsigned char> textKey(const char* text) {
    return cstr2Bytes("%s", text);
}

// The key as sent: upper-case hexadecimal digits, or the bytes as text up to the first zero byte.
GC_Bytes keyText(const std::vector<unsigned char>& key, bool hex) {
    if (hex) return GC_Bytes(key, 0).toHex(false, true);
    GC_Bytes text;
    for (unsigned char byte : key) {
        if (byte == 0) break;
        text.push_back(byte);
    }
    return text;
}

bool isPasswordKey(GC_Bytes& key) {
    return std::string_view(key.c_str()) == kPasswordKey;
}

// A reply's callback would be delivered by this very thread, so the call could only time out.
bool onNotificationThread() {
    auto center = plat::NotificationCenter::defaultCenter();
    return center != nullptr && center->onDeliveryThread();
}

// Every call runs alone: replies name no reader, so two exchanges in flight could swap entries.
template <typename Operation>
int serialised(const char* func, Operation&& operation) {
    if (onNotificationThread())
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kErrMask, GC_Cache::kDisabled,
                                "called on the notification delivery thread");
    GC_LoggerC::call1(func, kLogFile, __LINE__, kLogMask);
    std::lock_guard lock(cacheMutex());
    const int result = operation();
    GC_LoggerC::ret1(func, kLogFile, __LINE__, kLogMask, result);
    return result;
}

}  // namespace

std::unique_ptr<GC_Queue> GC_Cache::queue;
bool GC_Cache::isInit = false;

// The operations proper; the caller holds the cache lock.
struct GC_Cache::Impl {
    static int init() {
        if (queue != nullptr) return 0;
        queue = std::make_unique<GC_Queue>(kPeerName, kOwnName, replyWait);
        isInit = true;
        return 0;
    }

    static bool isDisable() {
        if (sdkMode()) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "cache is disabled in sdk");
            return true;
        }
        if (queue != nullptr) return queue->disabled;
        if (!isInit) return init() == 0 ? queue->disabled : true;
        return true;  // the link was shut down
    }

    // The common start of every exchange: 0 when the cache can be asked, else kDisabled.
    static int usable(const char* readerName) {
        if (!isInit) init();
        if (isDisable() || queue == nullptr) return kDisabled;
        if (queue->onDeliveryThread())
            return GC_FAIL(kErrMask, kDisabled, "called on the notification delivery thread");
        if (readerName == nullptr) return GC_FAIL(kErrMask, kFailed, "no reader name");
        return kOk;
    }

    // One exchange of a command; the link's result. The command is wiped once sent.
    static int exchange(GC_Bytes& command, std::vector<unsigned char>& reply, bool secret) {
        GC_WipedBuffer message(command.data());
        const int rc = queue->sendAndRecive(message.v, reply, secret);
        command.fill0();
        return rc;
    }

    static int get(const char* readerName, const std::vector<unsigned char>& key, std::vector<unsigned char>& value,
                   bool hex) {
        if (int rc = usable(readerName); rc != kOk) return rc;
        gc_wipe(value);
        value.clear();
        GC_Bytes keyString = keyText(key, hex);
        const bool secret = isPasswordKey(keyString);
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "get %s | %s", readerName, keyString.c_str());
        GC_Bytes command("<rid>%s</rid><get>%s</get>", readerName, keyString.c_str());
        std::vector<unsigned char> reply;
        GC_WipeGuard wipeReply{&reply};
        const int rc = exchange(command, reply, secret);
        if (rc == -1) return GC_FAIL(kErrMask, kNoAnswer, "no reply");
        if (rc != 1 || reply.empty()) return GC_FAIL(kErrMask, kFailed, "exchange failed");
        if (!secret && GC_LoggerC::levelEnabled(kDetailMask)) {
            GC_Bytes shown = GC_Bytes(reply, 0).toPlainText();
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "Search 'res' in: %s", shown.c_str());
        }
        // The value runs to the last "</res>": a cached file may hold those bytes itself.
        const size_t open = gc_frame::findFirst(reply, "<res>");
        const size_t close = gc_frame::findLast(reply, "</res>");
        if (open == gc_frame::npos || close == gc_frame::npos) return GC_FAIL(kErrMask, kBadReply, "Wrong response ");
        const size_t start = open + 5;
        const size_t end = close < start ? reply.size() : close;
        value.assign(reply.begin() + static_cast<long>(start), reply.begin() + static_cast<long>(end));
        if (!value.empty() && GC_LoggerC::levelEnabled(kDetailMask)) {
            GC_Bytes shown = secret ? GC_Bytes("(withheld)") : GC_Bytes(value, 0).toPlainText();
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "Found, size %i, content:%s",
                             static_cast<int>(value.size()), shown.c_str());
        }
        if (std::string_view(reinterpret_cast<const char*>(value.data()), value.size()) == kNotFoundText) {
            value.clear();
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Not found");
            return kNotFound;
        }
        // A file or a CAN word for word as the previous reply, to another request: most likely that
        // reply's late copy (another file, another reader's value). Not taken: the card is asked.
        // The reply to this request is still on its way; a new link keeps it from answering the next.
        if ((hex || secret) && queue->replyRepeatsPrevious()) {
            gc_wipe(value);
            value.clear();
            queue->dropLink();
            return GC_FAIL(kErrMask, kFailed, "the reply repeats the previous one: not taken");
        }
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Succes ");
        return kOk;
    }

    static int set(const char* readerName, const std::vector<unsigned char>& key,
                   const std::vector<unsigned char>& value, bool hex) {
        if (int rc = usable(readerName); rc != kOk) return rc;
        GC_Bytes keyString = keyText(key, hex);
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kDetailMask, "set %s | %s | %i bytes", readerName,
                         keyString.c_str(), static_cast<int>(value.size()));
        GC_Bytes command("<rid>%s</rid><set%s>", readerName, keyString.c_str());
        command.append(value, 0);
        command.appendf("</set%s>", keyString.c_str());
        std::vector<unsigned char> reply;
        GC_WipeGuard wipeReply{&reply};
        // Kept: a store the companion did not confirm is not an error for the card session.
        if (exchange(command, reply, isPasswordKey(keyString)) != 1)
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "SET FAILED");
        return kOk;
    }

    // remove, clear and the notices: the reply is not looked at. The command is made once the
    // cache is known to be usable.
    template <typename MakeCommand>
    static int notice(const char* readerName, MakeCommand makeCommand) {
        if (int rc = usable(readerName); rc != kOk) return rc;
        GC_Bytes command = makeCommand();
        std::vector<unsigned char> reply;
        GC_WipeGuard wipeReply{&reply};
        if (exchange(command, reply, false) != 1) return GC_FAIL(kErrMask, kFailed, "exchange failed");
        return kOk;
    }

    static int remove(const char* readerName, const std::vector<unsigned char>& key, bool hex) {
        return notice(readerName, [&] {
            GC_Bytes keyString = keyText(key, hex);
            return GC_Bytes("<rid>%s</rid><del>%s</del>", readerName, keyString.c_str());
        });
    }

    static int clear(const char* readerName) {
        return notice(readerName, [&] { return GC_Bytes("<clr>%s</clr>", readerName); });
    }

    static int bindCard(const char* readerName, const std::vector<unsigned char>& cardId) {
        if (int rc = usable(readerName); rc != kOk) return rc;
        if (!cardId.empty()) {
            std::vector<unsigned char> stored;
            const int rc = get(readerName, textKey(kCardIdKey), stored, false);
            if (rc == kOk && stored == cardId) return kOk;
        }
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "another card in %s: entries cleared", readerName);
        if (int rc = clear(readerName); rc != kOk) return GC_FAIL(kErrMask, rc, "entries not cleared");
        if (!cardId.empty()) set(readerName, textKey(kCardIdKey), cardId, false);
        return kOk;
    }
};

int GC_Cache::init() {
    std::lock_guard lock(cacheMutex());
    return Impl::init();
}

bool GC_Cache::isDisable() {
    std::lock_guard lock(cacheMutex());
    return Impl::isDisable();
}

int GC_Cache::get(const char* readerName, const std::vector<unsigned char>& key, std::vector<unsigned char>& value,
                  bool hex) {
    return serialised(__func__, [&] { return Impl::get(readerName, key, value, hex); });
}

int GC_Cache::set(const char* readerName, const std::vector<unsigned char>& key,
                  const std::vector<unsigned char>& value, bool hex) {
    return serialised(__func__, [&] { return Impl::set(readerName, key, value, hex); });
}

int GC_Cache::remove(const char* readerName, const std::vector<unsigned char>& key, bool hex) {
    return serialised(__func__, [&] { return Impl::remove(readerName, key, hex); });
}

int GC_Cache::clear(const char* readerName) {
    return serialised(__func__, [&] { return Impl::clear(readerName); });
}

int GC_Cache::exist(const char* readerName, const std::vector<unsigned char>& key, bool hex) {
    std::vector<unsigned char> value;
    GC_WipeGuard wipeValue{&value};
    return get(readerName, key, value, hex);
}

int GC_Cache::getTriesLeft(const char* readerName, unsigned char pinRef, unsigned long& tries) {
    tries = 0;
    std::vector<unsigned char> value;
    const int rc = get(readerName, cstr2Bytes("TRIES%i", pinRef), value, false);
    if (rc == kOk && !value.empty()) tries = value[0];
    return rc;
}

int GC_Cache::setTriesLeft(const char* readerName, unsigned char pinRef, unsigned long tries) {
    return set(readerName, cstr2Bytes("TRIES%i", pinRef), {static_cast<unsigned char>(tries & 0xFF)}, false);
}

int GC_Cache::removeTriesLeft(const char* readerName, unsigned char pinRef) {
    return remove(readerName, cstr2Bytes("TRIES%i", pinRef), false);
}

int GC_Cache::getPassword(const char* readerName, std::vector<unsigned char>& can) {
    return get(readerName, textKey(kPasswordKey), can, false);
}

int GC_Cache::setPassword(const char* readerName, const std::vector<unsigned char>& can) {
    if (can.empty()) return GC_FAIL(kErrMask, kFailed, "empty password");
    return set(readerName, textKey(kPasswordKey), can, false);
}

int GC_Cache::removePassword(const char* readerName) {
    return remove(readerName, textKey(kPasswordKey), false);
}

int GC_Cache::existPassword(const char* readerName) {
    return exist(readerName, textKey(kPasswordKey), false);
}

int GC_Cache::connectionFailed(const char* readerName) {
    return serialised(
        __func__, [&] { return Impl::notice(readerName, [&] { return GC_Bytes("<fail>%s</fail>", readerName); }); });
}

int GC_Cache::operationNotAllow(const char* readerName) {
    return serialised(__func__, [&] {
        return Impl::notice(readerName, [&] { return GC_Bytes("<notallow>%s</notallow>", readerName); });
    });
}

int GC_Cache::bindCard(const char* readerName, const std::vector<unsigned char>& cardId) {
    return serialised(__func__, [&] { return Impl::bindCard(readerName, cardId); });
}

void GC_Cache::shutdown() {
    std::lock_guard lock(cacheMutex());
    queue.reset();
}

void GC_Cache::setReplyWait(std::chrono::milliseconds wait) {
    std::lock_guard lock(cacheMutex());
    replyWait = wait;
}

void GC_Cache::resetForTesting(std::chrono::milliseconds wait) {
    std::lock_guard lock(cacheMutex());
    queue.reset();
    isInit = false;
    replyWait = wait;
}
