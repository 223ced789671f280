#include "driver.h"

#include <utility>

#include "Data/Container/container.h"
#include "Data/Objects/object.h"
#include "Data/wipe.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "driver";
constexpr unsigned long kLogMask = gc_log::kDriver;
constexpr unsigned long kErrMask = gc_log::kDriver | gc_log::kError;

using gc_cc::kBadParameter;
using gc_cc::kFailed;
using gc_cc::kNotSupported;

// What a signing algorithm means to the session: the key type, which also names the padding
// (EC 1 = none, RSA 2 = PKCS#1 v1.5), and the hash.
struct AlgorithmRow {
    GC_Object::key_type keyType;
    GC_Security::data_format format;
};
constexpr AlgorithmRow kAlgorithms[] = {
    {.keyType = GC_Object::KEY_RSA, .format = GC_Security::HASH_NONE},
    {.keyType = GC_Object::KEY_RSA, .format = GC_Security::HASH_SHA1},
    {.keyType = GC_Object::KEY_RSA, .format = GC_Security::HASH_SHA256},
    {.keyType = GC_Object::KEY_RSA, .format = GC_Security::HASH_SHA384},
    {.keyType = GC_Object::KEY_RSA, .format = GC_Security::HASH_SHA512},
    {.keyType = GC_Object::KEY_EC, .format = GC_Security::HASH_NONE},
    {.keyType = GC_Object::KEY_EC, .format = GC_Security::HASH_SHA1},
    {.keyType = GC_Object::KEY_EC, .format = GC_Security::HASH_SHA256},
    {.keyType = GC_Object::KEY_EC, .format = GC_Security::HASH_SHA384},
    {.keyType = GC_Object::KEY_EC, .format = GC_Security::HASH_SHA512},
};

// The row of an algorithm; null outside 1 to 10.
const AlgorithmRow* algorithmRow(Driver::signature_alghoritm algorithm) {
    if (algorithm < 1 || algorithm > std::size(kAlgorithms)) return nullptr;
    return &kAlgorithms[algorithm - 1];
}

}  // namespace

Driver::Driver(std::string name, GC_CardController::card_controller type, bool sharedMode, void* param)
    : readerName(std::move(name)) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    // No reader has an empty name: the session says so with its own code.
    if (readerName.empty()) GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Reader name is empty");
    lastError = controller.create(readerName, type, sharedMode, param);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

Driver::~Driver() = default;

int Driver::record(int result) {
    lastError = result;
    return result;
}

int Driver::setDriverParam(void* param) {
    return record(controller.setReaderParam(param));
}

int Driver::getReaderFeatures(int& features) {
    return record(controller.readerFeatures(features));
}

int Driver::state() {
    return record(controller.state());
}

int Driver::performSecureConnection(std::vector<uint8_t> password, int type) {
    // The session takes its own copy and wipes it; this one goes with the move.
    return record(controller.performSecureConnection(std::move(password), type));
}

int Driver::restoreSecureConnection() {
    return record(controller.restoreSecureConnection());
}

int Driver::destroySecureConnection() {
    return record(controller.destroySecureConnection());
}

int Driver::performChipAuthentication() {
    return record(controller.performChipAuthentication());
}

int Driver::authenticateChip(std::vector<uint8_t> /*data*/, int /*type*/) {
    return record(GC_FAIL(kErrMask, kNotSupported, "Not supported"));
}

int Driver::authenticateTerminal(std::vector<uint8_t> /*data*/, int /*type*/) {
    return record(GC_FAIL(kErrMask, kNotSupported, "Not supported"));
}

int Driver::authenticateTerminal(std::vector<std::vector<uint8_t>> /*certificates*/, std::vector<uint8_t> /*key*/) {
    return record(GC_FAIL(kErrMask, kNotSupported, "Not supported"));
}

int Driver::authenticateTerminal(std::vector<uint8_t> /*data*/) {
    return record(GC_FAIL(kErrMask, kNotSupported, "Not supported"));
}

int Driver::getContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) {
    return record(controller.getContainers(list, force));
}

int Driver::getContainer(int index, std::shared_ptr<GC_Container>& container) {
    // A negative index is beyond every list.
    return record(controller.getContainer(static_cast<unsigned long>(index), container, false));
}

int Driver::loadContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) {
    return record(controller.loadContainers(list, force));
}

int Driver::loadContainer(std::shared_ptr<GC_Container>& container, bool force) {
    std::vector<std::shared_ptr<GC_Container>> one{container};
    return record(controller.loadContainers(one, force));
}

int Driver::statusContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool force) {
    return record(controller.statusContainers(list, force));
}

int Driver::verifyPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin, bool flag) {
    GC_WipeGuard wipePin{&pin};
    return record(controller.verifyPassword(container, pin, flag, false));
}

int Driver::logoutPassword(std::shared_ptr<GC_Container> container, bool flag) {
    return record(controller.logoutPassword(container, flag));
}

int Driver::changePassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> oldPin,
                           std::vector<uint8_t> newPin, bool flag) {
    GC_WipeGuard wipePins{&oldPin, &newPin};
    return record(controller.changePassword(container, oldPin, newPin, flag));
}

int Driver::unblockPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> newPin, bool setNew) {
    GC_WipeGuard wipePin{&newPin};
    return record(controller.unblockPassword(container, newPin, setNew));
}

int Driver::initPassword(std::shared_ptr<GC_Container> /*container*/, std::vector<uint8_t> pin) {
    GC_WipeGuard wipePin{&pin};
    return GC_FAIL(kErrMask, kNotSupported, "Not supported");
}

int Driver::signatureData(std::shared_ptr<GC_Container> container, GC_Object* key, std::vector<uint8_t> data,
                          signature_alghoritm algorithm, std::vector<uint8_t>& signature) {
    const AlgorithmRow* row = algorithmRow(algorithm);
    if (row == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Signature alghoritm is not supported");
    // The key type names the padding too: none for EC, PKCS#1 v1.5 for RSA.
    const auto padding = static_cast<GC_Security::padding_type>(row->keyType);
    return record(
        controller.signatureData(container, key, std::move(data), row->keyType, row->format, padding, signature));
}

int Driver::verifySignature(std::shared_ptr<GC_Container> container, GC_Object* object, std::vector<uint8_t> data,
                            std::vector<uint8_t> signature, signature_alghoritm algorithm) {
    const AlgorithmRow* row = algorithmRow(algorithm);
    if (row == nullptr) return GC_FAIL(kErrMask, kBadParameter, "Signature alghoritm is not supported");
    const auto padding = static_cast<GC_Security::padding_type>(row->keyType);
    return record(controller.verifySignature(container, object, std::move(data), std::move(signature), row->keyType,
                                             row->format, padding));
}

int Driver::hashData(std::vector<uint8_t> data, GC_Security::data_format format, std::vector<uint8_t>& hash) {
    return hashData(std::vector<std::vector<uint8_t>>{std::move(data)}, format, hash);
}

int Driver::hashData(std::vector<std::vector<uint8_t>> parts, GC_Security::data_format format,
                     std::vector<uint8_t>& hash) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (parts.empty()) return GC_FAIL(kErrMask, kBadParameter, "Data is empty");
    switch (format) {
        case GC_Security::HASH_SHA1:
        case GC_Security::HASH_SHA256:
        case GC_Security::HASH_SHA384:
        case GC_Security::HASH_SHA512:
            break;
        default:
            return GC_FAIL(kErrMask, kBadParameter, "Signature alghoritm is not supported");
    }
    hash.clear();
    if (const int rc = GC_Security::hashValuesToKey(format, parts, hash); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Canot hash data | %i", rc);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

std::string Driver::getReaderName() {
    return readerName;
}

std::vector<uint8_t> Driver::getAtr() {
    return controller.getATRcard();
}

std::vector<uint8_t> Driver::getSerialNumber() {
    return controller.getSerialNumber();
}

GC_CardController::card_controller Driver::getCardType() {
    return controller.getCardControllerType();
}
