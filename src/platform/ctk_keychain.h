#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/ctk_error.h"
#include "platform/sec_certificate.h"

// What a token publishes to the keychain: key and certificate items, each with the object
// identifier the platform hands back to the token when the item is used, a label and, for keys,
// what the key can do and the constraint of each allowed operation.
namespace ctk {

using Bytes = std::vector<unsigned char>;
using ObjectID = Bytes;

// Operations on a token's objects.
enum class TokenOperation : long { None = 0, ReadData = 1, SignData = 2, DecryptData = 3, PerformKeyExchange = 4 };

// What an operation on a key needs: true (allowed as it is), or a value of the token's own that
// the platform hands back when it asks the token for the authentication the operation needs.
using Constraint = std::variant<bool, Bytes>;

// An item is configured by the token before it is published (KeychainContents::fillWithItems)
// and only read afterwards.
class KeychainItem {
public:
    virtual ~KeychainItem() = default;
    KeychainItem(const KeychainItem&) = delete;
    KeychainItem& operator=(const KeychainItem&) = delete;

    const ObjectID& objectID() const { return objectID_; }
    const std::optional<std::string>& label() const { return label_; }
    void setLabel(std::optional<std::string> label) { label_ = std::move(label); }
    // The constraint of each operation that has one.
    const std::map<TokenOperation, Constraint>& constraints() const { return constraints_; }
    void setConstraints(std::map<TokenOperation, Constraint> constraints) { constraints_ = std::move(constraints); }

protected:
    explicit KeychainItem(ObjectID objectID) : objectID_(std::move(objectID)) {}

private:
    ObjectID objectID_;
    std::optional<std::string> label_;
    std::map<TokenOperation, Constraint> constraints_;
};

class KeychainCertificate : public KeychainItem {
public:
    // Null without a certificate. The label starts as the certificate's subject summary (none
    // when that is empty).
    static std::shared_ptr<KeychainCertificate> create(std::shared_ptr<const sec::Certificate> certificate,
                                                       ObjectID objectID);

    const std::shared_ptr<const sec::Certificate>& certificate() const { return certificate_; }
    const Bytes& data() const { return certificate_->data(); }

private:
    KeychainCertificate(std::shared_ptr<const sec::Certificate> certificate, ObjectID objectID);
    std::shared_ptr<const sec::Certificate> certificate_;
};

// A private key on the token, described by the certificate of its public key.
class KeychainKey : public KeychainItem {
public:
    // Null without a certificate or when the certified key is neither RSA nor elliptic-curve.
    // The label starts as the certificate's subject summary (none when that is empty).
    static std::shared_ptr<KeychainKey> create(std::shared_ptr<const sec::Certificate> certificate, ObjectID objectID);

    const std::shared_ptr<const sec::Certificate>& certificate() const { return certificate_; }
    sec::KeyType keyType() const { return certificate_->keyType(); }
    int keySizeInBits() const { return certificate_->keySizeInBits(); }

    bool canSign() const { return canSign_; }
    void setCanSign(bool value) { canSign_ = value; }
    bool canDecrypt() const { return canDecrypt_; }
    void setCanDecrypt(bool value) { canDecrypt_ = value; }
    bool canPerformKeyExchange() const { return canPerformKeyExchange_; }
    void setCanPerformKeyExchange(bool value) { canPerformKeyExchange_ = value; }
    bool isSuitableForLogin() const { return suitableForLogin_; }
    void setSuitableForLogin(bool value) { suitableForLogin_ = value; }

private:
    KeychainKey(std::shared_ptr<const sec::Certificate> certificate, ObjectID objectID);
    std::shared_ptr<const sec::Certificate> certificate_;
    bool canSign_ = false;
    bool canDecrypt_ = false;
    bool canPerformKeyExchange_ = false;
    bool suitableForLogin_ = false;
};

// The items a token publishes; filled by the token on one thread, read by the platform on others.
class KeychainContents {
public:
    // Replaces every published item.
    void fillWithItems(std::vector<std::shared_ptr<KeychainItem>> items);
    std::vector<std::shared_ptr<KeychainItem>> items() const;
    // The published key or certificate with that identifier; null, with ObjectNotFound in the
    // error when it is given, when there is none.
    std::shared_ptr<KeychainKey> keyForObjectID(const ObjectID& objectID, std::optional<Error>* error) const;
    std::shared_ptr<KeychainCertificate> certificateForObjectID(const ObjectID& objectID,
                                                                std::optional<Error>* error) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<KeychainItem>> items_;
};

}  // namespace ctk
