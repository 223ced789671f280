// Keys of the first generation (Varnel 1.0, ChipDoc 2.0): each container's objects in the places
// its PIN label names, a key as a private and a public half under the container's PIN reference,
// generated in three commands and read back with a fourth, and the public key's answer as DER.
#include <algorithm>
#include <string>

#include "CardController/cardcontroller_varnel_1_0.h"
#include "CardController/publickey_der.h"
#include "Controller/controller.h"
#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "asn1.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/cardcontroller_varnel_1_0";
constexpr unsigned long kLogMask = gc_log::kCardController;
constexpr unsigned long kErrMask = gc_log::kCardController | gc_log::kError;

using namespace gc_cc;
using Bytes = std::vector<uint8_t>;

// The places of a container by the first word of this table that its PIN label holds.
struct PlaceRow {
    const char* word;
    Bytes keyDirectory;
    Bytes contentPath;
    Bytes objectDirectory;
};
const PlaceRow kPlaces[] = {
    {.word = "Authentication",
     .keyDirectory = {0xDF, 0x0A},
     .contentPath = {0x57, 0x81},
     .objectDirectory = {0x50, 0x81}},
    {.word = "Presence", .keyDirectory = {0xDF, 0x08}, .contentPath = {0x57, 0x88}, .objectDirectory = {0x50, 0x88}},
    {.word = "Authorization",
     .keyDirectory = {0xDF, 0x0B},
     .contentPath = {0x57, 0x82},
     .objectDirectory = {0x50, 0x82}},
    {.word = "Qualified", .keyDirectory = {0xDF, 0x0C}, .contentPath = {0x57, 0x83}, .objectDirectory = {0x50, 0x83}},
};

// What initialisation deletes from the qualified key directory: both references of its key, each
// as every kind of half (and a failed generation's leftovers, one reference).
struct KeyHalf {
    GC_Object::key_type type;
    bool privateHalf;
    const char* name;
};
constexpr uint8_t kInitialisedReferences[] = {0x0C, 0x8C};
constexpr KeyHalf kInitialisedHalves[] = {
    {.type = GC_Object::KEY_RSA, .privateHalf = true, .name = "RSA private key"},
    {.type = GC_Object::KEY_RSA, .privateHalf = false, .name = "RSA public key"},
    {.type = GC_Object::KEY_EC, .privateHalf = true, .name = "EC private key"},
    {.type = GC_Object::KEY_EC, .privateHalf = false, .name = "EC public key"},
};

// The answer to GET DATA of a public key starts with the headers of 70, BF kind ref and (RSA
// only) 7F49, whose sizes follow from the answer's length.
constexpr size_t kLongRsaHeader = 15;  // answers of 257 bytes and more
constexpr size_t kShortRsaHeader = 12;
constexpr size_t kLongRsaAnswer = 257;
constexpr size_t kEcHeader = 6;           // 70 L BF A2 ref L
constexpr size_t kEcHeaderLength81 = 8;   // 70 81 L BF A2 ref 81 L
constexpr size_t kEcHeaderLength82 = 10;  // 70 82 L L BF A2 ref 82 L L
constexpr size_t kShortestEcAnswer = 3;

// The value of the first item with tag path `path` in the items, empty when there is none.
Bytes valueAt(const std::vector<GC_ASN1::item>& items, const Bytes& path) {
    GC_ASN1::item found;
    GC_ASN1::getData(items, path, found);
    return found.value;
}

}  // namespace

int GC_CardControllerVarnel_1_0::keyPlaces(const char* /*func*/, const GC_Container& container, key_places& places) {
    const std::string label = pinLabel(container);
    places = key_places{};
    for (const PlaceRow& row : kPlaces) {
        if (label.find(row.word) == std::string::npos) continue;
        places = {.known = true,
                  .keyDirectory = row.keyDirectory,
                  .contentPath = row.contentPath,
                  .objectDirectory = row.objectDirectory};
        break;
    }
    return kOk;
}

std::vector<uint8_t> GC_CardControllerVarnel_1_0::pinDirectory(const GC_Container& container) const {
    return {0xDF, static_cast<uint8_t>(container.pin->pinReference & 0x0F)};
}

bool GC_CardControllerVarnel_1_0::selectsApplicationFirst() const {
    return true;
}

int GC_CardControllerVarnel_1_0::deleteContainerKeys(const GC_Container& /*container*/) {
    int result = kOk;
    for (const uint8_t reference : kInitialisedReferences) {
        for (const KeyHalf& half : kInitialisedHalves) {
            delete_stage stage = delete_stage::done;
            int rc = deleteKeyHalf(reference, half.type, half.privateHalf, stage);
            const long code = rc;
            switch (stage) {
                case delete_stage::build:
                    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask,
                                     "Error in create apdu for delete %s | error : %ld", half.name, code);
                    break;
                case delete_stage::send:
                    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask,
                                     "Error in send apdu for delete %s | error : %ld", half.name, code);
                    break;
                case delete_stage::answer:
                    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask,
                                     "Error in response apdu for delete %s | error : %ld", half.name, code);
                    break;
                case delete_stage::done:
                    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Delete %s 0x%02X success", half.name,
                                     reference);
                    break;
            }
            // A key that is not there is as good as deleted.
            if (rc == kDataNotFound) rc = kOk;
            if (result == kOk) result = rc;
        }
    }
    return result;
}

int GC_CardControllerVarnel_1_0::deleteKeyMaterial(uint8_t keyReference, GC_Object::key_type keyType) {
    for (const bool privateHalf : {true, false}) {
        delete_stage stage = delete_stage::done;
        const int rc = deleteKeyHalf(keyReference, keyType, privateHalf, stage);
        // A public half already gone is what the deletion wants.
        if (rc == kOk || (rc == kDataNotFound && !privateHalf)) continue;
        if (stage == delete_stage::build)
            return GC_FAIL(kErrMask, rc, "Error in create delete object command | error : %ld", static_cast<long>(rc));
        if (stage == delete_stage::answer) return GC_FAIL(kErrMask, rc, "Cannot delete object");
        return GC_FAIL(kErrMask, rc);
    }
    return kOk;
}

uint8_t GC_CardControllerVarnel_1_0::generatedKeyReference(const GC_Container& container) const {
    return container.pin->pinReference;
}

bool GC_CardControllerVarnel_1_0::sameKeyMaterial(uint8_t entryReference, uint8_t reference) const {
    return (entryReference & 0x0F) == (reference & 0x0F);
}

int GC_CardControllerVarnel_1_0::deleteKey(std::shared_ptr<GC_Container>& container, GC_Object::key_type keyType,
                                           bool privateHalf) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    return deleteGeneratedKey(__func__, container, keyType, privateHalf);
}

void GC_CardControllerVarnel_1_0::deleteLeftoverKey(uint8_t keyReference) {
    for (const KeyHalf& half : kInitialisedHalves) {
        delete_stage stage = delete_stage::done;
        deleteKeyHalf(keyReference, half.type, half.privateHalf, stage);
    }
}

int GC_CardControllerVarnel_1_0::generateKeyPair(std::shared_ptr<GC_Container>& container, GC_Object* privateTemplate,
                                                 GC_Object* publicTemplate, GC_Object** privateKey,
                                                 GC_Object** publicKey) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    return generateOverLeftovers(
        container, [&] { return generateOnce(container, privateTemplate, publicTemplate, privateKey, publicKey); });
}

int GC_CardControllerVarnel_1_0::generateOnce(std::shared_ptr<GC_Container>& container, GC_Object* privateTemplate,
                                              GC_Object* publicTemplate, GC_Object** privateKey,
                                              GC_Object** publicKey) {
    GC_Card::key_type cardType = GC_Card::KEY_RSA;
    if (const int rc =
            keyPairGuards(__func__, container, privateTemplate, publicTemplate, privateKey, publicKey, cardType);
        rc != kOk)
        return rc;
    // The halves are deleted as the kind they were created as.
    const GC_Object::key_type halves = cardType == GC_Card::KEY_RSA ? GC_Object::KEY_RSA : GC_Object::KEY_EC;
    auto* key = static_cast<GC_PrivKeyObject*>(privateTemplate);
    const uint8_t reference = generatedKeyReference(*container);
    key_places places;
    keyPlaces(__func__, *container, places);
    if (places.known) key->path = places.keyDirectory;
    key->keyReference = reference;
    const unsigned long bits = static_cast<unsigned long>(key->getKeySize());

    if (const int rc = select(container->AID, key->path, true, nullptr); rc != kOk)
        return GC_FAIL(kErrMask, rc, "Cannot select a priv key path");

    Bytes command;
    Bytes response;
    bool transport = false;
    if (const int rc = card->createPrivateKey(reference, bits, cardType, command); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Create private key APDU with error : %ld", static_cast<long>(rc));
    // From here on halves exist: a failure deletes them again, the public one first.
    auto dropPrivate = [&](int rc) {
        deleteKey(container, halves, true);
        return rc;
    };
    auto dropBoth = [&](int rc) {
        deleteKey(container, halves, false);
        return dropPrivate(rc);
    };
    // A creation whose answer never arrived whole may have been made: its half goes too. (Refused
    // outright, it was not; and a half the container lists is the container's own.)
    const bool halvesAreNew = container->getPrivateKey() == nullptr;
    if (const int rc = keyCommand(command, GC_Card::OP_KEY, response, transport); rc != kOk) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when send create private key apdu | error: %ld",
                         static_cast<long>(rc));
        return transport && halvesAreNew ? dropPrivate(rc) : rc;
    }
    if (const int rc = card->createPublicKey(reference, bits, cardType, command); rc != 0)
        return dropPrivate(
            GC_FAIL(kErrMask, kFailed, "Create public key APDU with error : %ld", static_cast<long>(rc)));
    if (const int rc = keyCommand(command, GC_Card::OP_KEY, response, transport); rc != kOk) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when send create public key apdu | error: %ld",
                         static_cast<long>(rc));
        return transport ? dropBoth(rc) : dropPrivate(rc);
    }
    if (const int rc = card->generateKeyPair(reference, cardType, bits, command); rc != 0)
        return dropBoth(GC_FAIL(kErrMask, kFailed, "Generate key pair APDU with error : %ld", static_cast<long>(rc)));
    if (const int rc = keyCommand(command, GC_Card::OP_KEY, response, transport); rc != kOk)
        return dropBoth(
            GC_FAIL(kErrMask, rc, "Error when send generate key pair  apdu | error: %ld", static_cast<long>(rc)));
    if (const int rc = card->getPublicKey(reference, cardType, command); rc != 0)
        return dropBoth(GC_FAIL(kErrMask, kFailed, "Get public key APDU with error : %ld", static_cast<long>(rc)));
    if (const int rc = keyCommand(command, GC_Card::OP_KEY, response, transport); rc != kOk)
        return dropBoth(
            GC_FAIL(kErrMask, rc, "Error when send get public key apdu | error: %ld", static_cast<long>(rc)));

    Bytes der;
    if (publicTemplate != nullptr)
        der = cardType == GC_Card::KEY_RSA ? convertPubKeyRSA(response) : convertPubKeyEC(response, key->curve);
    if (const int rc = registerKeyPair(container, places, privateTemplate, publicTemplate, der, privateKey, publicKey);
        rc != kOk)
        return dropBoth(rc);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
    return kOk;
}

std::vector<unsigned char> GC_CardControllerVarnel_1_0::convertPubKeyRSA(std::vector<unsigned char> answer) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    size_t header = 0;
    if (answer.size() >= kLongRsaAnswer)
        header = kLongRsaHeader;
    else if (answer.size() > kShortRsaHeader)
        header = kShortRsaHeader;
    answer.erase(answer.begin(), answer.begin() + static_cast<long>(header));
    std::vector<GC_ASN1::item> items;
    if (const int rc = GC_ASN1::deserialize(items, answer, true); rc != 0) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when deserialize a file contnet | %ld",
                         static_cast<long>(rc));
        return {};
    }
    const Bytes modulus = valueAt(items, {0x81});
    if (modulus.empty()) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Data tag 0x81 is empty");
        return {};
    }
    const Bytes exponent = valueAt(items, {0x82});
    if (exponent.empty()) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Data tag 0x82 is empty");
        return {};
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return gc_pubkey::rsaPublicKey(modulus, exponent);
}

std::vector<unsigned char> GC_CardControllerVarnel_1_0::convertPubKeyEC(std::vector<unsigned char> answer,
                                                                        GC_EC_Params::ec_nid curve) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (curve == 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Unknown EC params");
        return {};
    }
    if (answer.size() < kShortestEcAnswer) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Data is too short");
        return {};
    }
    const size_t header = answer[1] == 0x81 ? kEcHeaderLength81 : answer[1] == 0x82 ? kEcHeaderLength82 : kEcHeader;
    // An answer that ends inside its own header holds no key.
    if (answer.size() < header) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Data is too short");
        return {};
    }
    answer.erase(answer.begin(), answer.begin() + static_cast<long>(header));
    std::vector<GC_ASN1::item> items;
    if (const int rc = GC_ASN1::deserialize(items, answer, true); rc != 0) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Error when deserialize a public key | %ld",
                         static_cast<long>(rc));
        return {};
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return gc_pubkey::ecSubjectPublicKeyInfo(valueAt(items, {0x7F, 0x49, 0x86}), curve);
}
