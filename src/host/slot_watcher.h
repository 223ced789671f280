#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/token_registry.h"
#include "platform/ctk_queue.h"
#include "platform/ctk_smartcard.h"
#include "platform/ctk_token.h"

namespace host {

// The platform's watch over the smart-card slots: for every card inserted whose ATR the extension
// serves, the token driver is asked for a token on the host worker, and the token is published;
// when the card goes (taken out, its slot gone, another card in its place, the card object no
// longer valid) the token is withdrawn. Cards of other kinds are noted once and left alone. The
// worker runs the creations and removals of all slots one after the other, in the order seen.
class SlotWatcher {
public:
    SlotWatcher(std::shared_ptr<ctk::SlotManager> slots, std::shared_ptr<ctk::SmartCardTokenDriver> driver,
                TokenRegistry& registry, std::chrono::milliseconds interval);
    ~SlotWatcher();
    SlotWatcher(const SlotWatcher&) = delete;
    SlotWatcher& operator=(const SlotWatcher&) = delete;

    // Looks at the slots now and then every interval, on a thread of its own.
    void start();
    // Ends the watch and lets the worker finish the creations and removals it was given.
    void stop();

private:
    // What the watch knows of a slot's card.
    struct Seen {
        std::vector<unsigned char> atr;
        bool supported = false;
        uint64_t insertion = 0;
    };

    void run();
    void poll();
    void lookAt(const std::string& name);
    bool cardStillThere(const std::string& name, const Seen& seen, const std::shared_ptr<ctk::Slot>& slot);
    std::shared_ptr<ctk::Slot> slotNamed(const std::string& name);
    void cardInserted(const std::string& name, const std::shared_ptr<ctk::Slot>& slot,
                      const std::vector<unsigned char>& atr);
    void cardRemoved(const std::string& name);
    // On the worker.
    void createToken(const std::string& name, const std::shared_ptr<ctk::Slot>& slot, uint64_t insertion);

    const std::shared_ptr<ctk::SlotManager> slots_;
    const std::shared_ptr<ctk::SmartCardTokenDriver> driver_;
    TokenRegistry& registry_;
    const std::chrono::milliseconds interval_;

    std::map<std::string, std::shared_ptr<ctk::Slot>> slotObjects_;  // the watch thread's only

    std::mutex seenMutex_;  // the worker forgets an insertion whose card object could not be made
    std::map<std::string, Seen> seen_;
    uint64_t insertions_ = 0;

    std::unique_ptr<ctk::SerialQueue> worker_ = std::make_unique<ctk::SerialQueue>();

    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace host
