#include "host/slot_watcher.h"

#include <algorithm>
#include <future>

#include "host/hex.h"
#include "host/supported_cards.h"
#include "platform/system_log.h"

namespace host {

namespace {

// How long a slot lookup may take before the slot counts as absent for this look.
constexpr std::chrono::seconds kLookupLimit{5};

}  // namespace

SlotWatcher::SlotWatcher(std::shared_ptr<ctk::SlotManager> slots, std::shared_ptr<ctk::SmartCardTokenDriver> driver,
                         TokenRegistry& registry, std::chrono::milliseconds interval)
    : slots_(std::move(slots)), driver_(std::move(driver)), registry_(registry), interval_(interval) {}

SlotWatcher::~SlotWatcher() {
    stop();
}

void SlotWatcher::start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { run(); });
}

void SlotWatcher::stop() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopChanged_.notify_all();
    if (thread_.joinable()) thread_.join();
    worker_.reset();  // finishes every task it was given
}

void SlotWatcher::run() {
    std::unique_lock lock(stopMutex_);
    while (!stopping_) {
        lock.unlock();
        poll();
        lock.lock();
        stopChanged_.wait_for(lock, interval_, [this] { return stopping_; });
    }
}

void SlotWatcher::poll() {
    if (!slots_) return;
    const std::vector<std::string> names = slots_->slotNames();
    std::vector<std::string> known;
    {
        std::lock_guard lock(seenMutex_);
        for (const auto& [name, seen] : seen_) known.push_back(name);
    }
    // Slots that went away take their cards with them.
    for (const std::string& name : known) {
        if (std::find(names.begin(), names.end(), name) == names.end()) cardRemoved(name);
    }
    for (auto it = slotObjects_.begin(); it != slotObjects_.end();)
        it = std::find(names.begin(), names.end(), it->first) == names.end() ? slotObjects_.erase(it) : std::next(it);
    for (const std::string& name : names) lookAt(name);
}

void SlotWatcher::lookAt(const std::string& name) {
    const std::shared_ptr<ctk::Slot> slot = slotNamed(name);
    std::optional<Seen> seen;
    {
        std::lock_guard lock(seenMutex_);
        const auto entry = seen_.find(name);
        if (entry != seen_.end()) seen = entry->second;
    }
    if (seen && !cardStillThere(name, *seen, slot)) {
        cardRemoved(name);
        seen.reset();
    }
    if (seen || !slot || slot->state() != ctk::SlotState::ValidCard) return;
    const std::optional<std::vector<unsigned char>> atr = slot->ATR();
    if (atr) cardInserted(name, slot, *atr);
}

bool SlotWatcher::cardStillThere(const std::string& name, const Seen& seen, const std::shared_ptr<ctk::Slot>& slot) {
    if (!slot) return false;
    const ctk::SlotState state = slot->state();
    if (state == ctk::SlotState::Probing) return true;  // no news yet
    if (state != ctk::SlotState::ValidCard) return false;
    if (slot->ATR() != seen.atr) return false;
    // Taken out and put back between two looks: the card object of the first insertion is dead.
    const std::optional<HostedToken> hosted = registry_.find(name);
    return !hosted || !hosted->card || hosted->card->valid();
}

std::shared_ptr<ctk::Slot> SlotWatcher::slotNamed(const std::string& name) {
    const auto cached = slotObjects_.find(name);
    if (cached != slotObjects_.end()) {
        if (cached->second->state() != ctk::SlotState::Missing) return cached->second;
        slotObjects_.erase(cached);  // a slot of that name may have come back as a new one
    }
    auto found = std::make_shared<std::promise<std::shared_ptr<ctk::Slot>>>();
    std::future<std::shared_ptr<ctk::Slot>> reply = found->get_future();
    slots_->getSlotWithName(name, [found](std::shared_ptr<ctk::Slot> slot) { found->set_value(std::move(slot)); });
    if (reply.wait_for(kLookupLimit) != std::future_status::ready) return nullptr;
    std::shared_ptr<ctk::Slot> slot = reply.get();
    if (slot) slotObjects_[name] = slot;
    return slot;
}

void SlotWatcher::cardInserted(const std::string& name, const std::shared_ptr<ctk::Slot>& slot,
                               const std::vector<unsigned char>& atr) {
    Seen seen{.atr = atr, .supported = isSupportedCard(atr), .insertion = 0};
    {
        std::lock_guard lock(seenMutex_);
        seen.insertion = ++insertions_;
        seen_[name] = seen;
    }
    if (!seen.supported) {
        plat::systemLog("host | card in %s not served (ATR %s)", name.c_str(), toHex(atr).c_str());
        return;
    }
    plat::systemLog("host | card inserted in %s", name.c_str());
    worker_->async([this, name, slot, insertion = seen.insertion] { createToken(name, slot, insertion); });
}

void SlotWatcher::cardRemoved(const std::string& name) {
    bool hosted = false;
    {
        std::lock_guard lock(seenMutex_);
        const auto entry = seen_.find(name);
        if (entry == seen_.end()) return;
        hosted = entry->second.supported;
        seen_.erase(entry);
    }
    if (!hosted) return;
    plat::systemLog("host | card removed from %s", name.c_str());
    worker_->async([this, name] {
        registry_.withdraw(name);
        plat::systemLog("host | token of %s dropped", name.c_str());
    });
}

void SlotWatcher::createToken(const std::string& name, const std::shared_ptr<ctk::Slot>& slot, uint64_t insertion) {
    std::shared_ptr<ctk::SmartCard> card = slot->makeSmartCard();
    if (!card) {
        // Gone already, or the service refused a connection: look again on the next round.
        plat::systemLog("host | no card object for %s", name.c_str());
        std::lock_guard lock(seenMutex_);
        const auto entry = seen_.find(name);
        if (entry != seen_.end() && entry->second.insertion == insertion) seen_.erase(entry);
        return;
    }
    std::optional<ctk::Error> error;
    std::shared_ptr<ctk::SmartCardToken> token = driver_->createTokenForSmartCard(card, std::nullopt, &error);
    if (!token) {
        // Not asked again until the card is taken out.
        plat::systemLog("host | the extension made no token for %s%s%s", name.c_str(), error ? ": " : "",
                        error ? error->text.c_str() : "");
        return;
    }
    registry_.publish(HostedToken{.reader = name, .token = std::move(token), .card = std::move(card)});
    plat::systemLog("host | token for %s published", name.c_str());
}

}  // namespace host
