#pragma once

// What the write side of the PKCS#15 layout needs of the card files it changes: each directory
// area or content file as read, with every top-level item located byte for byte, so that a
// change rewrites only the items it concerns and every restore writes back the bytes read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Controller/controller.h"
#include "Data/datapkcs15.h"
#include "asn1.h"

namespace gc_pkcs15 {

using Bytes = std::vector<unsigned char>;

inline constexpr int kNotFound = -1102;
inline constexpr int kTooBig = -1504;
inline constexpr int kEntryNotFound = -2317;

// A directory area or content file as read.
struct Image {
    Bytes data;
    // The top-level items as the directory reader parses them (fast parser).
    std::vector<GC_ASN1::item> items;
    // Where the encoding of each item starts in data, and its size.
    std::vector<size_t> starts;
    std::vector<size_t> sizes;
    // End of the last item; what follows is padding (a 00 byte where a tag is due ends the data).
    size_t end = 0;
};

// Parses data and locates its items. 0; the parser's code; or -1 when the items cannot be
// located byte for byte (indefinite lengths, or bytes that the parser reads another way).
int parseImage(Bytes data, Image& out);

// Size of the TLV that starts at offset (the tag rules of the parser, definite lengths); 0
// when none fits in data there.
size_t tlvSizeAt(const Bytes& data, size_t offset);

// Content octets of a non-negative INTEGER in minimal two's-complement form (224: 00 E0).
Bytes derInteger(uint64_t value);

// The entry re-encoded in DER after a change. Refuses (-1100) when the parsed tree of the
// entry does not stand for its original bytes, as a strict parse of them tells.
int reencodeEntry(GC_ASN1::item changed, const GC_ASN1::item& parsed, const Bytes& original, Bytes& out);

// Whether the directory reader makes an object of this entry of a directory of the kind.
bool makesObject(uint32_t kind, const GC_ASN1::item& entry);
// The entry positions that make objects, in order: the i-th object of a directory record
// stands for entries[positions[i]].
std::vector<size_t> objectPositions(uint32_t kind, const std::vector<GC_ASN1::item>& entries);

// Label and ID of an entry, read the way the directory reader reads them.
std::string entryLabel(uint32_t kind, const GC_ASN1::item& entry);
Bytes entryId(uint32_t kind, const GC_ASN1::item& entry);

// Where an entry's content lies: its content file, the index and the length (0 when absent).
struct ContentRef {
    Bytes path;
    uint64_t index = 0;
    uint64_t length = 0;
};
ContentRef entryContent(uint32_t kind, const GC_ASN1::item& entry);
// Tag path of the index item of an entry, from the entry itself.
Bytes indexPath(uint32_t kind, const GC_ASN1::item& entry);

// One planned card write: `data` goes to `offset` of the file, over `old`, the bytes read from
// there (same size), which a restore writes back.
struct Write {
    Bytes aid;
    Bytes path;
    uint64_t offset = 0;
    Bytes data;
    Bytes old;
};

// Plans the write that turns `old` (read at `base` of the file) into `updated` (the same size):
// only the window from the first to the last changed byte; nothing when they are equal.
void addChange(std::vector<Write>& writes, const Bytes& aid, const Bytes& path, uint64_t base, const Bytes& old,
               const Bytes& updated);

// Whether two planned writes touch the same bytes of one file (the second would restore or
// overwrite what the first wrote).
bool overlapping(const std::vector<Write>& writes);

// Makes the writes in order. When one fails, the old bytes are written back over it and over
// every write before it, the last first (a write-back that finds the channel lost is made again
// on a reopened one), and its code is returned; `failed` is then its
// position and `restores` holds the write-backs' results in the order made. 0 when all succeed.
int runWrites(GC_Controller* controller, const std::vector<Write>& writes, size_t& failed, std::vector<int>& restores);

// Reads an area of a file in an application (mode 1, the flags the layout always passes).
int readArea(GC_Controller* controller, const Bytes& aid, const Bytes& path, uint64_t offset, uint64_t length,
             Bytes& out, unsigned long* size = nullptr);

}  // namespace gc_pkcs15
