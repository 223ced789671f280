// Card core: transport rules (lengths, chaining, secure messaging), file system and PIN commands.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>

#include "card_internal.h"

namespace cardsim {
namespace {

constexpr uint16_t kOk = 0x9000;

bool matches(const CommandMatch& m, const Apdu& a, bool secure) {
    return m.ins == a.ins && (m.p1 < 0 || m.p1 == a.p1) && (m.p2 < 0 || m.p2 == a.p2) && (secure || !m.secureOnly);
}

Bytes withSw(Bytes data, uint16_t sw) {
    data.push_back(static_cast<uint8_t>(sw >> 8));
    data.push_back(static_cast<uint8_t>(sw));
    return data;
}

uint16_t fidOf(const Bytes& d, size_t at) {
    return static_cast<uint16_t>(d[at] << 8 | d[at + 1]);
}

Node* findByAid(Node* node, const Bytes& aid) {
    if (node->isDf && !node->aid.empty() && node->aid == aid) return node;
    for (auto& c : node->children)
        if (c->isDf)
            if (Node* hit = findByAid(c.get(), aid)) return hit;
    return nullptr;
}

Bytes fileControl(const Node* n, uint8_t templateTag, const std::map<uint16_t, Bytes>& sizeItems) {
    Bytes items;
    if (!n->isDf) {
        const auto forged = sizeItems.find(n->fid);
        const Bytes size =
            forged != sizeItems.end()
                ? tlv(0x80, forged->second)
                : tlv(0x80, {static_cast<uint8_t>(n->content.size() >> 8), static_cast<uint8_t>(n->content.size())});
        items.insert(items.end(), size.begin(), size.end());
    }
    const Bytes descriptor = tlv(0x82, {static_cast<uint8_t>(n->isDf ? 0x38 : 0x01)});
    const Bytes id = tlv(0x83, {static_cast<uint8_t>(n->fid >> 8), static_cast<uint8_t>(n->fid)});
    items.insert(items.end(), descriptor.begin(), descriptor.end());
    items.insert(items.end(), id.begin(), id.end());
    if (n->isDf && !n->aid.empty()) {
        const Bytes name = tlv(0x84, n->aid);
        items.insert(items.end(), name.begin(), name.end());
    }
    const Bytes state = tlv(0x8A, {static_cast<uint8_t>(n->ancestorsActive() ? 0x05 : 0x04)});
    items.insert(items.end(), state.begin(), state.end());
    return tlv(templateTag, items);
}

}  // namespace

// ---------------------------------------------------------------- public surface

const char* personalityName(Personality p) {
    switch (p) {
        case Personality::Generic:
            return "generic";
        case Personality::Varnel1:
            return "varnel1";
        case Personality::Varnel2:
            return "varnel2";
    }
    return "?";
}

std::optional<Personality> parsePersonality(const std::string& name) {
    for (Personality p : {Personality::Generic, Personality::Varnel1, Personality::Varnel2})
        if (name == personalityName(p)) return p;
    return std::nullopt;
}

Bytes defaultAtr(Personality p) {
    switch (p) {
        case Personality::Varnel1:
            return {0x3B, 0x84, 0x80, 0x01, 0x47, 0x43, 0x50, 0x43, 0x12};
        case Personality::Varnel2:
            return {0x3B, 0x89, 0x80, 0x01, 0x02, 0x4D, 0x4B, 0x4D, 0x57, 0x4B, 0x53, 0x4B, 0x54, 0x11};
        case Personality::Generic:
            break;
    }
    return {0x3B, 0x80, 0x80, 0x01, 0x01};
}

CardSim::CardSim(CardConfig config) : impl_(std::make_unique<Impl>()) {
    initOpenPace();
    impl_->config = std::move(config);
    impl_->personalise();
    impl_->clearVolatile();
}

CardSim::~CardSim() = default;

CardSim::Impl::~Impl() {
    // The configuration carries the CAN, the PUK and PIN values in plain strings.
    OPENSSL_cleanse(config.can.data(), config.can.size());
    OPENSSL_cleanse(config.puk.data(), config.puk.size());
    for (auto& [ref, value] : config.pins) OPENSSL_cleanse(value.data(), value.size());
}

bool CardSim::ok() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->error.empty();
}

std::string CardSim::error() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->error;
}

Personality CardSim::personality() const {
    return impl_->config.personality;
}

Bytes CardSim::atr() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->atr;
}

Bytes CardSim::transmit(const Bytes& command) {
    std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    LogEntry entry;
    entry.command = command;
    entry.plainCommand = command;
    Bytes out;
    if ((d.resetNext || d.removeNext) && d.eventAfter > 0) {
        --d.eventAfter;
    } else if (d.resetNext || d.removeNext) {
        d.event = d.resetNext ? Event::Reset : Event::Removed;
        d.resetNext = d.removeNext = false;
        d.clearVolatile();
        d.log.push_back(std::move(entry));
        return {};
    }
    std::optional<AnswerFault> fault;
    if (d.answerFault && d.answerFault->after > 0) {
        --d.answerFault->after;
    } else if (d.answerFault) {
        fault = d.answerFault->fault;
        d.answerFault.reset();
    }
    if (!d.error.empty() || !d.powered) {
        out = withSw({}, 0x6F00);
        entry.plainResponse = out;
    } else if (fault == AnswerFault::Plain6988) {
        // Not executed; the channel and any pending chain are gone, as after any plain refusal.
        d.dropSecureMessaging();
        d.chain = PendingChain{};
        out = withSw({}, 0x6988);
        entry.plainResponse = out;
    } else {
        out = d.handle(command, entry);
    }
    if (fault == AnswerFault::FlipMiddleByte) out[out.size() / 2] ^= 0xFF;
    if (fault == AnswerFault::TruncateHalf) out.resize(std::max<size_t>(out.size() / 2, 1));
    if (fault == AnswerFault::HalfAsChain) {
        out.resize(std::max<size_t>(out.size() / 2, 2));
        out[out.size() - 2] = 0x61;
    }
    if (d.truncateTo) {
        out.resize(std::min(out.size(), std::max<size_t>(*d.truncateTo, 1)));
        d.truncateTo.reset();
    }
    if (d.flipIndex) {
        const long n = static_cast<long>(out.size());
        const long at = *d.flipIndex < 0 ? n + *d.flipIndex : *d.flipIndex;
        if (at >= 0 && at < n) out[static_cast<size_t>(at)] ^= 0xFF;
        d.flipIndex.reset();
    }
    entry.response = out;
    d.log.push_back(std::move(entry));
    return out;
}

void CardSim::reset() {
    std::lock_guard lock(impl_->mutex);
    impl_->clearVolatile();
    impl_->powered = true;
    impl_->log.push_back(LogEntry{LogEntry::Kind::Reset, {}, {}, false, {}, {}});
}

void CardSim::powerOff() {
    std::lock_guard lock(impl_->mutex);
    impl_->clearVolatile();
    impl_->powered = false;
    impl_->log.push_back(LogEntry{LogEntry::Kind::PowerOff, {}, {}, false, {}, {}});
}

void CardSim::powerOn() {
    std::lock_guard lock(impl_->mutex);
    impl_->clearVolatile();
    impl_->powered = true;
    impl_->log.push_back(LogEntry{LogEntry::Kind::PowerOn, {}, {}, false, {}, {}});
}

bool CardSim::secureMessagingActive() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->sm != nullptr;
}

std::vector<LogEntry> CardSim::log() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

void CardSim::clearLog() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

void CardSim::flipResponseByte(long index) {
    std::lock_guard lock(impl_->mutex);
    impl_->flipIndex = index;
}

void CardSim::truncateResponse(size_t length) {
    std::lock_guard lock(impl_->mutex);
    impl_->truncateTo = std::max<size_t>(length, 1);
}

void CardSim::answerStatus(CommandMatch match, uint16_t sw, int times, bool unprotected) {
    std::lock_guard lock(impl_->mutex);
    impl_->statusFaults.push_back(StatusFault{match, sw, times, unprotected});
}

void CardSim::cutAnswer(CommandMatch match, size_t bytes) {
    std::lock_guard lock(impl_->mutex);
    impl_->answerCut = Impl::AnswerCut{match, bytes};
}

void CardSim::resetOnNextCommand(size_t after) {
    std::lock_guard lock(impl_->mutex);
    impl_->resetNext = true;
    impl_->eventAfter = after;
}

void CardSim::removeOnNextCommand(size_t after) {
    std::lock_guard lock(impl_->mutex);
    impl_->removeNext = true;
    impl_->eventAfter = after;
}

void CardSim::leadingZeroInNextEcdsa(SignatureHalf half) {
    std::lock_guard lock(impl_->mutex);
    impl_->zeroHalf = half;
}

void CardSim::setMaxReadSize(size_t size) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.maxReadSize = size;
}

void CardSim::setChainAbove(size_t size) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.chainAbove = size;
}

void CardSim::setEndlessChain(bool endless) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.endlessChain = endless;
}

void CardSim::faultAnswer(AnswerFault fault, size_t after) {
    std::lock_guard lock(impl_->mutex);
    impl_->answerFault = Impl::PendingAnswerFault{fault, after};
}

void CardSim::setFileSizeItem(uint16_t fid, Bytes value) {
    std::lock_guard lock(impl_->mutex);
    if (value.empty())
        impl_->sizeItems.erase(fid);
    else
        impl_->sizeItems[fid] = std::move(value);
}

Event CardSim::takeEvent() {
    std::lock_guard lock(impl_->mutex);
    const Event e = impl_->event;
    impl_->event = Event::None;
    return e;
}

Bytes CardSim::serialNumber() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->serial;
}

std::vector<Bytes> CardSim::sessionKeys() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->sessionKeys;
}

namespace {
PinInfo pinInfo(const Pin& p) {
    return PinInfo{p.reference, p.label, p.value.str(), p.tries, p.maxTries, p.verified, p.active()};
}
}  // namespace

std::optional<PinInfo> CardSim::pin(uint8_t reference) const {
    std::lock_guard lock(impl_->mutex);
    for (const Pin& p : impl_->pins)
        if ((p.reference & 0x7F) == (reference & 0x7F)) return pinInfo(p);
    return std::nullopt;
}

std::vector<PinInfo> CardSim::pins() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<PinInfo> out;
    for (const Pin& p : impl_->pins) out.push_back(pinInfo(p));
    return out;
}

std::optional<Bytes> CardSim::file(const Bytes& path) const {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->mf || path.size() % 2) return std::nullopt;
    const Node* n = impl_->mf.get();
    for (size_t i = 0; i < path.size(); i += 2) {
        n = n->child(fidOf(path, i));
        if (!n) return std::nullopt;
    }
    if (n->isDf) return std::nullopt;
    return n->content;
}

namespace {
const Key* findKeyAnywhere(const Node* n, uint8_t reference) {
    for (const Key& k : n->keys)
        if (k.reference == (reference & 0x7F) && k.pkey) return &k;
    for (const auto& c : n->children)
        if (const Key* k = findKeyAnywhere(c.get(), reference)) return k;
    return nullptr;
}
}  // namespace

std::optional<Bytes> CardSim::publicKey(uint8_t reference) const {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->mf) return std::nullopt;
    const Key* k = findKeyAnywhere(impl_->mf.get(), reference);
    if (!k || !k->pkey) return std::nullopt;
    const int len = i2d_PUBKEY(k->pkey.get(), nullptr);
    if (len <= 0) return std::nullopt;
    Bytes out(static_cast<size_t>(len));
    uint8_t* p = out.data();
    if (i2d_PUBKEY(k->pkey.get(), &p) != len) return std::nullopt;
    return out;
}

namespace {
std::string keyLine(const Bytes& path, const Key& key) {
    std::string line = toHex(path) + " " + toHex(Bytes{key.reference}) + (key.isPrivate ? " private" : " public") +
                       (key.kind == KeyKind::Rsa ? " RSA " : " EC ") + std::to_string(key.bits) + " curve " +
                       std::to_string(key.curve);
    if (key.pkey) {
        const int len = i2d_PUBKEY(key.pkey.get(), nullptr);
        Bytes der(static_cast<size_t>(std::max(len, 0)));
        uint8_t* p = der.data();
        if (len > 0 && i2d_PUBKEY(key.pkey.get(), &p) == len) line += " " + toHex(der);
    }
    return line;
}

void collect(const Node* node, const Bytes& path, CardImage& image) {
    for (const Key& key : node->keys) image.keys.push_back(keyLine(path, key));
    for (const auto& child : node->children) {
        Bytes childPath = path;
        childPath.push_back(static_cast<uint8_t>(child->fid >> 8));
        childPath.push_back(static_cast<uint8_t>(child->fid));
        if (child->isDf) {
            image.directories[childPath] = child->active;
            collect(child.get(), childPath, image);
        } else {
            image.files[childPath] = child->content;
        }
    }
}

template <typename Map>
void compareMaps(const char* what, const Map& before, const Map& after, std::vector<std::string>& out) {
    for (const auto& [path, value] : before) {
        auto found = after.find(path);
        if (found == after.end())
            out.push_back(std::string(what) + " " + toHex(path) + " gone");
        else if (found->second != value)
            out.push_back(std::string(what) + " " + toHex(path) + " changed");
    }
    for (const auto& [path, value] : after)
        if (before.find(path) == before.end()) out.push_back(std::string(what) + " " + toHex(path) + " new");
}

void compareLines(const char* what, const std::vector<std::string>& before, const std::vector<std::string>& after,
                  std::vector<std::string>& out) {
    for (const std::string& line : before)
        if (std::find(after.begin(), after.end(), line) == after.end())
            out.push_back(std::string(what) + " gone: " + line.substr(0, 80));
    for (const std::string& line : after)
        if (std::find(before.begin(), before.end(), line) == before.end())
            out.push_back(std::string(what) + " new: " + line.substr(0, 80));
}
}  // namespace

CardImage CardSim::image() const {
    std::lock_guard lock(impl_->mutex);
    CardImage image;
    if (impl_->mf) collect(impl_->mf.get(), {}, image);
    for (const Pin& pin : impl_->pins) {
        // The value shows as its digest: an image is compared and printed, never a PIN.
        uint8_t digest[32];
        unsigned int length = 0;
        EVP_Digest(pin.value.str().data(), pin.value.str().size(), digest, &length, EVP_sha256(), nullptr);
        image.pins.push_back(toHex(Bytes{pin.reference}) + " value " + toHex(Bytes(digest, digest + 8)) + " tries " +
                             std::to_string(pin.tries));
    }
    return image;
}

std::vector<std::string> differences(const CardImage& before, const CardImage& after) {
    std::vector<std::string> out;
    compareMaps("file", before.files, after.files, out);
    compareMaps("directory", before.directories, after.directories, out);
    compareLines("key", before.keys, after.keys, out);
    compareLines("PIN", before.pins, after.pins, out);
    return out;
}

// ---------------------------------------------------------------- transport

void CardSim::Impl::clearVolatile() {
    currentDf = mf.get();
    currentEf = nullptr;
    pace.reset();
    sm.reset();
    nextSm.reset();
    se = SecurityEnvironment{};
    chain = PendingChain{};
    for (Pin& p : pins) {
        p.verified = false;
        p.pendingInit = false;
        p.unblocked = false;
    }
}

Bytes CardSim::Impl::handle(const Bytes& wire, LogEntry& entry) {
    Apdu outer;
    const bool wellFormed = parseApdu(wire, outer);
    auto plainError = [&](uint16_t sw) {
        // An unprotected answer ends the secure-messaging session (both sides lose the counter).
        dropSecureMessaging();
        chain = PendingChain{};
        entry.plainResponse = withSw({}, sw);
        return entry.plainResponse;
    };
    if (!wellFormed) return plainError(0x6700);
    if (config.maxCommandSize && wire.size() > config.maxCommandSize) return plainError(0x6700);
    if (outer.extended && !traits.extendedLength) return plainError(0x6700);
    if (outer.data.size() > traits.maxCommandData) return plainError(0x6700);
    // ChipDoc also takes the proprietary class 80 (8C protected) for its key commands.
    const bool proprietaryClass = traits.chipdoc && (outer.cla & 0xE0) == 0x80;
    if ((outer.cla & 0xE0) != 0 && !proprietaryClass) return plainError(0x6E00);

    const bool secure = (outer.cla & 0x0C) == 0x0C;
    if (!secure && outer.ins == 0xC0) {
        // GET RESPONSE is never protected; it fetches the rest of a (possibly protected) answer.
        Response r = getResponse(outer);
        entry.plainResponse = withSw(r.data, r.sw);
        return entry.plainResponse;
    }
    chain = PendingChain{};

    Apdu plain;
    if (secure) {
        if (!sm) return plainError(0x6988);
        switch (unwrap(outer, plain)) {
            case SmError::None:
                break;
            case SmError::Missing:
                return plainError(0x6987);
            case SmError::Mac:
                return plainError(0x6988);
        }
        entry.secure = true;
        entry.plainCommand = encodeApdu(plain);
    } else {
        dropSecureMessaging();  // a plain command ends the secure-messaging session
        plain = outer;
    }

    Response r;
    bool faulted = false;
    for (auto it = statusFaults.begin(); it != statusFaults.end(); ++it) {
        if (it->times > 0 && matches(it->match, plain, secure)) {
            r = Response::status(it->sw);
            faulted = true;
            if (it->unprotected) {
                --it->times;
                if (it->times <= 0) statusFaults.erase(it);
                return plainError(r.sw);
            }
            if (--it->times <= 0) statusFaults.erase(it);
            break;
        }
    }
    if (!faulted) r = dispatch(plain, secure);
    if (answerCut && matches(answerCut->match, plain, secure)) {
        r.data.resize(r.data.size() - std::min(answerCut->bytes, r.data.size()));
        answerCut.reset();
    }
    entry.plainResponse = withSw(r.data, r.sw);

    Bytes body = secure && sm ? wrap(r, plain.ins) : entry.plainResponse;
    if (nextSm) sm = std::move(nextSm);  // a channel opened by this command takes over after its answer

    // Answers longer than the command allows (or than the card's buffer) are chained: the
    // first part ends in 61 xx and GET RESPONSE fetches the rest.
    const size_t dataLength = body.size() - 2;
    size_t limit = traits.maxResponseData;
    if (config.chainAbove) limit = std::min(limit, config.chainAbove);
    if (outer.hasLe) limit = std::min(limit, outer.ne);
    if (config.endlessChain) {
        chain.active = true;
        body.resize(std::min(dataLength, limit));
        return withSw(std::move(body), 0x6101);
    }
    if (dataLength > limit) {
        chain.active = true;
        chain.sw = static_cast<uint16_t>(body[body.size() - 2] << 8 | body[body.size() - 1]);
        chain.data.assign(body.begin() + static_cast<long>(limit), body.end() - 2);
        Bytes first(body.begin(), body.begin() + static_cast<long>(limit));
        const size_t rest = chain.data.size();
        return withSw(std::move(first), static_cast<uint16_t>(0x6100 | (rest > 255 ? 0 : rest)));
    }
    return body;
}

Response CardSim::Impl::getResponse(const Apdu& a) {
    if (!chain.active) return Response::status(0x6985);
    if (a.p1 != 0 || a.p2 != 0) return Response::status(0x6A86);
    if (config.endlessChain) return Response{{0x00}, 0x6101};  // one more byte, and one more to come
    size_t n = a.hasLe ? a.ne : 256;
    n = std::min({n, chain.data.size(), traits.maxResponseData});
    if (config.chainAbove) n = std::min(n, config.chainAbove);
    Response r;
    r.data.assign(chain.data.begin(), chain.data.begin() + static_cast<long>(n));
    chain.data.erase(chain.data.begin(), chain.data.begin() + static_cast<long>(n));
    if (chain.data.empty()) {
        r.sw = chain.sw;
        chain = PendingChain{};
    } else {
        const size_t rest = chain.data.size();
        r.sw = static_cast<uint16_t>(0x6100 | (rest > 255 ? 0 : rest));
    }
    return r;
}

Response CardSim::Impl::dispatch(const Apdu& a, bool secure) {
    if ((a.cla & 0x10) && a.ins != 0x86) return Response::status(0x6884);  // chaining only inside PACE
    if (std::optional<Response> r = keyCommand(a, secure)) return *r;
    switch (a.ins) {
        case 0xA4:
            return select(a);
        case 0xB0:
            return readBinary(a, secure);
        case 0xD6:
            return updateBinary(a, secure);
        case 0x20:
            return verify(a, secure);
        case 0x24:
            return changeReferenceData(a, secure);
        case 0x2C:
            return resetRetryCounter(a, secure);
        case 0x44:
            return activate(a, secure);
        case 0xDA:
            return putData(a, secure);
        case 0xCA:
        case 0xCB:
            return getData(a);
        case 0x22:
            if (a.p1 == 0xC1 && a.p2 == 0xA4) return mseSetAt(a);
            return mseSetSignature(a, secure);
        case 0x86:
            return generalAuthenticate(a);
        case 0x2A:
            return computeSignature(a, secure);
        default:
            return Response::status(0x6D00);
    }
}

// ---------------------------------------------------------------- files

Node* CardSim::Impl::currentApplication() const {
    for (Node* n = currentDf; n; n = n->parent)
        if (!n->aid.empty()) return n;
    return nullptr;
}

Response CardSim::Impl::select(const Apdu& a) {
    const uint8_t p2 = a.p2;
    if ((p2 & 0xF3) != 0) return Response::status(0x6A86);  // only the first occurrence
    Node* target = nullptr;
    const Bytes& d = a.data;
    Node* base = currentDf ? currentDf : mf.get();
    switch (a.p1) {
        case 0x00:
            if (d.empty() || (d.size() == 2 && fidOf(d, 0) == 0x3F00)) {
                target = mf.get();
            } else if (d.size() == 2) {
                const uint16_t id = fidOf(d, 0);
                target = base->child(id);
                if (!target && base->parent) {
                    if (base->parent->fid == id)
                        target = base->parent;
                    else
                        target = base->parent->child(id);
                }
            } else {
                return Response::status(0x6A80);
            }
            break;
        case 0x01:
            if (d.size() != 2) return Response::status(0x6A80);
            target = base->child(fidOf(d, 0));
            if (target && !target->isDf) target = nullptr;
            break;
        case 0x02:
            if (d.size() != 2) return Response::status(0x6A80);
            target = base->child(fidOf(d, 0));
            // ChipDoc 3.0 selects its PIN directories ADFx by identifier alone, as it does EFs.
            if (target && target->isDf && !traits.efSelectFindsDf) target = nullptr;
            break;
        case 0x03:
            if (!d.empty()) return Response::status(0x6A80);
            target = base->parent ? base->parent : base;
            break;
        case 0x04:
            if (d.empty() || d.size() > 16) return Response::status(0x6A80);
            target = findByAid(mf.get(), d);
            break;
        case 0x08:
        case 0x09: {
            if (d.empty() || d.size() % 2) return Response::status(0x6A80);
            target = a.p1 == 0x08 ? mf.get() : base;
            size_t i = 0;
            if (a.p1 == 0x08 && fidOf(d, 0) == 0x3F00) i = 2;
            for (; target && i < d.size(); i += 2) target = target->child(fidOf(d, i));
            break;
        }
        default:
            return Response::status(0x6A86);
    }
    if (!target) return Response::status(0x6A82);
    if (target->isDf) {
        currentDf = target;
        currentEf = nullptr;
    } else {
        currentDf = target->parent;
        currentEf = target;
    }
    Response r;
    // A deactivated file (or one below a deactivated DF) is selected, without its control
    // information: the answer is the bare warning.
    if (!target->ancestorsActive()) return Response::status(0x6283);
    r.sw = kOk;
    if (a.hasLe) {
        if (p2 == 0x00)
            r.data = fileControl(target, 0x6F, sizeItems);
        else if (p2 == 0x04)
            r.data = fileControl(target, 0x62, sizeItems);
        else if (p2 == 0x08)
            r.data = tlv(0x64, {});
    }
    return r;
}

namespace {
// Short EF identifiers of the files that ISO and ICAO give one (low five bits of 01xx).
Node* bySfi(Node* df, uint8_t sfi) {
    for (auto& c : df->children)
        if (!c->isDf && (c->fid & 0xFF00) == 0x0100 && (c->fid & 0x1F) == sfi) return c.get();
    return nullptr;
}

// The EF a READ or UPDATE BINARY addresses (by short file identifier when P1 has bit 8, else the
// current EF) and the offset into it; 0, or the status word when there is no such EF.
uint16_t binaryTarget(const Apdu& a, Node* df, Node* current, Node*& ef, size_t& offset) {
    ef = current;
    if (a.p1 & 0x80) {
        ef = bySfi(df, a.p1 & 0x1F);
        if (!ef) return 0x6A82;
        offset = a.p2;
    } else {
        offset = (size_t{a.p1} << 8) | a.p2;
    }
    return ef ? 0 : 0x6986;
}
}  // namespace

Response CardSim::Impl::readBinary(const Apdu& a, bool secure) {
    Node* ef = nullptr;
    size_t offset = 0;
    if (const uint16_t sw = binaryTarget(a, currentDf ? currentDf : mf.get(), currentEf, ef, offset))
        return Response::status(sw);
    if (requireSm && !secure && !ef->plainRead) return Response::status(0x6982);
    if (!a.hasLe) return Response::status(0x6700);
    if (config.maxReadSize && a.ne > config.maxReadSize) return Response::status(0x6700);
    if (a.p1 & 0x80) {
        currentEf = ef;
        currentDf = ef->parent;
    }
    const size_t size = ef->content.size();
    if (offset > size) return Response::status(0x6B00);
    const size_t n = std::min(a.ne, size - offset);
    Response r;
    r.data.assign(ef->content.begin() + static_cast<long>(offset), ef->content.begin() + static_cast<long>(offset + n));
    r.sw = n < a.ne ? 0x6282 : kOk;
    return r;
}

Response CardSim::Impl::updateBinary(const Apdu& a, bool secure) {
    Node* ef = nullptr;
    size_t offset = 0;
    if (const uint16_t sw = binaryTarget(a, currentDf ? currentDf : mf.get(), currentEf, ef, offset))
        return Response::status(sw);
    if ((requireSm && !secure) || ef->readOnly) return Response::status(0x6982);
    if (a.data.empty()) return Response::status(0x6700);
    const size_t size = ef->content.size();
    if (offset > size) return Response::status(0x6B00);
    size_t n = a.data.size();
    uint16_t sw = kOk;
    if (offset + n > size) {
        if (!traits.chipdoc) return Response::status(0x6A84);
        n = size - offset;  // ChipDoc writes what fits and says so
        sw = 0x6381;
    }
    std::copy(a.data.begin(), a.data.begin() + static_cast<long>(n), ef->content.begin() + static_cast<long>(offset));
    return Response::status(sw);
}

// ---------------------------------------------------------------- PINs

Pin* CardSim::Impl::findPin(uint8_t reference) {
    const uint8_t ref = reference & 0x7F;
    const Node* app = currentApplication();
    for (Pin& p : pins)
        if ((p.reference & 0x7F) == ref && p.application == app) return &p;
    // A specific reference (b8 1) names a PIN of the current application only; a global one is
    // found from anywhere.
    if (reference & 0x80) return nullptr;
    for (Pin& p : pins)
        if ((p.reference & 0x7F) == ref) return &p;
    return nullptr;
}

Response CardSim::Impl::wrongPin(Pin& pin) {
    pin.verified = false;
    if (pin.tries > 0) --pin.tries;
    return Response::status(static_cast<uint16_t>(0x63C0 | pin.tries));
}

Response CardSim::Impl::verify(const Apdu& a, bool secure) {
    if (a.p1 == 0xFF) {  // logout: reset the verification status
        Pin* pin = findPin(a.p2);
        if (!pin) return Response::status(0x6A88);
        if (!a.data.empty()) return Response::status(0x6A80);
        pin->verified = false;
        return Response::status(kOk);
    }
    if (a.p1 != 0x00) return Response::status(0x6A86);
    Pin* pin = findPin(a.p2);
    if (!pin) return Response::status(0x6A88);
    if (requireSm && !secure) return Response::status(0x6982);
    if (!pin->active()) return Response::status(0x6283);
    if (pin->blocked()) return Response::status(0x6983);
    if (a.data.empty()) {
        if (pin->verified) return Response::status(kOk);
        return Response::status(static_cast<uint16_t>(0x63C0 | pin->tries));
    }
    if (!pin->value.equals(a.data.data(), a.data.size())) return wrongPin(*pin);
    pin->tries = pin->maxTries;
    pin->verified = true;
    return Response::status(kOk);
}

Response CardSim::Impl::changeReferenceData(const Apdu& a, bool secure) {
    if (a.p1 > 0x01) return Response::status(0x6A86);
    Pin* pin = findPin(a.p2);
    if (!pin) return Response::status(0x6A88);
    if (requireSm && !secure) return Response::status(0x6982);
    if (!pin->active()) return Response::status(0x6283);
    if (pin->blocked()) return Response::status(0x6983);
    const uint8_t* fresh = a.data.data();
    size_t freshLength = a.data.size();
    if (a.p1 == 0x00) {  // old || new: the card knows the old value's length
        const size_t oldLength = pin->value.str().size();
        if (a.data.size() <= oldLength) return Response::status(0x6A80);
        if (!pin->value.equals(a.data.data(), oldLength)) return wrongPin(*pin);
        fresh += oldLength;
        freshLength -= oldLength;
    } else if (!pin->verified && !pin->pendingInit && !pin->unblocked) {
        return Response::status(0x6982);
    }
    if (freshLength < pin->minLength || freshLength > pin->maxLength) return Response::status(0x6A80);
    pin->value.assign(fresh, freshLength);
    pin->tries = pin->maxTries;
    pin->pendingInit = false;
    pin->unblocked = false;
    return Response::status(kOk);
}

Response CardSim::Impl::resetRetryCounter(const Apdu& a, bool secure) {
    if (a.p1 > 0x03) return Response::status(0x6A86);
    Pin* pin = findPin(a.p2);
    if (!pin) return Response::status(0x6A88);
    if (requireSm && !secure) return Response::status(0x6982);
    if (!pin->active()) return Response::status(0x6283);
    Pin* puk = pin->parent ? findPin(pin->parent) : nullptr;
    const uint8_t* fresh = a.data.data();
    size_t freshLength = a.data.size();
    if (a.p1 <= 0x01) {  // the resetting code comes first in the data
        if (!puk) return Response::status(0x6985);
        if (puk->blocked()) return Response::status(0x6983);
        const size_t codeLength = puk->value.str().size();
        if (a.data.size() < codeLength || (a.p1 == 0x01 && a.data.size() != codeLength))
            return Response::status(0x6A80);
        if (!puk->value.equals(a.data.data(), codeLength)) return wrongPin(*puk);
        puk->tries = puk->maxTries;
        fresh += codeLength;
        freshLength -= codeLength;
    } else {
        const bool authorised = pin->pendingInit || (puk && puk->verified);
        if (!authorised) return Response::status(0x6982);
        if (a.p1 == 0x03 && !a.data.empty()) return Response::status(0x6A80);
    }
    if (a.p1 == 0x00 || a.p1 == 0x02) {
        if (freshLength < pin->minLength || freshLength > pin->maxLength) return Response::status(0x6A80);
        pin->value.assign(fresh, freshLength);
        pin->pendingInit = false;
        pin->unblocked = false;
    } else {
        pin->unblocked = true;  // reset without a value: the next CHANGE (P1 01) may set one
    }
    pin->tries = pin->maxTries;
    return Response::status(kOk);
}

Response CardSim::Impl::activate(const Apdu& a, bool secure) {
    if (a.p1 != 0x00 || a.p2 != 0x00) return Response::status(0x6A86);
    if (requireSm && !secure) return Response::status(0x6982);
    Node* target = currentDf;
    if (a.data.size() == 2) {
        // A child of the current DF, or the current DF itself (ChipDoc 3.0 names the PIN
        // directory it has just selected).
        const uint16_t id = fidOf(a.data, 0);
        target = currentDf ? currentDf->child(id) : nullptr;
        if (!target && currentDf && currentDf->fid == id) target = currentDf;
    } else if (!a.data.empty()) {
        return Response::status(0x6A80);
    }
    if (!target) return Response::status(0x6A82);
    if (!target->active) {
        target->active = true;
        for (Pin& p : pins) {
            if (p.directory == target) {
                p.tries = p.maxTries;
                p.pendingInit = true;
            }
        }
    }
    return Response::status(kOk);
}

Response CardSim::Impl::putData(const Apdu& a, bool secure) {
    // ChipDoc 3.0 logout: a 16-bit mask, bit r-1 for PIN reference r.
    if (a.p1 != 0x01 || a.p2 != 0x19) return Response::status(0x6A88);
    if (requireSm && !secure) return Response::status(0x6982);
    if (a.data.size() != 2) return Response::status(0x6A80);
    const unsigned mask = static_cast<unsigned>(a.data[0] << 8 | a.data[1]);
    for (Pin& p : pins) {
        const unsigned ref = p.reference & 0x7F;
        if (ref >= 1 && ref <= 16 && (mask & (1u << (ref - 1)))) p.verified = false;
    }
    return Response::status(kOk);
}

Response CardSim::Impl::getData(const Apdu& a) {
    if (a.ins == 0xCB && a.p1 == 0x7F && a.p2 == 0xFF && a.data.empty()) {
        Response r;
        r.data = serial;
        if (a.hasLe && a.ne < r.data.size()) return Response::status(static_cast<uint16_t>(0x6C00 | r.data.size()));
        return r;
    }
    return Response::status(0x6A88);
}

}  // namespace cardsim
