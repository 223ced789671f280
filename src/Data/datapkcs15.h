#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Data/Container/container.h"
#include "Data/Objects/object.h"
#include "Data/data.h"
#include "asn1.h"

class GC_CertObject;
class GC_PubKeyObject;

// One object directory file of a PKCS#15 application, as its ODF entry names it, with the card
// objects built from its entries. GC_Object::objectInfo points back at it; the path must stay
// the first member (object creation points a new object at a record by its path).
struct GC_PKCS15ObjectInfo {
    // File identifier of the directory file (ODF entry {X, 30, 04}).
    std::vector<unsigned char> path;
    // Offset of the directory in that file ({X, 30, 02}).
    uint64_t index = 0;
    // Length of the directory ({X, 30, 80}); 0 reads to the end of the file.
    uint64_t length = 0;
    // What the directory holds: GC_DataPKCS15::object_kind.
    uint32_t kind = 0;
    // The objects of the directory's entries, in entry order.
    std::vector<std::unique_ptr<GC_Object>> objects;
};

// The PKCS#15 card layout: reads EF.DIR, each application's TokenInfo and ODF, its
// authentication objects and object directories, and builds one container per PIN.
//
// The layout holds the application records of the newest discovery, and through them the
// directory records, the card objects and the PIN records. Containers and callers hold plain
// pointers into them; each container also keeps a share of the records its objects live in
// (GC_Container::keepAlive). A new discovery replaces the layout's records, so memory stays
// bounded over any number of readings, while the records of an earlier one live on as long as a
// container built from them is held.
class GC_DataPKCS15 : public GC_Data {
public:
    using object_info = GC_PKCS15ObjectInfo;

    // Directory kinds, by ODF entry tag. 1, 2, 4 and 8 equal the object type codes.
    enum object_kind : uint32_t {
        KIND_PRIVATE_KEYS = 1,   // A0, PrKDF
        KIND_PUBLIC_KEYS = 2,    // A1, PuKDF
        KIND_CERTIFICATES = 4,   // A4, CDF
        KIND_DATA_OBJECTS = 8,   // A7, DODF
        KIND_AUTH_OBJECTS = 16,  // A8, AODF
    };

    // One PIN entry of an application's AODF.
    struct pin_info {
        // Where the entry lives: the AODF's file identifier, offset and length.
        std::vector<unsigned char> aodfPath;
        uint64_t aodfOffset = 0;
        uint64_t aodfLength = 0;
        // Directory in which the PIN lives (PinAttributes path); may be empty.
        std::vector<unsigned char> pinPath;
        std::string label;
        // The PIN's own authId (CommonAuthenticationObjectAttributes).
        uint8_t authId = 0;
        // The authId in the entry's common object attributes: the PIN that governs this one.
        uint8_t parentAuthId = 0;
        uint8_t pinReference = 0;
        // Low byte of minLength and of the last INTEGER of PinAttributes.
        uint64_t minLength = 0;
        uint64_t maxLength = 0;
        // Set when the record is made; nothing reads them.
        uint32_t status = 1;
        uint64_t reserved = 0;
        // The PIN record of the container built for this entry (not owned); null until then.
        GC_Container::pin_record* containerPin = nullptr;
    };

    // One application listed in EF.DIR. Members are destroyed in reverse order: the PIN
    // records first, then the directory records with their objects, then the rest.
    struct app_info {
        std::string label;                         // EF.DIR {T, 50}
        std::vector<unsigned char> aid;            // EF.DIR {T, 4F}
        std::vector<unsigned char> path;           // EF.DIR {T, 51}
        std::vector<unsigned char> tokenInfoPath;  // EF.DIR {T, 73, A0, 04}
        std::vector<unsigned char> version;        // TokenInfo {30, 02}
        std::vector<unsigned char> serialNumber;   // TokenInfo {30, 04}
        std::vector<unsigned char> manufacturer;   // TokenInfo {30, 0C}
        std::string tokenLabel;                    // TokenInfo {30, 80}
        std::vector<unsigned char> odfPath;        // EF.DIR {T, 73, 30, 04}
        std::vector<std::unique_ptr<object_info>> objectInfos;
        std::vector<std::unique_ptr<pin_info>> pinInfos;
    };

    // Which failed directory reads parseObjects passes over besides a deactivated directory.
    enum parse_failure : uint32_t {
        // None: every directory the ODF names must be read.
        FAIL_ON_FIRST_READ = 0,
        // A directory file the card does not have (6A 82): the fixed regions of the first card
        // generation may name files a card does not have.
        SKIP_MISSING_FILES = 1,
    };

    explicit GC_DataPKCS15(GC_Controller* controller);
    // Destroys the application records from the last to the first.
    ~GC_DataPKCS15() override;

    // Reads every application of the card and appends one container per PIN (or one without
    // PIN for an application without PIN entries). 0 or the first failure; the containers of
    // the applications read before a failure stay in the list.
    int getContainers(std::vector<std::shared_ptr<GC_Container>>& containers) override;
    // Reads the contents of the listed certificates, public keys and data objects from their
    // content files; a certificate gives its key to the public key of the same ID that has none.
    // Every object is tried. A content the card does not have or has deactivated, or one that
    // does not parse, is passed over (logged); 0 unless a read failed through the card or the
    // channel (its code, the first such), or an object is not the layout's or lies beyond any card
    // file (-1102).
    int readObjects(std::vector<GC_Object*>& objects) override;

    // The writing operations change the card only in place (files never grow), plan every write
    // from the files as read before making the first, and write the bytes read back over all of
    // them when one fails, returning that write's code. The layout's lists change only when
    // every write succeeded; the i-th object of a directory record always stands for the i-th
    // entry of its directory that makes an object.

    // Takes the object's entry out of its directory and its content out of its content file,
    // lowering the index of every entry of the application behind that content. 0 (the object
    // is destroyed); -2317 when the entry in the object's place is not the object's; -1100 or
    // -1504 when an entry shares bytes with the content or the content lies outside its file.
    int deleteObject(GC_Object* object) override;
    // Appends an entry for the new private key, public key or certificate to the directory that
    // the object's link names, and the content behind everything its content file holds. 0 with
    // out set to the layout's copy; -1102, -1100, -1504 or a read's code before any write.
    int createObject(GC_Object* templ, GC_Container* container, GC_Object** out) override;
    // Deletes all of the container's objects (as deleteObject, all or none) and, when the
    // container's name holds text, gives the container's PIN entry the label text. 0; -2317
    // when the container had no objects.
    int initContainer(std::shared_ptr<GC_Container>& container, std::string text) override;

    // Appends a PIN record for every PIN entry of the application's AODFs. 0, the failing
    // read's code, or -1100 for an AODF that does not parse.
    int parseAuthObjects(app_info* app);
    // Fills the object lists of the application's PrKDF, PuKDF, CDF and DODF records; a directory
    // that cannot be read gives no objects and the others are still read. 0, or the code of the
    // first failed read; a deactivated directory (-1508), and under SKIP_MISSING_FILES one the
    // card does not have (-1505), is passed over and no failure.
    int parseObjects(app_info* app, parse_failure rule = FAIL_ON_FIRST_READ);
    // The key references of the entries of a private-key directory's content. 0, or -1100 when
    // the content or one of its entries does not parse (nothing is then known of any reference).
    static int privateKeyReferences(const std::vector<unsigned char>& content, std::vector<uint8_t>& references);
    // Every object of the application: directory records in order, their objects in order.
    std::vector<GC_Object*> getAllObjects(app_info* app);

    // Readers of PKCS#15 flag BIT STRINGs (content octets: unused-bit count, then the bits,
    // most significant first). Each returns the library mask, 0 for an empty or bitless input.
    // Common object flags: private 1, modifiable 2.
    static uint64_t parseFlags(const std::vector<unsigned char>& bits);
    // Key usage: encrypt/decrypt 1; sign, signRecover, unwrap, verify, verifyRecover 2; wrap 8;
    // derive 4; nonRepudiation 16.
    static uint64_t parseKeyUsageFlags(const std::vector<unsigned char>& bits);
    // Key access: bit i gives 1 << i for sensitive, extractable, alwaysSensitive,
    // neverExtractable and local.
    static uint64_t parseKeyAccessFlags(const std::vector<unsigned char>& bits);

    // Writers of the same BIT STRINGs for new directory entries: always three content octets.
    // Common object flags: private (bit 0), modifiable (bit 1); leading octet 06.
    static std::vector<unsigned char> parseFlags(unsigned long long mask);
    // Key usage, leading octet 06. Form true (private and public keys written by this layout):
    // encrypt 1 as decrypt, sign 2 as sign and signRecover, derive 4, wrap 8. Form false:
    // encrypt 1 as encrypt, sign 2 as verify and verifyRecover, derive 4, wrap 8 as unwrap.
    // Non-repudiation 16 is nonRepudiation (bit 9) in both forms, so it reads back as 16.
    static std::vector<unsigned char> parseKeyUsageFlags(unsigned long long mask, bool form);
    // Key access, leading octet 05: mask bit i as bit-string bit i for i = 0 to 4.
    static std::vector<unsigned char> parseKeyAccessFlags(unsigned long long mask);

    // The PIN entry of the container's PIN record: the one the record was built for, else one with
    // the record's path and reference and the container's auth id. Null for a null container, one
    // without PIN record, or a PIN no entry describes.
    const pin_info* findPinInfo(const GC_Container* container) const;

    // The PIN reference of the application's first PIN record with this authId; 0 when none.
    static uint8_t id2ref(uint8_t authId, const app_info* app);

    // A new discovery begins: the layout lets go of the records of the one before (containers
    // built from them keep theirs). Every discovery calls it before its first record.
    void startDiscovery();
    // Takes an application record that a card controller read by a layout of its own; it stays
    // until the next discovery. Returns the record as held.
    app_info* appendApplication(std::shared_ptr<app_info> app);

    // Look-ups go over the records of the newest discovery only: objects and PINs of an earlier
    // one are not found.

    // The application and directory record whose object list holds this very object (pointer
    // identity; applications from the newest, then records, then objects in list order). 0, or
    // -1102.
    int findObjectInfo(GC_Object* object, app_info** app, object_info** info);
    // The first public key (type 2) of objects whose ID equals the certificate's. 0, or 1 when
    // there is none or the certificate is null.
    static int findRelatedPubKey(std::vector<GC_Object*>& objects, GC_CertObject* cert, GC_PubKeyObject** out);
    // The application of the container's PIN. 0, or -1102 (app unchanged) for a null container,
    // a container without PIN or one that no application's PIN records describe.
    int findAppInfo(GC_Container* container, app_info** app);
    // The application's directory records of the object's kind whose file is the one named by
    // the path of the record the object's directory link points at, in the application's order.
    // 0 (also when none is found), or -1102 for a null application, object or link.
    static int findObjInfoByPath(app_info* app, GC_Object* object, std::vector<object_info*>& found);
    // The application's directory records of the object's kind, in order. 0, or -1102.
    static int findObjectTypes(app_info* app, GC_Object* object, std::vector<object_info*>& out);
    // Drops the object from the layout without touching the card: it is destroyed. 0, or
    // -1102 when no directory record holds it.
    int deleteObjectFromAppInfo(GC_Object* object);
    // Erases the object from the record's list (destroying it) when the list holds it. 0, also
    // when it does not; -1102 for a null object or record.
    static int deleteObjectFromObjectInfo(GC_Object* object, object_info* info);

protected:
    // The applications of the newest discovery, in the order read.
    std::vector<std::shared_ptr<app_info>> applications;

private:
    // Reads one application's TokenInfo, ODF and directories into app. 0 or a failure code.
    int readApplication(app_info* app);
    // Builds the containers of one application (already read) and appends them.
    void buildContainers(const std::shared_ptr<app_info>& app, std::vector<std::shared_ptr<GC_Container>>& containers);
    // The layout's share of one of its application records; null when it holds no such record.
    std::shared_ptr<app_info> shareOf(const app_info* app) const;

    void parsePrivateKeys(app_info* app, object_info* info, const std::vector<GC_ASN1::item>& entries);
    void parsePublicKeys(object_info* info, const std::vector<GC_ASN1::item>& entries);
    void parseCertificates(object_info* info, const std::vector<GC_ASN1::item>& entries);
    void parseDataObjects(object_info* info, const std::vector<GC_ASN1::item>& entries);
};
