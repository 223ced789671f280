#pragma once

// Helpers shared by the source files of the PKCS#15 layout.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "Controller/controller.h"
#include "asn1.h"
#include "common.h"

class GC_Object;

namespace gc_pkcs15 {

inline constexpr const char* kLogFile = "Data/datapkcs15";

inline constexpr int kGeneralFailure = -1100;
inline constexpr int kNotSupported = -1101;
inline constexpr int kFileNotFound = -1505;
inline constexpr int kTagNotFound = -1506;
inline constexpr int kFileNotActive = -1508;
inline constexpr int kNoReader = -1901;

// Tags of the directory entries.
inline constexpr unsigned char kSequence = 0x30;
inline constexpr unsigned char kBoolean = 0x01;
inline constexpr unsigned char kInteger = 0x02;
inline constexpr unsigned char kBitString = 0x03;
inline constexpr unsigned char kOctetString = 0x04;
inline constexpr unsigned char kUtf8String = 0x0C;
inline constexpr unsigned char kContext0 = 0x80;   // [0] primitive
inline constexpr unsigned char kContextA0 = 0xA0;  // [0] constructed
inline constexpr unsigned char kContextA1 = 0xA1;  // [1] constructed

// The first item that path reaches from it; an empty item when none.
inline GC_ASN1::item find(const GC_ASN1::item& it, const std::vector<unsigned char>& path) {
    GC_ASN1::item out;
    GC_ASN1::getData(it, path, out);
    return out;
}

// Every item that path reaches from it, in document order.
inline std::vector<GC_ASN1::item> findAll(const GC_ASN1::item& it, const std::vector<unsigned char>& path) {
    std::vector<GC_ASN1::item> out;
    GC_ASN1::getData(it, path, out);
    return out;
}

// The content of the first item that path reaches from it (empty when none).
inline std::vector<unsigned char> bytesAt(const GC_ASN1::item& it, const std::vector<unsigned char>& path) {
    return find(it, path).value;
}

// The content read as a big-endian unsigned number; 0 when the item is absent.
inline uint64_t numberAt(const GC_ASN1::item& it, const std::vector<unsigned char>& path) {
    return byte2ULong(bytesAt(it, path), true, 0);
}

// The low byte of numberAt (one-byte fields keep the last content byte).
inline uint8_t byteAt(const GC_ASN1::item& it, const std::vector<unsigned char>& path) {
    return static_cast<uint8_t>(numberAt(it, path) & 0xFF);
}

inline std::string textAt(const GC_ASN1::item& it, const std::vector<unsigned char>& path) {
    return GC_CommonStr::byte2Str(bytesAt(it, path));
}

// A path that starts with the item's own tag (all its bytes), then the given child tags.
inline std::vector<unsigned char> pathFrom(const GC_ASN1::item& it, std::initializer_list<unsigned char> rest) {
    std::vector<unsigned char> path = it.tag;
    path.insert(path.end(), rest.begin(), rest.end());
    return path;
}

// The ID of a key or certificate, which relates the objects of one pair; null for other objects.
const std::vector<unsigned char>* idOf(GC_Object* object);

// Whole-directory read as the layout does it: select the file under dir, mode 1, no size.
inline int readFile(GC_Controller* controller, std::vector<unsigned char>& out, const std::vector<unsigned char>& dir,
                    const std::vector<unsigned char>& fid, uint64_t offset, uint64_t length, bool selectApplication) {
    if (controller == nullptr) return kNoReader;
    return controller->read(out, dir, fid, offset, length, nullptr, selectApplication, true, GC_Controller::READ_SELECT,
                            {});
}

}  // namespace gc_pkcs15
