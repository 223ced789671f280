#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ctk_keychain.h"

class GC_Container;

// Turns the containers of one read of the card into keychain items. For every container that
// holds a private key, each certificate becomes a certificate item, and one key item for the
// private key is bound to the container's first certificate. Every item's object identifier is
// the card object's identifier followed by one suffix byte, the first that no item of this read
// took yet.
class KeychainItemsBuilder {
public:
    // Appends the items of containers[index]; the key item's constraint is index + 1.
    void readContainer(const std::vector<std::shared_ptr<GC_Container>>& containers, int index);

    std::vector<std::shared_ptr<ctk::KeychainItem>>& items() { return items_; }

private:
    std::shared_ptr<ctk::KeychainKey> createKey(int constraintValue,
                                                const std::shared_ptr<const sec::Certificate>& certificate,
                                                const std::string& label, const ctk::ObjectID& keyId, bool sign,
                                                bool decrypt, bool keyExchange);
    std::shared_ptr<ctk::KeychainCertificate> createCert(const std::string& label, const ctk::ObjectID& certId,
                                                         const std::shared_ptr<const sec::Certificate>& certificate);

    // Object identifiers given to items so far, unpublished key items included.
    std::vector<ctk::ObjectID> usedGuids_;
    std::vector<std::shared_ptr<ctk::KeychainItem>> items_;
};
