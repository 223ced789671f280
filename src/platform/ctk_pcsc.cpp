#include "platform/ctk_pcsc.h"

#include <winscard.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ctk::pcsc {

namespace {

// The service went away or the context became unusable: establish a new one.
bool contextLost(LONG rv) {
    return rv == SCARD_E_NO_SERVICE || rv == SCARD_E_SERVICE_STOPPED || rv == SCARD_E_INVALID_HANDLE;
}

// pcsc-lite keeps one process-wide copy of the reader states, which SCardStatus and
// SCardGetStatusChange refresh under the lock of the calling context only: two contexts must not
// run them at the same time. SCardGetStatusChange is called here without waiting. SCardStatus waits
// while another connection holds a transaction on the card, so only the connection that transacts
// asks it (before its transactions, PcscCard::consumeResetEvent); asked under this lock by a
// connection that only looks (PcscCard::valid), it waited for our own transaction, whose owner
// needed the lock to go on and end it.
std::mutex& readerStateCacheMutex() {
    static std::mutex mutex;
    return mutex;
}

bool cardGone(LONG rv) {
    return rv == SCARD_W_REMOVED_CARD || rv == SCARD_E_NO_SMARTCARD || rv == SCARD_E_INVALID_HANDLE ||
           rv == SCARD_E_READER_UNAVAILABLE || rv == SCARD_E_UNKNOWN_READER || rv == SCARD_E_NO_SERVICE ||
           rv == SCARD_E_SERVICE_STOPPED;
}

// One PC/SC context, established on demand and re-established once when the service restarted.
class Context {
public:
    ~Context() {
        if (established_) SCardReleaseContext(context_);
    }

    template <typename F>
    LONG call(F&& f) {
        std::lock_guard lock(mutex_);
        LONG rv = SCARD_E_NO_SERVICE;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!established_) {
                rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_);
                if (rv != SCARD_S_SUCCESS) return rv;
                established_ = true;
            }
            rv = f(context_);
            if (!contextLost(rv)) return rv;
            SCardReleaseContext(context_);
            established_ = false;
        }
        return rv;
    }

private:
    std::mutex mutex_;
    SCARDCONTEXT context_ = 0;
    bool established_ = false;
};

std::vector<std::string> listReaders(Context& context) {
    std::vector<std::string> names;
    context.call([&](SCARDCONTEXT ctx) {
        names.clear();
        DWORD length = 0;
        LONG rv = SCardListReaders(ctx, nullptr, nullptr, &length);
        if (rv != SCARD_S_SUCCESS || length == 0) return rv;
        std::vector<char> buffer(length + 1, '\0');
        rv = SCardListReaders(ctx, nullptr, buffer.data(), &length);
        if (rv != SCARD_S_SUCCESS) return rv;
        length = std::min<DWORD>(length, static_cast<DWORD>(buffer.size() - 1));
        for (size_t at = 0; at < length && buffer[at] != '\0';) {
            std::string name(&buffer[at]);
            at += name.size() + 1;
            names.push_back(std::move(name));
        }
        return rv;
    });
    return names;
}

// The reader's current state record, asked without waiting; false when the service cannot say.
bool readerState(Context& context, const std::string& name, SCARD_READERSTATE& state) {
    LONG rv = context.call([&](SCARDCONTEXT ctx) {
        state = SCARD_READERSTATE{};
        state.szReader = name.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        std::lock_guard cache(readerStateCacheMutex());
        return SCardGetStatusChange(ctx, 0, &state, 1);
    });
    return rv == SCARD_S_SUCCESS;
}

class PcscCard final : public SmartCard {
public:
    static std::shared_ptr<PcscCard> connect(const std::string& reader) {
        auto card = std::shared_ptr<PcscCard>(new PcscCard());
        if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &card->context_) != SCARD_S_SUCCESS)
            return nullptr;
        card->haveContext_ = true;
        card->reader_ = reader;
        // Counted before the connection: a card taken out and put back meanwhile makes this one invalid.
        std::optional<DWORD> events = card->readerEventsLocked();
        if (!events) return nullptr;
        card->insertionEvents_ = *events;
        if (SCardConnect(card->context_, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                         &card->card_, &card->protocol_) != SCARD_S_SUCCESS)
            return nullptr;
        card->connected_ = true;
        return card;
    }

    ~PcscCard() override {
        if (connected_) {
            if (inTransaction_) SCardEndTransaction(card_, SCARD_LEAVE_CARD);
            SCardDisconnect(card_, SCARD_LEAVE_CARD);
        }
        if (haveContext_) SCardReleaseContext(context_);
    }

    // Asked of the reader, not of the connection, so that it never waits for a transaction.
    bool valid() override {
        std::lock_guard lock(mutex_);
        if (!gone_ && readerEventsLocked() != insertionEvents_) gone_ = true;
        return !gone_;
    }

protected:
    std::optional<Error> doBeginSession() override {
        std::lock_guard lock(mutex_);
        if (gone_) return Error{error::kTokenNotFound, "card removed"};
        LONG rv = SCardBeginTransaction(card_);
        if (rv == SCARD_W_RESET_CARD) {
            rearmAfterReset();
            rv = SCardBeginTransaction(card_);
        }
        if (rv == SCARD_S_SUCCESS) {
            inTransaction_ = true;
            return std::nullopt;
        }
        return failure(rv);
    }

    void doEndSession() override {
        std::lock_guard lock(mutex_);
        if (!inTransaction_) return;
        SCardEndTransaction(card_, SCARD_LEAVE_CARD);
        inTransaction_ = false;
    }

    std::optional<Error> doTransmit(const Bytes& request, Bytes& response) override {
        std::lock_guard lock(mutex_);
        if (gone_) return Error{error::kTokenNotFound, "card removed"};
        if (request.empty()) return Error{error::kBadParameter, "empty command"};
        SCARD_IO_REQUEST pci{protocol_ == SCARD_PROTOCOL_T0 ? DWORD{SCARD_PROTOCOL_T0} : DWORD{SCARD_PROTOCOL_T1},
                             sizeof(SCARD_IO_REQUEST)};
        response.assign(MAX_BUFFER_SIZE_EXTENDED, 0);
        DWORD length = static_cast<DWORD>(response.size());
        LONG rv = SCardTransmit(card_, &pci, request.data(), static_cast<DWORD>(request.size()), nullptr,
                                response.data(), &length);
        if (rv != SCARD_S_SUCCESS) {
            response.clear();
            return failure(rv);
        }
        response.resize(std::min<size_t>(length, response.size()));
        if (response.empty()) return Error{error::kCommunicationError, "no answer"};
        return std::nullopt;
    }

    bool consumeResetEvent() override {
        std::lock_guard lock(mutex_);
        checkStatusLocked();
        bool reset = resetSeen_;
        resetSeen_ = false;
        return reset;
    }

private:
    PcscCard() = default;

    // The reader's count of card insertions and removals (the upper half of the event state), or
    // nothing when no card is present or the reader cannot be asked.
    std::optional<DWORD> readerEventsLocked() {
        SCARD_READERSTATE state{};
        state.szReader = reader_.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        LONG rv;
        {
            std::lock_guard cache(readerStateCacheMutex());
            rv = SCardGetStatusChange(context_, 0, &state, 1);
        }
        if (rv == SCARD_E_TIMEOUT) return insertionEvents_;  // no news
        if (rv != SCARD_S_SUCCESS || (state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)) != 0 ||
            (state.dwEventState & SCARD_STATE_PRESENT) == 0)
            return std::nullopt;
        return state.dwEventState >> 16;
    }

    // Asks the service about this connection: notices a reset (and re-arms) or a removal.
    void checkStatusLocked() {
        if (gone_) return;
        DWORD state = 0, protocol = 0, atrLength = MAX_ATR_SIZE;
        unsigned char atr[MAX_ATR_SIZE];
        LONG rv;
        {
            std::lock_guard cache(readerStateCacheMutex());
            rv = SCardStatus(card_, nullptr, nullptr, &state, &protocol, atr, &atrLength);
        }
        if (rv == SCARD_W_RESET_CARD)
            rearmAfterReset();
        else if (cardGone(rv))
            gone_ = true;
    }

    // Another client reset the card: acknowledge it on this connection without resetting again.
    void rearmAfterReset() {
        resetSeen_ = true;
        inTransaction_ = false;
        LONG rv = SCardReconnect(card_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD,
                                 &protocol_);
        if (rv != SCARD_S_SUCCESS && cardGone(rv)) gone_ = true;
    }

    Error failure(LONG rv) {
        if (rv == SCARD_W_RESET_CARD) {
            rearmAfterReset();
            return Error{error::kCommunicationError, "card reset"};
        }
        if (cardGone(rv)) {
            gone_ = true;
            return Error{error::kTokenNotFound, "card removed"};
        }
        return Error{error::kCommunicationError, "PC/SC error " + std::to_string(rv)};
    }

    std::mutex mutex_;
    std::string reader_;
    DWORD insertionEvents_ = 0;
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    bool haveContext_ = false;
    bool connected_ = false;
    bool inTransaction_ = false;
    bool resetSeen_ = false;
    bool gone_ = false;
};

class PcscSlot final : public Slot {
public:
    PcscSlot(std::shared_ptr<Context> context, std::string name)
        : context_(std::move(context)), name_(std::move(name)) {}

    std::string name() const override { return name_; }

    SlotState state() override {
        SCARD_READERSTATE rs;
        if (!readerState(*context_, name_, rs)) return SlotState::Missing;
        DWORD s = rs.dwEventState;
        if (s & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_IGNORE)) return SlotState::Missing;
        if (!(s & SCARD_STATE_PRESENT)) return SlotState::Empty;
        if (s & SCARD_STATE_MUTE) return SlotState::MuteCard;
        return SlotState::ValidCard;
    }

    std::optional<Bytes> ATR() override {
        SCARD_READERSTATE rs;
        if (!readerState(*context_, name_, rs) || !(rs.dwEventState & SCARD_STATE_PRESENT)) return std::nullopt;
        DWORD length = std::min<DWORD>(rs.cbAtr, MAX_ATR_SIZE);
        return Bytes(rs.rgbAtr, rs.rgbAtr + length);
    }

protected:
    std::shared_ptr<SmartCard> createSmartCard() override {
        if (state() != SlotState::ValidCard) return nullptr;
        return PcscCard::connect(name_);
    }

private:
    std::shared_ptr<Context> context_;
    std::string name_;
};

class PcscSlotManager final : public SlotManager {
public:
    std::vector<std::string> slotNames() override { return listReaders(*context_); }

protected:
    std::shared_ptr<Slot> findSlot(const std::string& name) override {
        std::vector<std::string> names = listReaders(*context_);
        std::lock_guard lock(mutex_);
        // A reader that went away is forgotten, so that it comes back as a new slot.
        for (auto it = slots_.begin(); it != slots_.end();)
            it = std::find(names.begin(), names.end(), it->first) == names.end() ? slots_.erase(it) : std::next(it);
        if (std::find(names.begin(), names.end(), name) == names.end()) return nullptr;
        auto& slot = slots_[name];
        if (!slot) slot = std::make_shared<PcscSlot>(context_, name);
        return slot;
    }

private:
    std::shared_ptr<Context> context_ = std::make_shared<Context>();
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Slot>> slots_;
};

}  // namespace

std::shared_ptr<ctk::SlotManager> makeSlotManager() {
    return std::make_shared<PcscSlotManager>();
}

}  // namespace ctk::pcsc
