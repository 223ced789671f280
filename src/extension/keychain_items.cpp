#include "extension/keychain_items.h"

#include <map>

#include "Data/Container/container.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/privkeyobject.h"
#include "extension/categories.h"
#include "extension/utils.h"
#include "platform/printable.h"
#include "platform/system_log.h"

namespace {

// Key usage bits that allow each operation of a key item.
constexpr uint64_t kSignUsage = GC_PrivKeyObject::USAGE_SIGN | GC_PrivKeyObject::USAGE_NON_REPUDIATION;
constexpr uint64_t kDecryptUsage = GC_PrivKeyObject::USAGE_ENCRYPT | GC_PrivKeyObject::USAGE_WRAP;
constexpr uint64_t kKeyExchangeUsage = GC_PrivKeyObject::USAGE_DERIVE;

}  // namespace

void KeychainItemsBuilder::readContainer(const std::vector<std::shared_ptr<GC_Container>>& containers, int index) {
    plat::systemLog("readContainer | %i", index);
    if (index < 0 || static_cast<size_t>(index) >= containers.size() || !containers[index]) return;
    GC_Container& container = *containers[index];

    auto* key = static_cast<GC_PrivKeyObject*>(container.getPrivateKey());
    if (key == nullptr) {
        plat::systemLog("readContainer | Private key not exist");
        return;
    }
    const int constraintValue = index + 1;

    std::vector<GC_Object*> certificates;
    container.getCerts(certificates);
    for (size_t n = 0; n < certificates.size(); ++n) {
        auto* object = static_cast<GC_CertObject*>(certificates[n]);
        const int number = static_cast<int>(n) + 1;
        std::vector<unsigned char> der;
        object->getCert(der);
        std::shared_ptr<const sec::Certificate> certificate = sec::Certificate::createWithData(der);
        if (!certificate) {
            plat::systemLog("cert #%i has invalid id, certificate size is %zu", number,
                            static_cast<size_t>(object->derLength));
            continue;
        }
        std::shared_ptr<ctk::KeychainCertificate> certificateItem = createCert(object->label, object->ID, certificate);
        if (!certificateItem) {
            plat::systemLog("cert #%i to TKTokenKeychainCertificate conversion failed", number);
            continue;
        }
        // A key item is made for every certificate, so each one takes a suffix of the key's
        // identifier; only the one bound to the first certificate is published.
        std::shared_ptr<ctk::KeychainKey> keyItem =
            createKey(constraintValue, certificate, key->label, key->ID, (key->usage & kSignUsage) != 0,
                      (key->usage & kDecryptUsage) != 0, (key->usage & kKeyExchangeUsage) != 0);
        if (n == 0) {
            if (!keyItem) {
                plat::systemLog("keyItem is nullptr");
                continue;
            }
            plat::systemLog("add key, id:%s", toHex(keyItem->objectID()).c_str());
            items_.push_back(keyItem);
        }
        plat::systemLog("add crt, id:%s", toHex(certificateItem->objectID()).c_str());
        items_.push_back(certificateItem);
    }
}

std::shared_ptr<ctk::KeychainKey> KeychainItemsBuilder::createKey(
    int constraintValue, const std::shared_ptr<const sec::Certificate>& certificate, const std::string& label,
    const ctk::ObjectID& keyId, bool sign, bool decrypt, bool keyExchange) {
    ctk::ObjectID objectID = Utils::guidAddSuffix(keyId, usedGuids_);
    std::shared_ptr<ctk::KeychainKey> item = ctk::KeychainKey::create(certificate, objectID);
    if (!item) {
        plat::systemLog("Token:checkCan | Error create struct CTK key chain certificate %s",
                        plat::printable(label).c_str());
        return nullptr;
    }
    usedGuids_.push_back(std::move(objectID));
    setName(*item, label);
    item->setSuitableForLogin(false);
    item->setCanSign(sign);
    item->setCanDecrypt(decrypt);
    item->setCanPerformKeyExchange(keyExchange);

    // The constraint names the container (its index + 1) for the PIN operation; a key without
    // an identifier cannot be found again and gets the plain "allowed".
    const ctk::Constraint constraint = keyId.empty()
                                           ? ctk::Constraint{true}
                                           : ctk::Constraint{ctk::Bytes{static_cast<unsigned char>(constraintValue)}};
    std::map<ctk::TokenOperation, ctk::Constraint> constraints;
    if (sign) constraints.emplace(ctk::TokenOperation::SignData, constraint);
    if (decrypt) constraints.emplace(ctk::TokenOperation::DecryptData, constraint);
    if (keyExchange) constraints.emplace(ctk::TokenOperation::PerformKeyExchange, constraint);
    item->setConstraints(std::move(constraints));
    return item;
}

std::shared_ptr<ctk::KeychainCertificate> KeychainItemsBuilder::createCert(
    const std::string& label, const ctk::ObjectID& certId, const std::shared_ptr<const sec::Certificate>& certificate) {
    ctk::ObjectID objectID = Utils::guidAddSuffix(certId, usedGuids_);
    std::shared_ptr<ctk::KeychainCertificate> item = ctk::KeychainCertificate::create(certificate, objectID);
    if (!item) {
        plat::systemLog("Token:checkCan | Error create struct CTK certificate %s", plat::printable(label).c_str());
        return nullptr;
    }
    usedGuids_.push_back(std::move(objectID));
    setName(*item, label);
    return item;
}
