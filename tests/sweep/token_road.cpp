#include "token_road.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <future>

#include "driver_world.h"
#include "platform/ctk_token_signer.h"
#include "platform/dispatch.h"

namespace sweep {

using sec::KeyAlgorithm;

const std::vector<Generation>& generations() {
    static const std::vector<Generation> all = {
        {"Varnel 1.0",
         cardsim::Personality::Varnel1,
         {{"Authentication key", "111111", KeyAlgorithm::ECDSASignatureDigestX962},
          {"Presence key", "222222", KeyAlgorithm::ECDSASignatureDigestX962},
          {"Qualified key", "333333", KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256}}},
        {"Varnel 2.0",
         cardsim::Personality::Varnel2,
         {{"Authentication key", "111111", KeyAlgorithm::ECDSASignatureDigestX962},
          {"Authorization key", "222222", KeyAlgorithm::ECDSASignatureDigestX962},
          {"Qualified key", "333333", KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256}}},
    };
    return all;
}

bool verifies(const Bytes& certificate, const Bytes& digest, const Bytes& signature) {
    const unsigned char* p = certificate.data();
    std::unique_ptr<X509, decltype(&X509_free)> x509(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())),
                                                     X509_free);
    if (!x509) return false;
    EVP_PKEY* key = X509_get0_pubkey(x509.get());
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) return false;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
                                                      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) <= 0))
        return false;
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

namespace {

Bytes sha256(const std::string& text) {
    Bytes digest(32);
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

}  // namespace

TokenHost::TokenHost(std::shared_ptr<plat::NotificationCenter> companionSide)
    : slots_(std::make_shared<ctk::mem::SlotManager>()),
      client_(std::move(companionSide), "App"),
      driver_(std::make_shared<TokenDriver>()) {
    ctk::SlotManager::setDefaultManager(slots_);
}

TokenHost::~TokenHost() {
    plat::Dispatch::waitIdle();
    driver_.reset();
    ctk::SlotManager::resetDefaultManager();
}

std::string TokenHost::checkCan(const std::string& reader, const std::string& can, std::chrono::seconds limit) {
    if (!client_.checkCan(reader, can)) return "(not sent)";
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::vector<companion::Message> messages =
            client_.waitForMessages(messagesSeen_ + 1, std::chrono::milliseconds(200));
        for (; messagesSeen_ < messages.size(); ++messagesSeen_) {
            const auto result = messages[messagesSeen_].find("canResult");
            if (result != messages[messagesSeen_].end()) {
                ++messagesSeen_;
                return result->second;
            }
        }
    }
    return "(no answer)";
}

RoadCard::RoadCard(TokenHost& host, const Generation& generation, const std::string& slot, cardsim::CardConfig config)
    : host_(host), generation_(generation), slotName_(slot), can_(config.can), card_([&] {
          config.personality = generation.personality;
          return config;
      }()) {
    slotCard_ = std::make_shared<SlotCard>(card_, host_.slots(), slotName_);
    slotCard_->insert();
    // Reader objects live as long as the process: each card starts from one that learned nothing.
    forgetLearnedSize(slotName_);
    makeToken();
}

RoadCard::~RoadCard() {
    plat::Dispatch::waitIdle();
    token_.reset();
    slotCard_->discard();
}

void RoadCard::makeToken() {
    std::promise<std::shared_ptr<ctk::Slot>> found;
    host_.slots()->getSlotWithName(slotName_, [&](std::shared_ptr<ctk::Slot> slot) { found.set_value(slot); });
    std::shared_ptr<ctk::Slot> slot = found.get_future().get();
    std::shared_ptr<ctk::SmartCard> smartCard = slot ? slot->makeSmartCard() : nullptr;
    token_ = smartCard
                 ? std::static_pointer_cast<Token>(host_.driver()->createTokenForSmartCard(smartCard, {}, nullptr))
                 : nullptr;
}

void RoadCard::reinsert() {
    plat::Dispatch::waitIdle();
    slotCard_->pull();
    slotCard_->insert();
    makeToken();
}

RoadWorld::RoadWorld(const Generation& generation)
    : host_(link_.companionSide), card_(host_, generation, "Sweep Reader") {}

std::vector<Item> RoadCard::items() const {
    std::vector<Item> out;
    if (!token_) return out;
    for (const auto& item : token_->keychainContents().items()) {
        Item view;
        view.label = item->label().value_or("");
        view.objectID = item->objectID();
        if (auto key = std::dynamic_pointer_cast<ctk::KeychainKey>(item)) {
            view.kind = "key";
            view.certificate = key->certificate()->data();
        } else if (auto certificate = std::dynamic_pointer_cast<ctk::KeychainCertificate>(item)) {
            view.kind = "certificate";
            view.certificate = certificate->data();
        }
        out.push_back(std::move(view));
    }
    std::sort(out.begin(), out.end());
    return out;
}

RoadResult RoadCard::road() {
    RoadResult result;
    result.canResult = host_.checkCan(slotName_, can_);
    result.items = items();
    if (result.canResult == "SUCCESS") sign(result);
    return result;
}

void RoadCard::sign(RoadResult& result) {
    ctk::TokenSigner signer(token_);
    for (const RoadKey& key : generation_.keys) {
        std::shared_ptr<ctk::KeychainKey> item;
        for (const auto& candidate : token_->keychainContents().items()) {
            auto asKey = std::dynamic_pointer_cast<ctk::KeychainKey>(candidate);
            if (asKey && candidate->label().value_or("").rfind(key.label, 0) == 0) item = asKey;
        }
        if (!item) continue;  // a key the read left out: the items tell
        const Bytes digest = sha256(std::string("signed by the ") + key.label + " of " + generation_.name);
        ctk::SignOutcome outcome = signer.sign(item->objectID(), key.algorithm, digest,
                                               [&key](ctk::TokenSmartCardPINAuthOperation& operation) {
                                                   operation.setPIN(key.pin);
                                                   return true;
                                               });
        if (!outcome.signature) {
            ++result.refusals;
        } else if (verifies(item->certificate()->data(), digest, *outcome.signature)) {
            ++result.signatures;
        } else {
            result.wrong.push_back(std::string("signature of the ") + key.label + " does not verify");
        }
    }
}

}  // namespace sweep
