#include "platform/ctk_smartcard.h"

#include <openssl/crypto.h>

#include <mutex>
#include <utility>

#include "platform/ctk_pcsc.h"

namespace ctk {

namespace {

struct DefaultManager {
    std::mutex mutex;
    bool installed = false;
    std::shared_ptr<SlotManager> manager;
};

DefaultManager& defaultState() {
    static DefaultManager state;
    return state;
}

}  // namespace

std::shared_ptr<SlotManager> SlotManager::defaultManager() {
    DefaultManager& state = defaultState();
    std::lock_guard lock(state.mutex);
    if (!state.installed) {
        state.manager = pcsc::makeSlotManager();
        state.installed = true;
    }
    return state.manager;
}

void SlotManager::setDefaultManager(std::shared_ptr<SlotManager> manager) {
    DefaultManager& state = defaultState();
    std::lock_guard lock(state.mutex);
    state.manager = std::move(manager);
    state.installed = true;
}

void SlotManager::resetDefaultManager() {
    DefaultManager& state = defaultState();
    std::lock_guard lock(state.mutex);
    state.manager.reset();
    state.installed = false;
}

void SlotManager::getSlotWithName(const std::string& name, SlotReply reply) {
    queue_.async([self = shared_from_this(), name, reply = std::move(reply)] { reply(self->findSlot(name)); });
}

std::any SmartCard::context() {
    bool reset;
    {
        std::lock_guard io(ioMutex_);
        reset = consumeResetEvent();
    }
    std::lock_guard lock(contextMutex_);
    if (reset) context_.reset();
    return context_;
}

void SmartCard::setContext(std::any value) {
    std::lock_guard lock(contextMutex_);
    context_ = std::move(value);
}

void SmartCard::beginSession(SessionReply reply) {
    queue_.async([self = shared_from_this(), reply = std::move(reply)] {
        std::optional<Error> error;
        {
            std::lock_guard io(self->ioMutex_);
            error = self->doBeginSession();
        }
        reply(!error.has_value(), std::move(error));
    });
}

void SmartCard::endSession() {
    queue_.async([self = shared_from_this()] {
        std::lock_guard io(self->ioMutex_);
        self->doEndSession();
    });
}

void SmartCard::transmitRequest(Bytes request, TransmitReply reply) {
    queue_.async([self = shared_from_this(), request = std::move(request), reply = std::move(reply)]() mutable {
        Bytes response;
        std::optional<Error> error;
        {
            std::lock_guard io(self->ioMutex_);
            error = self->doTransmit(request, response);
        }
        // A plain PIN command carries the PIN: the copy is wiped once it has been sent.
        if (!request.empty()) OPENSSL_cleanse(request.data(), request.size());
        if (error)
            reply(std::nullopt, std::move(error));
        else
            reply(std::move(response), std::nullopt);
    });
}

std::optional<Bytes> SmartCard::sendIns(unsigned char ins, unsigned char p1, unsigned char p2,
                                        const std::optional<Bytes>& data, std::optional<unsigned long> le,
                                        unsigned short& sw, std::optional<Error>& error) {
    size_t lc = data ? data->size() : 0;
    unsigned long ne = le.value_or(0);
    bool extended = useExtendedLength_ && (lc > 255 || ne > 256 || (le && ne == 0));
    if (lc > 65535 || ne > 65536 || (!extended && (lc > 255 || ne > 256))) {
        error = Error{error::kBadParameter, "command does not fit the APDU"};
        return std::nullopt;
    }
    Bytes apdu;
    apdu.reserve(4 + 3 + lc + 3);
    apdu.push_back(cla_);
    apdu.push_back(ins);
    apdu.push_back(p1);
    apdu.push_back(p2);
    if (lc > 0) {
        if (extended) {
            apdu.push_back(0x00);
            apdu.push_back(static_cast<unsigned char>(lc >> 8));
        }
        apdu.push_back(static_cast<unsigned char>(lc & 0xFF));
        for (unsigned char b : *data) apdu.push_back(b);
    }
    if (le) {
        if (extended) {
            if (lc == 0) apdu.push_back(0x00);
            apdu.push_back(static_cast<unsigned char>((ne >> 8) & 0xFF));
            apdu.push_back(static_cast<unsigned char>(ne & 0xFF));
        } else {
            apdu.push_back(static_cast<unsigned char>(ne & 0xFF));
        }
    }
    Bytes response;
    {
        std::lock_guard io(ioMutex_);
        error = doTransmit(apdu, response);
    }
    OPENSSL_cleanse(apdu.data(), apdu.size());  // may hold a PIN
    if (error) return std::nullopt;
    if (response.size() < 2) {
        error = Error{error::kCorruptedData, "response without a status word"};
        return std::nullopt;
    }
    sw = static_cast<unsigned short>(response[response.size() - 2] << 8 | response.back());
    response.resize(response.size() - 2);
    return response;
}

}  // namespace ctk
