#include "platform/ctk_memory.h"

#include <algorithm>
#include <utility>

namespace ctk::mem {

struct SlotManager::SlotData {
    std::string name;
    bool removed = false;
    std::shared_ptr<Card> card;
    SlotState cardState = SlotState::Empty;
    unsigned long insertion = 0;  // changes on every insertion and removal
    unsigned long resets = 0;
    int sessionFailures = 0;
    long sessionCode = 0;
    int transmitFailures = 0;
    long transmitCode = 0;
    int begun = 0;
    int ended = 0;
    std::weak_ptr<Slot> slotObject;
    // One call into the card at a time; a card may reset itself through its slot while it answers.
    std::recursive_mutex cardMutex;
};

struct SlotManager::Shared {
    std::mutex mutex;
    std::vector<std::shared_ptr<SlotData>> slots;

    std::shared_ptr<SlotData> find(const std::string& name) {
        for (const auto& slot : slots)
            if (slot->name == name) return slot;
        return nullptr;
    }
};

namespace {

using SlotData = SlotManager::SlotData;
using Shared = SlotManager::Shared;

class MemCard final : public SmartCard {
public:
    MemCard(std::shared_ptr<Shared> shared, std::shared_ptr<SlotData> data)
        : shared_(std::move(shared)), data_(std::move(data)), insertion_(data_->insertion), resets_(data_->resets) {}

    bool valid() override {
        std::lock_guard lock(shared_->mutex);
        return validLocked();
    }

protected:
    std::optional<Error> doBeginSession() override {
        std::lock_guard lock(shared_->mutex);
        if (!validLocked()) return Error{error::kTokenNotFound, "card removed"};
        if (data_->sessionFailures > 0) {
            --data_->sessionFailures;
            return Error{data_->sessionCode, "session refused"};
        }
        ++data_->begun;
        return std::nullopt;
    }

    void doEndSession() override {
        std::lock_guard lock(shared_->mutex);
        ++data_->ended;
    }

    std::optional<Error> doTransmit(const Bytes& request, Bytes& response) override {
        std::shared_ptr<Card> card;
        {
            std::lock_guard lock(shared_->mutex);
            if (!validLocked()) return Error{error::kTokenNotFound, "card removed"};
            if (data_->transmitFailures > 0) {
                --data_->transmitFailures;
                return Error{data_->transmitCode, "transmission failed"};
            }
            card = data_->card;
        }
        {
            std::lock_guard cardLock(data_->cardMutex);
            response = card->transmit(request);
        }
        if (response.empty()) return Error{error::kCommunicationError, "no answer"};
        return std::nullopt;
    }

    bool consumeResetEvent() override {
        std::lock_guard lock(shared_->mutex);
        if (data_->resets == resets_) return false;
        resets_ = data_->resets;
        return true;
    }

private:
    bool validLocked() const { return !data_->removed && data_->card && data_->insertion == insertion_; }

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<SlotData> data_;
    const unsigned long insertion_;
    unsigned long resets_;
};

class MemSlot final : public Slot {
public:
    MemSlot(std::shared_ptr<Shared> shared, std::shared_ptr<SlotData> data)
        : shared_(std::move(shared)), data_(std::move(data)) {}

    std::string name() const override { return data_->name; }

    SlotState state() override {
        std::lock_guard lock(shared_->mutex);
        if (data_->removed) return SlotState::Missing;
        return data_->card ? data_->cardState : SlotState::Empty;
    }

    std::optional<Bytes> ATR() override {
        std::shared_ptr<Card> card;
        {
            std::lock_guard lock(shared_->mutex);
            if (data_->removed || !data_->card) return std::nullopt;
            card = data_->card;
        }
        std::lock_guard cardLock(data_->cardMutex);
        return card->atr();
    }

protected:
    std::shared_ptr<SmartCard> createSmartCard() override {
        std::lock_guard lock(shared_->mutex);
        if (data_->removed || !data_->card || data_->cardState != SlotState::ValidCard) return nullptr;
        return std::make_shared<MemCard>(shared_, data_);
    }

private:
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<SlotData> data_;
};

}  // namespace

SlotManager::SlotManager() : shared_(std::make_shared<Shared>()) {}

SlotManager::~SlotManager() = default;

std::vector<std::string> SlotManager::slotNames() {
    std::lock_guard lock(shared_->mutex);
    std::vector<std::string> names;
    for (const auto& slot : shared_->slots) names.push_back(slot->name);
    return names;
}

void SlotManager::addSlot(const std::string& name) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->find(name)) return;
    auto data = std::make_shared<SlotData>();
    data->name = name;
    shared_->slots.push_back(std::move(data));
}

void SlotManager::removeSlot(const std::string& name) {
    std::lock_guard lock(shared_->mutex);
    auto& slots = shared_->slots;
    for (auto it = slots.begin(); it != slots.end(); ++it) {
        if ((*it)->name != name) continue;
        (*it)->removed = true;
        (*it)->card.reset();
        ++(*it)->insertion;
        slots.erase(it);
        return;
    }
}

bool SlotManager::insertCard(const std::string& slot, std::shared_ptr<Card> card, SlotState state) {
    std::lock_guard lock(shared_->mutex);
    auto data = shared_->find(slot);
    if (!data || !card) return false;
    data->card = std::move(card);
    data->cardState = state;
    ++data->insertion;
    return true;
}

void SlotManager::removeCard(const std::string& slot) {
    std::lock_guard lock(shared_->mutex);
    if (auto data = shared_->find(slot)) {
        data->card.reset();
        ++data->insertion;
    }
}

void SlotManager::resetCard(const std::string& slot) {
    std::shared_ptr<SlotData> data;
    std::shared_ptr<Card> card;
    {
        std::lock_guard lock(shared_->mutex);
        data = shared_->find(slot);
        if (!data) return;
        ++data->resets;
        card = data->card;
    }
    if (card) {
        std::lock_guard cardLock(data->cardMutex);
        card->reset();
    }
}

void SlotManager::failSessions(const std::string& slot, long code, int count) {
    std::lock_guard lock(shared_->mutex);
    if (auto data = shared_->find(slot)) {
        data->sessionFailures = count;
        data->sessionCode = code;
    }
}

void SlotManager::failTransmissions(const std::string& slot, long code, int count) {
    std::lock_guard lock(shared_->mutex);
    if (auto data = shared_->find(slot)) {
        data->transmitFailures = count;
        data->transmitCode = code;
    }
}

int SlotManager::sessionsBegun(const std::string& slot) {
    std::lock_guard lock(shared_->mutex);
    auto data = shared_->find(slot);
    return data ? data->begun : 0;
}

int SlotManager::sessionsEnded(const std::string& slot) {
    std::lock_guard lock(shared_->mutex);
    auto data = shared_->find(slot);
    return data ? data->ended : 0;
}

std::shared_ptr<Slot> SlotManager::findSlot(const std::string& name) {
    std::lock_guard lock(shared_->mutex);
    auto data = shared_->find(name);
    if (!data) return nullptr;
    std::shared_ptr<Slot> slot = data->slotObject.lock();
    if (!slot) {
        slot = std::make_shared<MemSlot>(shared_, data);
        data->slotObject = slot;
    }
    return slot;
}

}  // namespace ctk::mem
