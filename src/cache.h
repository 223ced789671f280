#pragma once

#include <chrono>
#include <memory>
#include <vector>

class GC_Queue;

// The per-reader cache that the companion application keeps for the driver: the CAN of a reader's
// card, the tries-left counters of its PINs and the contents of card files, each entry addressed
// by the reader's name and a key. Every operation is one exchange with the companion over the
// obfuscated link of src/Queue/. The class owns the process's only link; one process-wide lock
// serialises all calls, since replies carry no reader name.
//
// Without a notification centre installed (plat::NotificationCenter::setDefaultCenter) the cache
// is disabled: every operation returns kDisabled at once and nothing waits.
//
// Never call it on a notification delivery thread: its reply would be delivered by that very
// thread. Such a call is refused with kDisabled.
class GC_Cache {
public:
    static constexpr int kOk = 0;
    static constexpr int kFailed = -1;    // exchange failed, reply empty, empty password given
    static constexpr int kDisabled = -3;  // cache disabled, or no link
    static constexpr int kNotFound = -4;  // the companion has no such entry
    static constexpr int kBadReply = -5;  // reply without both "<res>" tags
    static constexpr int kNoAnswer = -6;  // no reply in time

    static constexpr std::chrono::milliseconds kDefaultReplyWait{500};
    // The notification name on which the companion's cache service takes requests.
    static constexpr const char* kServiceName = "cacheServer";

    // Makes the link once (peer "cacheServer", own name "Core"); 0.
    static int init();
    // Whether the cache is unusable (no centre, the link gone after shutdown).
    static bool isDisable();

    // `hex`: the key is sent as upper-case hexadecimal digits (file keys); otherwise as text up to
    // its first zero byte.
    static int get(const char* readerName, const std::vector<unsigned char>& key, std::vector<unsigned char>& value,
                   bool hex);
    // 0 whenever the cache is enabled, even when the companion does not answer (logged as an error).
    static int set(const char* readerName, const std::vector<unsigned char>& key,
                   const std::vector<unsigned char>& value, bool hex);
    static int remove(const char* readerName, const std::vector<unsigned char>& key, bool hex);
    // Deletes all entries of the reader.
    static int clear(const char* readerName);
    static int exist(const char* readerName, const std::vector<unsigned char>& key, bool hex);

    // Tries-left counter of the PIN with reference `pinRef` (key "TRIES<ref in decimal>", one byte).
    // `tries` is 0 unless the result is 0 with a non-empty value.
    static int getTriesLeft(const char* readerName, unsigned char pinRef, unsigned long& tries);
    // Stores the low 8 bits of `tries`.
    static int setTriesLeft(const char* readerName, unsigned char pinRef, unsigned long tries);
    static int removeTriesLeft(const char* readerName, unsigned char pinRef);

    // The CAN of the reader's card (key "CAN").
    static int getPassword(const char* readerName, std::vector<unsigned char>& can);
    // -1 for an empty CAN, nothing sent.
    static int setPassword(const char* readerName, const std::vector<unsigned char>& can);
    static int removePassword(const char* readerName);
    static int existPassword(const char* readerName);

    // Notices to the companion: a reader connection failed; an operation was refused.
    static int connectionFailed(const char* readerName);
    static int operationNotAllow(const char* readerName);

    // Binds the reader's entries to the card now in it: when the entry "CARDID" holds `cardId`
    // nothing changes; otherwise (another card, no entry, an unreadable entry) the reader's entries
    // are cleared and `cardId` stored. An empty id (a card without serial) always clears. Call it
    // once the card's serial is known and before any cached read. 0 when the entries belong to
    // this card; otherwise the failed clear's result, and the reader's entries must not be trusted.
    static int bindCard(const char* readerName, const std::vector<unsigned char>& cardId);

    // How long each exchange waits for its reply, for the links made from now on (the host sets it
    // before the first cache call).
    static void setReplyWait(std::chrono::milliseconds wait);

    // Ends the link under the lock (before process exit); the cache stays disabled afterwards.
    static void shutdown();

    // Tests: drops the link and forgets it was made, so the next call makes a new one on the
    // default centre as it is then, waiting `replyWait` for each reply.
    static void resetForTesting(std::chrono::milliseconds replyWait = kDefaultReplyWait);

private:
    struct Impl;
    friend struct Impl;

    static std::unique_ptr<GC_Queue> queue;
    static bool isInit;
};
