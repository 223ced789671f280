#include "Data/datapkcs15_image.h"

#include <algorithm>

#include "Data/datapkcs15_internal.h"

namespace gc_pkcs15 {

namespace {

// The parser's tag rule: a byte whose low five bits are all set is followed by another.
inline bool tagContinues(unsigned char b) {
    return (b & 0x1F) == 0x1F;
}

// The ID as the directory reader takes it: an inner OCTET STRING header (04 L) is dropped when
// the content is at least 3 bytes long and starts with 04.
Bytes unwrapId(Bytes id) {
    if (id.size() >= 3 && id[0] == kOctetString) id.erase(id.begin(), id.begin() + 2);
    return id;
}

// The attribute SEQUENCEs directly under an entry: common object attributes, then the common
// key or certificate attributes. Certificates are read only from SEQUENCE entries.
std::vector<GC_ASN1::item> classSequences(uint32_t kind, const GC_ASN1::item& entry) {
    if (kind == GC_DataPKCS15::KIND_CERTIFICATES) return findAll(entry, {kSequence, kSequence});
    if (entry.tag.empty()) return {};
    return findAll(entry, pathFrom(entry, {kSequence}));
}

// Puts back the bytes a planned write found. What made the write fail may have taken the channel
// with it unnoticed (a card that dropped it after writing): the channel is reopened and the
// write-back made once more; the same bytes written twice do no harm.
int writeBack(GC_Controller* controller, const Write& write) {
    Bytes old = write.old;
    const int rc = controller->update(old, write.aid, write.path, write.offset, false, true);
    if (!GC_Controller::channelLost(rc) || controller->restoreSecureConnection() != 0) return rc;
    old = write.old;
    return controller->update(old, write.aid, write.path, write.offset, false, true);
}

}  // namespace

size_t tlvSizeAt(const Bytes& data, size_t offset) {
    const size_t size = data.size();
    size_t pos = offset;
    if (pos >= size) return 0;
    while (tagContinues(data[pos])) {
        if (++pos >= size) return 0;
    }
    ++pos;
    if (pos >= size) return 0;
    const unsigned char first = data[pos++];
    uint64_t length = first;
    if (first == 0x80) return 0;  // indefinite: never located byte for byte
    if (first > 0x80) {
        const size_t count = first & 0x7F;
        if (count > size - pos) return 0;
        const size_t stop = pos + count;
        while (pos < stop && data[pos] == 0x00) ++pos;
        if (stop - pos > 8) return 0;
        length = 0;
        for (; pos < stop; ++pos) length = (length << 8) | data[pos];
    }
    if (length > size - pos) return 0;
    return pos + static_cast<size_t>(length) - offset;
}

int parseImage(Bytes data, Image& out) {
    out = Image{};
    out.data = std::move(data);
    const int parsed = GC_ASN1::deserialize(out.items, out.data, true);
    if (parsed != 0) return parsed;

    const Bytes& d = out.data;
    size_t pos = 0;
    while (pos < d.size() && d[pos] != 0x00) {
        const size_t size = tlvSizeAt(d, pos);
        if (size == 0) return -1;
        out.starts.push_back(pos);
        out.sizes.push_back(size);
        pos += size;
    }
    out.end = pos;

    // Each located item must be the parsed one: same tag, same content bytes.
    if (out.starts.size() != out.items.size()) return -1;
    for (size_t i = 0; i < out.items.size(); ++i) {
        const GC_ASN1::item& it = out.items[i];
        const size_t start = out.starts[i];
        const size_t size = out.sizes[i];
        if (it.value.size() + it.tag.size() > size) return -1;
        const size_t header = size - it.value.size();
        if (!std::equal(it.tag.begin(), it.tag.end(), d.begin() + static_cast<std::ptrdiff_t>(start))) return -1;
        if (!std::equal(it.value.begin(), it.value.end(), d.begin() + static_cast<std::ptrdiff_t>(start + header))) {
            return -1;
        }
    }
    return 0;
}

Bytes derInteger(uint64_t value) {
    Bytes out;
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
    while (out.size() > 1 && out[0] == 0x00) out.erase(out.begin());
    if ((out[0] & 0x80) != 0) out.insert(out.begin(), 0x00);
    return out;
}

int reencodeEntry(GC_ASN1::item changed, const GC_ASN1::item& parsed, const Bytes& original, Bytes& out) {
    // The fast parser's tree is trusted only when a strict parse of the same bytes encodes the
    // same: otherwise re-encoding could turn odd input into something else than a changed copy.
    std::vector<GC_ASN1::item> strict;
    if (GC_ASN1::deserialize(strict, original, false) != 0 || strict.size() != 1) return kGeneralFailure;
    GC_ASN1::item fast = parsed;
    const Bytes expected = GC_ASN1::serialize(strict[0]);
    if (expected.empty() || GC_ASN1::serialize(fast) != expected) return kGeneralFailure;
    out = GC_ASN1::serialize(changed);
    return out.empty() ? kGeneralFailure : 0;
}

bool makesObject(uint32_t kind, const GC_ASN1::item& entry) {
    switch (kind) {
        case GC_DataPKCS15::KIND_PRIVATE_KEYS:
        case GC_DataPKCS15::KIND_PUBLIC_KEYS:
            if (entry.tag.empty() || (entry.tag[0] != kContextA0 && entry.tag[0] != kSequence)) return false;
            return classSequences(kind, entry).size() >= 2;
        case GC_DataPKCS15::KIND_CERTIFICATES:
            return classSequences(kind, entry).size() >= 2;
        case GC_DataPKCS15::KIND_DATA_OBJECTS:
            return true;
        default:
            return false;
    }
}

std::vector<size_t> objectPositions(uint32_t kind, const std::vector<GC_ASN1::item>& entries) {
    std::vector<size_t> positions;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (makesObject(kind, entries[i])) positions.push_back(i);
    }
    return positions;
}

std::string entryLabel(uint32_t kind, const GC_ASN1::item& entry) {
    if (kind == GC_DataPKCS15::KIND_DATA_OBJECTS) return textAt(entry, {kSequence, kSequence, kUtf8String});
    const std::vector<GC_ASN1::item> sequences = classSequences(kind, entry);
    if (sequences.empty()) return {};
    return textAt(sequences[0], {kSequence, kUtf8String});
}

Bytes entryId(uint32_t kind, const GC_ASN1::item& entry) {
    if (kind == GC_DataPKCS15::KIND_DATA_OBJECTS) return {};
    const std::vector<GC_ASN1::item> sequences = classSequences(kind, entry);
    if (sequences.size() < 2) return {};
    return unwrapId(bytesAt(sequences[1], {kSequence, kOctetString}));
}

Bytes indexPath(uint32_t kind, const GC_ASN1::item& entry) {
    if (kind == GC_DataPKCS15::KIND_DATA_OBJECTS) return pathFrom(entry, {kContextA1, kSequence, kInteger});
    return pathFrom(entry, {kContextA1, kSequence, kSequence, kInteger});
}

ContentRef entryContent(uint32_t kind, const GC_ASN1::item& entry) {
    ContentRef ref;
    if (entry.tag.empty()) return ref;
    if (kind == GC_DataPKCS15::KIND_DATA_OBJECTS) {
        ref.path = bytesAt(entry, pathFrom(entry, {kContextA1, kSequence, kOctetString}));
        ref.length = numberAt(entry, pathFrom(entry, {kContextA1, kSequence, kContext0}));
    } else {
        ref.path = bytesAt(entry, pathFrom(entry, {kContextA1, kSequence, kSequence, kOctetString}));
        ref.length = numberAt(entry, pathFrom(entry, {kContextA1, kSequence, kSequence, kContext0}));
    }
    ref.index = numberAt(entry, indexPath(kind, entry));
    return ref;
}

void addChange(std::vector<Write>& writes, const Bytes& aid, const Bytes& path, uint64_t base, const Bytes& old,
               const Bytes& updated) {
    const size_t size = std::min(old.size(), updated.size());
    size_t first = 0;
    while (first < size && old[first] == updated[first]) ++first;
    if (first == size) return;
    size_t last = size;
    while (old[last - 1] == updated[last - 1]) --last;
    Write write;
    write.aid = aid;
    write.path = path;
    write.offset = base + first;
    write.data.assign(updated.begin() + static_cast<std::ptrdiff_t>(first),
                      updated.begin() + static_cast<std::ptrdiff_t>(last));
    write.old.assign(old.begin() + static_cast<std::ptrdiff_t>(first), old.begin() + static_cast<std::ptrdiff_t>(last));
    writes.push_back(std::move(write));
}

bool overlapping(const std::vector<Write>& writes) {
    for (size_t i = 0; i < writes.size(); ++i) {
        for (size_t j = i + 1; j < writes.size(); ++j) {
            const Write& a = writes[i];
            const Write& b = writes[j];
            if (a.aid != b.aid || a.path != b.path) continue;
            if (a.offset < b.offset + b.data.size() && b.offset < a.offset + a.data.size()) return true;
        }
    }
    return false;
}

int runWrites(GC_Controller* controller, const std::vector<Write>& writes, size_t& failed, std::vector<int>& restores) {
    restores.clear();
    if (controller == nullptr) return writes.empty() ? 0 : kNoReader;
    for (size_t k = 0; k < writes.size(); ++k) {
        const Write& w = writes[k];
        Bytes data = w.data;
        const int result = controller->update(data, w.aid, w.path, w.offset, false, true);
        if (result == 0) continue;
        // The failed write may have reached the card in part: it is put back too.
        failed = k;
        for (size_t j = k + 1; j-- > 0;) restores.push_back(writeBack(controller, writes[j]));
        return result;
    }
    return 0;
}

int readArea(GC_Controller* controller, const Bytes& aid, const Bytes& path, uint64_t offset, uint64_t length,
             Bytes& out, unsigned long* size) {
    out.clear();
    if (controller == nullptr) return kNoReader;
    return controller->read(out, aid, path, offset, length, size, false, true, GC_Controller::READ_SELECT, {});
}

}  // namespace gc_pkcs15
