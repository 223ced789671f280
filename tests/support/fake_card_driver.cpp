#include "support/fake_card_driver.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>

#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/wipe.h"
#include "openssl_ptr.h"
#include "support/hex.h"
#include "support/temp_dir.h"

namespace gctest {

namespace {

// The signature application of the second-generation card and where its files live.
const Bytes kAid = unhex("A000000167455349474E");
constexpr size_t kRegion = 1024;
constexpr size_t kContentFileSize = 2048;

// One PIN of the card with its key: the key directory, the last byte of its file identifiers
// (directory 50xx, certificate 57xx, public key 57(xx+10)) and the fixture names.
struct CardPin {
    uint8_t reference;
    const char* value;
    const char* directory;
    const char* file;
    const char* key;
};

const CardPin kPins[] = {
    {0x01, "111111", "ADF1DF01", "81", "v2_auth_bp256"},
    {0x02, "222222", "ADF2DF02", "82", "v2_authz_p384"},
    {0x0C, "333333", "ADFCDF0C", "83", "v2_qualified_rsa"},
};

Bytes cardFile(const std::string& name) {
    const std::string content = readFile(dataPath("cardsim/" + name));
    return Bytes(content.begin(), content.end());
}

Bytes padded(Bytes bytes, size_t size) {
    bytes.resize(std::max(bytes.size(), size), 0);
    return bytes;
}

// The PIN record's reference, or 0 for a container without PIN.
uint8_t referenceOf(const GC_Container& container) {
    return container.pin ? container.pin->pinReference : 0;
}

const CardPin* pinOf(uint8_t reference) {
    for (const CardPin& pin : kPins) {
        if (pin.reference == reference) return &pin;
    }
    return nullptr;
}

gc_ossl::EvpPkeyPtr loadKey(const std::string& name) {
    FILE* file = std::fopen(dataPath("cardsim/keys/" + name + ".pem").c_str(), "r");
    if (file == nullptr) return nullptr;
    gc_ossl::EvpPkeyPtr key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    return key;
}

// Algorithms 1 to 5 and 6 to 10 hash with none, SHA-1, SHA-256, SHA-384 and SHA-512.
const EVP_MD* digestOf(CardDriver::signature_alghoritm algorithm) {
    const EVP_MD* digests[] = {nullptr, EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512()};
    return algorithm >= 1 && algorithm <= 10 ? digests[(algorithm - 1) % 5] : nullptr;
}

// The card's signature: PKCS#1 v1.5 over a digest (RSA 2 to 5), the raw RSA operation over a
// complete encoding (RSA 1), ECDSA over the data as the digest (EC 6 to 10), DER-encoded.
int sign(EVP_PKEY* key, CardDriver::signature_alghoritm algorithm, const Bytes& data, Bytes& signature) {
    const bool rsa = algorithm <= CardDriver::RSA_PKCS1_SHA512;
    if (rsa != (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA)) return -1102;
    gc_ossl::EvpPkeyCtxPtr context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_sign_init(context.get()) <= 0) return -1100;
    if (rsa) {
        const int padding = algorithm == CardDriver::RSA_PKCS1_NONE ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
        if (EVP_PKEY_CTX_set_rsa_padding(context.get(), padding) <= 0) return -1100;
        const EVP_MD* digest = digestOf(algorithm);
        if (digest != nullptr && EVP_PKEY_CTX_set_signature_md(context.get(), digest) <= 0) return -1100;
    }
    size_t length = 0;
    if (EVP_PKEY_sign(context.get(), nullptr, &length, data.data(), data.size()) <= 0) return -1100;
    signature.resize(length);
    if (EVP_PKEY_sign(context.get(), signature.data(), &length, data.data(), data.size()) <= 0) return -1100;
    signature.resize(length);
    return 0;
}

const char* labelOf(const std::shared_ptr<GC_Container>& container) {
    return container ? container->label.c_str() : "(none)";
}

}  // namespace

FakeCardDriver::FakeCardDriver() {
    files_.setFile(unhex("3F00"), unhex("2F00"), cardFile("varnel2/efdir.der"));
    files_.setFile(kAid, unhex("5031"), cardFile("varnel2/odf.der"));
    files_.setFile(kAid, unhex("5032"), cardFile("varnel2/tokeninfo.der"));
    files_.setFile(kAid, unhex("5200"), cardFile("varnel2/aodf.der"));
    for (const CardPin& pin : kPins) {
        Bytes directory(3 * kRegion, 0);
        const char* parts[] = {"_prkdf.der", "_pukdf.der", "_cdf.der"};
        for (size_t i = 0; i < 3; ++i) {
            const Bytes part = cardFile(std::string("varnel2/cio_50") + pin.file + parts[i]);
            std::copy(part.begin(), part.end(), directory.begin() + static_cast<long>(i * kRegion));
        }
        const std::string path = pin.directory;
        files_.setFile(kAid, unhex(path + "50" + pin.file), directory);
        files_.setFile(kAid, unhex(path + "57" + pin.file),
                       padded(cardFile(std::string("certs/") + pin.key + ".der"), kContentFileSize));
        const int publicKeyFile = std::stoi(pin.file, nullptr, 16) + 0x10;
        char publicKeyName[8];
        std::snprintf(publicKeyName, sizeof publicKeyName, "57%02X", publicKeyFile);
        files_.setFile(kAid, unhex(path + publicKeyName),
                       padded(cardFile(std::string("pub/") + pin.key + ".der"), kContentFileSize));
        triesLeft_[pin.reference] = 3;
    }
}

bool FakeCardDriver::record(Op op, const std::string& line, int& code) {
    calls_.push_back(line);
    const auto failure = failures_.find(op);
    if (failure == failures_.end()) return false;
    code = failure->second;
    failures_.erase(failure);
    return true;
}

int FakeCardDriver::performSecureConnection(std::vector<uint8_t> password, int type) {
    GC_WipeGuard wipe{&password};
    std::lock_guard lock(mutex_);
    int code = 0;
    if (record(Op::Perform, "perform", code)) return code;
    // A wrong CAN fails at the card's authentication token, which the library reports as -1701.
    channelOpen_ = type == kPasswordCan && password == Bytes(kCan, kCan + 6);
    return channelOpen_ ? 0 : -1701;
}

int FakeCardDriver::destroySecureConnection() {
    std::lock_guard lock(mutex_);
    int code = 0;
    if (record(Op::Destroy, "destroy", code)) return code;
    channelOpen_ = false;
    verified_.clear();
    return 0;
}

int FakeCardDriver::getContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool) {
    std::lock_guard lock(mutex_);
    int code = 0;
    if (record(Op::GetContainers, "getContainers", code)) return code;
    if (!channelOpen_) return -1701;
    list.clear();
    return layout_.getContainers(list);
}

int FakeCardDriver::loadContainers(std::vector<std::shared_ptr<GC_Container>>& list, bool) {
    std::lock_guard lock(mutex_);
    int code = 0;
    if (record(Op::LoadContainers, "loadContainers", code)) return code;
    std::vector<GC_Object*> objects;
    for (const auto& container : list) {
        std::vector<GC_Object*> some;
        container->getObjects(some);
        objects.insert(objects.end(), some.begin(), some.end());
    }
    return layout_.readObjects(objects);
}

int FakeCardDriver::verifyPassword(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin, bool) {
    GC_WipeGuard wipe{&pin};
    std::lock_guard lock(mutex_);
    int code = 0;
    if (record(Op::Verify, std::string("verify ") + labelOf(container), code)) return code;
    // As the card library: a PIN without length limits is not asked for.
    if (container && (container->flags & GC_Container::FLAG_NO_LENGTH) != 0) {
        verified_.insert(container.get());
        return 0;
    }
    const CardPin* cardPin = container ? pinOf(referenceOf(*container)) : nullptr;
    if (cardPin == nullptr) return -2311;
    int& tries = triesLeft_[cardPin->reference];
    if (tries == 0) return -2307;
    if (pin != Bytes(cardPin->value, cardPin->value + std::char_traits<char>::length(cardPin->value))) {
        --tries;
        return tries == 0 ? -2307 : -2305;
    }
    tries = 3;
    verified_.insert(container.get());
    return 0;
}

int FakeCardDriver::logoutPassword(std::shared_ptr<GC_Container> container, bool) {
    std::lock_guard lock(mutex_);
    int code = 0;
    if (record(Op::Logout, std::string("logout ") + labelOf(container), code)) return code;
    verified_.erase(container.get());
    return 0;
}

int FakeCardDriver::signatureData(std::shared_ptr<GC_Container> container, GC_Object* key, std::vector<uint8_t> data,
                                  signature_alghoritm algorithm, std::vector<uint8_t>& signature) {
    std::lock_guard lock(mutex_);
    int code = 0;
    if (record(Op::Sign, "sign " + std::to_string(algorithm) + " " + labelOf(container), code)) return code;
    if (!container || key == nullptr || !container->isObject(key)) return -1102;
    // The card refuses the key until its PIN is verified.
    if (!channelOpen_ || verified_.count(container.get()) == 0) return -1701;
    const CardPin* cardPin = pinOf(referenceOf(*container));
    if (cardPin == nullptr) return -1102;
    gc_ossl::EvpPkeyPtr privateKey = loadKey(cardPin->key);
    if (!privateKey) return -1100;
    return sign(privateKey.get(), algorithm, data, signature);
}

void FakeCardDriver::failNext(Op op, int code) {
    std::lock_guard lock(mutex_);
    failures_[op] = code;
}

std::vector<std::string> FakeCardDriver::calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

void FakeCardDriver::clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

int FakeCardDriver::triesLeft(uint8_t pinReference) {
    std::lock_guard lock(mutex_);
    return triesLeft_[pinReference];
}

void FakeCardLibrary::addReaderBackEnd() {
    std::lock_guard lock(mutex_);
    ++backEndsAdded_;
}

void FakeCardLibrary::refreshReaders() {
    std::lock_guard lock(mutex_);
    ++refreshes_;
}

std::shared_ptr<CardDriver> FakeCardLibrary::createDriver(const std::string&, int& result) {
    std::lock_guard lock(mutex_);
    if (failCreate_ != 0) {
        result = std::exchange(failCreate_, 0);
        return nullptr;
    }
    ++driversMade_;
    result = 0;
    return driver_;
}

void FakeCardLibrary::failNextCreate(int code) {
    std::lock_guard lock(mutex_);
    failCreate_ = code;
}

int FakeCardLibrary::backEndsAdded() {
    std::lock_guard lock(mutex_);
    return backEndsAdded_;
}

int FakeCardLibrary::refreshes() {
    std::lock_guard lock(mutex_);
    return refreshes_;
}

int FakeCardLibrary::driversMade() {
    std::lock_guard lock(mutex_);
    return driversMade_;
}

}  // namespace gctest
