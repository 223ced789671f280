// File system, PINs and keys of each personality, placed from the files that
// tests/data/cardsim/make.sh generated.
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "card_internal.h"

#ifndef CARDSIM_DATA_DIR
#error "CARDSIM_DATA_DIR must name the personalisation data directory"
#endif

namespace cardsim {
namespace {

const Bytes kSignatureAid = {0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x4E};
const Bytes kPkcs15Aid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
const Bytes kLdsAid = {0xA0, 0x00, 0x00, 0x02, 0x47, 0x10, 0x01};
// The GlobalPlatform card manager: present on both generations, holds nothing we serve.
const Bytes kCardManagerAid = {0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00};
// The application whose plain SELECT ends secure messaging on the first generation, when present.
const Bytes kDestroyAid = {0xA0, 0x00, 0x00, 0x01, 0x67, 0x45, 0x53, 0x49, 0x47, 0x40};

// Region size of the object directory files: PrKDF at 0, PuKDF at 1024, CDF at 2048.
constexpr size_t kRegion = 1024;
// Size of the certificate and public-key files of both generations: the card allocates them
// once, and the files are never grown.
constexpr size_t kContentFileSize = 2048;

class Loader {
public:
    explicit Loader(std::string dir) : dir_(std::move(dir)) {}

    Bytes file(const std::string& name) {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        if (!in) {
            fail("cannot read " + dir_ + "/" + name);
            return {};
        }
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    PkeyPtr key(const std::string& name) {
        const std::string path = dir_ + "/keys/" + name + ".pem";
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), BIO_free);
        if (!bio) {
            fail("cannot open " + path);
            return nullptr;
        }
        PkeyPtr pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
        if (!pkey) fail("cannot parse " + path);
        return pkey;
    }

    // A certificate or public-key file: the DER object, then zeros up to the allocated size.
    Bytes content(const std::string& name) {
        Bytes out = file(name);
        if (out.size() > kContentFileSize) fail(name + " exceeds its file");
        out.resize(std::max(out.size(), kContentFileSize), 0);
        return out;
    }

    // An object directory file of three fixed regions, zero filled (empty prefix: no objects).
    Bytes regions(const std::string& prefix) {
        Bytes out(3 * kRegion, 0);
        if (prefix.empty()) return out;
        const char* parts[] = {"_prkdf.der", "_pukdf.der", "_cdf.der"};
        for (size_t i = 0; i < 3; ++i) {
            Bytes part = file(prefix + parts[i]);
            if (part.size() > kRegion) {
                fail(prefix + parts[i] + " exceeds its region");
                continue;
            }
            std::copy(part.begin(), part.end(), out.begin() + static_cast<long>(i * kRegion));
        }
        return out;
    }

    void fail(const std::string& message) {
        if (error.empty()) error = message;
    }

    std::string error;

private:
    std::string dir_;
};

// A preloaded key pair: one object, or a private and a public half on the first generation.
void addKey(Node* df, Loader& loader, uint8_t reference, KeyKind kind, const std::string& name, uint8_t pin,
            bool halves = false) {
    Key key;
    key.reference = reference & 0x7F;
    key.kind = kind;
    key.pkey = loader.key(name);
    key.pinReference = pin & 0x7F;
    if (key.pkey) {
        key.bits = static_cast<size_t>(EVP_PKEY_get_bits(key.pkey.get()));
        char group[64] = {};
        size_t length = 0;
        if (kind == KeyKind::Ec && EVP_PKEY_get_group_name(key.pkey.get(), group, sizeof group, &length))
            key.curve = OBJ_txt2nid(group);
    }
    if (halves) {
        Key publicHalf = key;
        publicHalf.isPrivate = false;
        df->keys.push_back(std::move(publicHalf));
    }
    df->keys.push_back(std::move(key));
}

Pin makePin(uint8_t reference, std::string label, std::string value, size_t minLength, uint8_t parent, Node* app,
            Node* directory) {
    Pin pin;
    pin.reference = reference;
    pin.label = std::move(label);
    pin.value = Secret(std::move(value));
    pin.minLength = minLength;
    pin.maxLength = 8;
    pin.parent = parent & 0x7F;
    pin.application = app;
    pin.directory = directory;
    pin.isPuk = pin.label == "PUK";
    return pin;
}

void addLds(Node* mf, Loader& loader, bool withList) {
    Node* lds = mf->addDf(0x1ADF, kLdsAid);
    lds->addEf(0x011E, loader.file("lds/com.der"))->readOnly = true;
    lds->addEf(0x011D, loader.file("lds/sod.der"))->readOnly = true;
    lds->addEf(0x0101, loader.file("lds/dg1.der"))->readOnly = true;
    lds->addEf(0x010E, loader.file("lds/dg14.der"))->readOnly = true;
    if (withList) lds->addEf(0x5300, loader.file("lds/5300.der"))->readOnly = true;
}

}  // namespace

std::string dataDirectory(const CardConfig& config) {
    return config.dataDir.empty() ? std::string(CARDSIM_DATA_DIR) : config.dataDir;
}

Bytes buildCardAccess(const std::vector<PaceInfo>& infos) {
    Bytes set;
    for (const PaceInfo& info : infos) {
        Bytes oid = {0x04, 0x00, 0x7F, 0x00, 0x07, 0x02, 0x02, 0x04, 0x02, static_cast<uint8_t>(info.cipher)};
        Bytes pace = tlv(0x06, oid);
        const Bytes version = tlv(0x02, {0x02});
        const Bytes id = tlv(0x02, {static_cast<uint8_t>(info.parameterId)});
        pace.insert(pace.end(), version.begin(), version.end());
        pace.insert(pace.end(), id.begin(), id.end());
        const Bytes seq = tlv(0x30, pace);
        set.insert(set.end(), seq.begin(), seq.end());
    }
    return tlv(0x31, set);
}

Node* Node::addDf(uint16_t id, Bytes name) {
    auto node = std::make_unique<Node>();
    node->fid = id;
    node->isDf = true;
    node->aid = std::move(name);
    node->parent = this;
    children.push_back(std::move(node));
    return children.back().get();
}

Node* Node::addEf(uint16_t id, Bytes data) {
    auto node = std::make_unique<Node>();
    node->fid = id;
    node->content = std::move(data);
    node->parent = this;
    children.push_back(std::move(node));
    return children.back().get();
}

Node* Node::child(uint16_t id) const {
    for (const auto& c : children)
        if (c->fid == id) return c.get();
    return nullptr;
}

bool Node::ancestorsActive() const {
    for (const Node* n = this; n; n = n->parent)
        if (!n->active) return false;
    return true;
}

bool CardSim::Impl::personalise() {
    Loader loader(dataDirectory(config));
    mf = std::make_unique<Node>();
    mf->fid = 0x3F00;
    mf->isDf = true;
    Node* cardAccess = mf->addEf(0x011C, buildCardAccess(config.pace));
    cardAccess->plainRead = true;
    cardAccess->readOnly = true;
    mf->addDf(0x0051, kCardManagerAid);
    pins.clear();

    switch (config.personality) {
        case Personality::Generic: {
            traits = Traits{255, 255, false, false};
            requireSm = config.requireSecureMessaging.value_or(false);
            serial = loader.file("generic/serial.bin");
            Node* dir = mf->addEf(0x2F00, loader.file("generic/efdir.der"));
            dir->plainRead = true;
            Node* app = mf->addDf(0x5015, kPkcs15Aid);
            app->addEf(0x5031, loader.file("generic/odf.der"));
            app->addEf(0x5032, loader.file("generic/tokeninfo.der"));
            app->addEf(0x4401, loader.file("generic/aodf.der"));
            app->addEf(0x4402, loader.file("generic/prkdf.der"));
            app->addEf(0x4403, loader.file("generic/pukdf.der"));
            app->addEf(0x4404, loader.file("generic/cdf.der"));
            app->addEf(0x4301, loader.file("certs/generic_rsa.der"));
            app->addEf(0x4302, loader.file("certs/generic_p256.der"));
            app->addEf(0x4311, loader.file("pub/generic_rsa.der"));
            app->addEf(0x4312, loader.file("pub/generic_p256.der"));
            addKey(app, loader, 0x01, KeyKind::Rsa, "generic_rsa", 0x01);
            addKey(app, loader, 0x02, KeyKind::Ec, "generic_p256", 0x01);
            pins.push_back(makePin(0x01, "User PIN", "123456", 6, 0x02, app, nullptr));
            pins.push_back(makePin(0x02, "PUK", "12345678", 8, 0, app, nullptr));
            break;
        }
        case Personality::Varnel1: {
            traits = Traits{512, 1792, true, true};
            requireSm = config.requireSecureMessaging.value_or(true);
            serial = loader.file("varnel1/serial.bin");
            Node* app = mf->addDf(0x5015, kSignatureAid);
            app->addEf(0x5031, loader.file("varnel1/odf.der"));
            app->addEf(0x5032, loader.file("varnel1/tokeninfo.der"));
            app->addEf(0x5200, loader.file("varnel1/aodf.der"));
            struct Container {
                uint8_t pin;  // its directory is DF (pin & 0F)
                const char* label;
                const char* value;
                uint16_t dirFile;  // the object directory 50xx; certificate 57xx, public key 579x
                const char* key;   // nullptr: no objects yet
                KeyKind kind;
            };
            const Container containers[] = {
                {0x8A, "Authentication", "111111", 0x5081, "v1_auth_p256", KeyKind::Ec},
                {0x88, "Presence", "222222", 0x5088, "v1_presence_p521", KeyKind::Ec},
                {0x8B, "Authorization", "444444", 0x5082, nullptr, KeyKind::Ec},
                {0x8C, "Qualified", "333333", 0x5083, "v1_qualified_rsa", KeyKind::Rsa},
            };
            for (const Container& c : containers) {
                const uint8_t n = c.pin & 0x0F;
                const std::string dirName = toHex({uint8_t(c.dirFile >> 8), uint8_t(c.dirFile)});
                app->addEf(c.dirFile, loader.regions(c.key ? "varnel1/dir_" + dirName : ""));
                const uint16_t certFile = static_cast<uint16_t>(0x5700 | (c.dirFile & 0xFF));
                Node* pinDir = app->addDf(static_cast<uint16_t>(0xDF00 | n));
                if (c.key) {
                    app->addEf(certFile, loader.content(std::string("certs/") + c.key + ".der"));
                    app->addEf(static_cast<uint16_t>(0x5790 | (c.dirFile & 0x0F)),
                               loader.content(std::string("pub/") + c.key + ".der"));
                    addKey(pinDir, loader, n, c.kind, c.key, c.pin, true);
                } else {
                    app->addEf(certFile, Bytes(kContentFileSize, 0));
                }
                pins.push_back(makePin(c.pin, c.label, c.value, 6, 0x94, app, pinDir));
            }
            pins.push_back(makePin(0x94, "PUK", "12345678", 8, 0, app, nullptr));
            addLds(mf.get(), loader, true);
            if (config.destroyAidPresent) mf->addDf(0x5016, kDestroyAid);
            break;
        }
        case Personality::Varnel2: {
            traits = Traits{1024, 1792, true, true, true};
            requireSm = config.requireSecureMessaging.value_or(true);
            serial = loader.file("varnel2/serial.bin");
            Node* dir = mf->addEf(0x2F00, loader.file("varnel2/efdir.der"));
            dir->plainRead = true;
            Node* app = mf->addDf(0x5015, kSignatureAid);
            app->addEf(0x5031, loader.file("varnel2/odf.der"));
            app->addEf(0x5032, loader.file("varnel2/tokeninfo.der"));
            app->addEf(0x5200, loader.file("varnel2/aodf.der"));
            struct Container {
                uint8_t pin;
                const char* label;
                const char* value;
                uint8_t file;  // last byte of the CIO 50xx, certificate 57xx, public key 57(xx+10)
                uint8_t keyRef;
                const char* key;
                KeyKind kind;
            };
            const Container containers[] = {
                {0x01, "Authentication", "111111", 0x81, 0x01, "v2_auth_bp256", KeyKind::Ec},
                {0x02, "Authorization", "222222", 0x82, 0x02, "v2_authz_p384", KeyKind::Ec},
                {0x0C, "Qualified", "333333", 0x83, 0x13, "v2_qualified_rsa", KeyKind::Rsa},
            };
            for (const Container& c : containers) {
                Node* pinDir = app->addDf(static_cast<uint16_t>(0xADF0 | c.pin));
                Node* keyDir = pinDir->addDf(static_cast<uint16_t>(0xDF00 | c.pin));
                keyDir->addEf(static_cast<uint16_t>(0x5000 | c.file),
                              loader.regions("varnel2/cio_50" + toHex({c.file})));
                keyDir->addEf(static_cast<uint16_t>(0x5700 | c.file),
                              loader.content(std::string("certs/") + c.key + ".der"));
                keyDir->addEf(static_cast<uint16_t>(0x5710 | c.file),
                              loader.content(std::string("pub/") + c.key + ".der"));
                addKey(keyDir, loader, c.keyRef, c.kind, c.key, c.pin);
                pins.push_back(makePin(c.pin, c.label, c.value, 6, 0x04, app, pinDir));
            }
            pins.push_back(makePin(0x04, "PUK", "12345678", 8, 0, app, nullptr));
            addLds(mf.get(), loader, false);
            break;
        }
    }

    // A scratch file for read and write tests in the PKCS#15 application of every personality.
    if (Node* app = mf->child(0x5015)) app->addEf(0x4F00, Bytes(config.scratchSize, 0x00));

    for (Pin& p : pins) {
        const auto it = config.pins.find(p.reference & 0x7F);
        if (it != config.pins.end()) p.value = Secret(it->second);
        if (p.isPuk && !config.puk.empty()) p.value = Secret(config.puk);
        if (config.deactivatedPins.count(p.reference & 0x7F) && p.directory) p.directory->active = false;
    }
    atr = config.atr.empty() ? defaultAtr(config.personality) : config.atr;
    if (!config.serial.empty()) serial = config.serial;
    if (serial.size() != 8) loader.fail("serial number must be 8 bytes");
    error = loader.error;
    return error.empty();
}

}  // namespace cardsim
