#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Data/Objects/object.h"

// One PIN of one card application with what it protects: the card objects whose authId equals
// the PIN's and the signing mechanisms offered for them. An application without PIN entries
// gives one container without PIN (authId 0).
//
// Shared through std::shared_ptr. The container owns its PIN record, texts, byte vectors and one
// share of each mechanism record; it does not own its objects (the PKCS#15 layer's directory
// records do) but keeps a share of the records that own them, so that whoever holds the
// container may read its objects after the card was read again. The parent PIN record is owned
// by the container built for the parent PIN. Not copyable. No locks: used from one thread at a
// time.
class GC_Container {
public:
    // State flags.
    static constexpr uint64_t FLAG_ACTIVE = 0x01;     // the PIN's application is active on the card
    static constexpr uint64_t FLAG_BLOCKED = 0x02;    // PIN blocked
    static constexpr uint64_t FLAG_VERIFIED = 0x04;   // PIN verified
    static constexpr uint64_t FLAG_PUK = 0x08;        // the PIN is a PUK (its label contains "PUK")
    static constexpr uint64_t FLAG_NO_LENGTH = 0x10;  // the PIN has no length limits
    static constexpr uint64_t FLAG_AUTH_ID = 0x20;    // the container has a PIN authId
    // The card answered, in the last status query, that the PIN's directory is deactivated.
    static constexpr uint64_t FLAG_DEACTIVATED = 0x40;

    // Key-family masks of a mechanism.
    static constexpr uint64_t MECHANISM_RSA = 0x1;
    static constexpr uint64_t MECHANISM_EC = 0x3FE;

    // One PIN as the card controllers and the reader back-ends use it.
    struct pin_record {
        // Pinpad PIN encoding: 0 BCD, 1 ASCII, 2 GLP.
        uint32_t encoding = 1;
        // What VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER and logout address.
        uint8_t pinReference = 0;
        // Directory to select before a PIN command.
        std::vector<unsigned char> path;
        // Accepted PIN length in characters (both 0: no limits, no check).
        uint64_t minLength = 0;
        uint64_t maxLength = 0;
        // Pinpad PIN-block layout.
        uint64_t paddingLength = 0;
        uint8_t formatByte = 0;
        uint64_t oldPinOffset = 0;
        uint64_t pinPosition = 0;
        // Remaining tries as last reported by the card.
        uint64_t triesLeft = 0;
        uint64_t triesLimit = 3;
    };

    // One signing mechanism; never changed after building, so shares need no lock.
    struct mechanism_info {
        // MECHANISM_RSA or MECHANISM_EC; matches key type RSA or EC respectively.
        uint64_t mechanism = 0;
        uint64_t minKeyBits = 0;
        uint64_t maxKeyBits = 0;
        // Mask of GC_Security::data_format values accepted.
        uint64_t hashFormats = 0;
        // Mask of GC_Security::padding_type values accepted.
        uint64_t paddings = 0;
        // The mechanism counts for signing when the third or fourth byte is not 0.
        std::array<uint8_t, 4> capabilities = {0, 0, 0, 0};
        // The container's no-length flag (EC row), 0 in the RSA row.
        uint8_t noLength = 0;
        // 1 when the PIN's label contains "Qualified".
        uint8_t qualified = 0;
    };

    GC_Container() = default;
    virtual ~GC_Container();

    GC_Container(const GC_Container&) = delete;
    GC_Container& operator=(const GC_Container&) = delete;

    // What every container builder takes from a PIN entry: a new PIN record (encoding 1, the
    // reference, path and lengths, tries limit 3), the authId, the state flags 0x20, 0x08 and
    // 0x10, and the mechanism rows (RSA only for the label "Qualified", then EC).
    void buildFromPin(uint8_t pinAuthId, const std::string& pinLabel, uint8_t pinReference,
                      const std::vector<unsigned char>& pinPath, uint64_t minLength, uint64_t maxLength);

    // addObject for each object in order; objects of another authId are left out. Always 0.
    int addObjects(std::vector<GC_Object*> objects);
    // Appends the object when its authId is the container's. 0; -1102 for another authId or null.
    int addObject(GC_Object* object);
    // Removes the first entry equal to object (the object is not freed). 0; -1102 when absent.
    int deleteObject(GC_Object* object);
    bool isObject(GC_Object* object);
    // out becomes the object list, in order.
    void getObjects(std::vector<GC_Object*>& out);
    // The first private key; null when there is none.
    GC_Object* getPrivateKey();
    // The first private key whose ID equals guid; null for an empty guid or when none does.
    GC_Object* getPrivateKeyByGUID(std::vector<unsigned char> guid);

    // Relations by equal ID (same length, same bytes; two empty IDs are equal). Each appends to
    // out, in list order, the objects of the kind it collects whose ID equals the argument's;
    // every object of that kind when the argument is null or not of the expected kind.
    void getPrivateKeyRelatedWithCert(std::vector<GC_Object*>& out, GC_Object* cert);
    void getPrivateKeyRelatedWithPubKey(std::vector<GC_Object*>& out, GC_Object* pubKey);
    void getPubKeyRelatedWithCert(std::vector<GC_Object*>& out, GC_Object* cert);
    void getPubKeyRelatedWithPrivKey(std::vector<GC_Object*>& out, GC_Object* privKey);

    // Appends every certificate, in list order (out is not cleared).
    void getCerts(std::vector<GC_Object*>& out);
    // Empties the list; the objects are not freed.
    void clearObjectList();

    // Keeps `owner` (what owns objects of the container: a record of the layout) alive as long
    // as the container. Null, or an owner kept already: nothing.
    void keepAlive(std::shared_ptr<const void> owner);

    // A copy of the mechanism list; the copies share the records.
    std::vector<std::shared_ptr<GC_Container::mechanism_info>> getSupportedMechanism();
    void addMechanism(std::shared_ptr<GC_Container::mechanism_info> mechanism);

    // parent becomes the first container of containers with a PIN record whose reference equals
    // that of container's parent PIN record; empty when container has none or nothing matches.
    static void findParentContainer(std::shared_ptr<GC_Container> container,
                                    std::vector<std::shared_ptr<GC_Container>> containers,
                                    std::shared_ptr<GC_Container>& parent);

    // 1 once the card controllers have had the objects' contents read.
    uint8_t objectsLoaded = 0;
    // TokenInfo version bytes, twice.
    std::vector<unsigned char> version;
    std::vector<unsigned char> version2;
    std::vector<unsigned char> serialNumber;
    // Token label + " (" + PIN label + ")", or the PIN label alone, or the application label.
    std::string label;
    std::string appLabel;
    std::string manufacturer;
    std::string cardDescription;
    uint8_t authId = 0;
    std::vector<unsigned char> AID;
    // The container's PIN; null for the container without PIN.
    std::unique_ptr<pin_record> pin;
    // The PIN named by this PIN's parent authId (not owned); may be null.
    pin_record* parentPin = nullptr;
    uint64_t flags = 0;

private:
    void collectRelated(std::vector<GC_Object*>& out, uint32_t collected, GC_Object* other, uint32_t expected);

    std::vector<GC_Object*> objects_;
    std::vector<std::shared_ptr<mechanism_info>> mechanisms_;
    std::vector<std::shared_ptr<const void>> owners_;
};
