#include "platform/ctk_keychain.h"

#include <utility>

namespace ctk {

namespace {

std::optional<std::string> summaryLabel(const sec::Certificate& certificate) {
    if (certificate.subjectSummary().empty()) return std::nullopt;
    return certificate.subjectSummary();
}

template <typename Item>
std::shared_ptr<Item> findItem(const std::vector<std::shared_ptr<KeychainItem>>& items, const ObjectID& objectID,
                               std::optional<Error>* error) {
    for (const auto& item : items) {
        if (item->objectID() != objectID) continue;
        if (auto typed = std::dynamic_pointer_cast<Item>(item)) return typed;
    }
    if (error != nullptr) *error = Error{error::kObjectNotFound, "no such item"};
    return nullptr;
}

}  // namespace

KeychainCertificate::KeychainCertificate(std::shared_ptr<const sec::Certificate> certificate, ObjectID objectID)
    : KeychainItem(std::move(objectID)), certificate_(std::move(certificate)) {
    setLabel(summaryLabel(*certificate_));
}

std::shared_ptr<KeychainCertificate> KeychainCertificate::create(std::shared_ptr<const sec::Certificate> certificate,
                                                                 ObjectID objectID) {
    if (!certificate) return nullptr;
    return std::shared_ptr<KeychainCertificate>(new KeychainCertificate(std::move(certificate), std::move(objectID)));
}

KeychainKey::KeychainKey(std::shared_ptr<const sec::Certificate> certificate, ObjectID objectID)
    : KeychainItem(std::move(objectID)), certificate_(std::move(certificate)) {
    setLabel(summaryLabel(*certificate_));
}

std::shared_ptr<KeychainKey> KeychainKey::create(std::shared_ptr<const sec::Certificate> certificate,
                                                 ObjectID objectID) {
    if (!certificate || certificate->keyType() == sec::KeyType::Other) return nullptr;
    return std::shared_ptr<KeychainKey>(new KeychainKey(std::move(certificate), std::move(objectID)));
}

void KeychainContents::fillWithItems(std::vector<std::shared_ptr<KeychainItem>> items) {
    std::erase(items, nullptr);
    std::lock_guard lock(mutex_);
    items_ = std::move(items);
}

std::vector<std::shared_ptr<KeychainItem>> KeychainContents::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

std::shared_ptr<KeychainKey> KeychainContents::keyForObjectID(const ObjectID& objectID,
                                                              std::optional<Error>* error) const {
    std::lock_guard lock(mutex_);
    return findItem<KeychainKey>(items_, objectID, error);
}

std::shared_ptr<KeychainCertificate> KeychainContents::certificateForObjectID(const ObjectID& objectID,
                                                                              std::optional<Error>* error) const {
    std::lock_guard lock(mutex_);
    return findItem<KeychainCertificate>(items_, objectID, error);
}

}  // namespace ctk
