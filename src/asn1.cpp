// The building half of the BER-TLV codec: making items, rebuilding and writing them in DER form, and
// finding items by tag path.

#include "asn1.h"

#include <utility>

#include "logger.h"

namespace {

constexpr const char* kLogFile = "asn1";
constexpr unsigned long kLogMask = gc_log::kAsn1;

inline bool tagContinues(unsigned char b) {
    return (b & 0x1F) == 0x1F;
}

// Length of the first tag of a path (0 for an empty path). A tag cut off by the end of the path
// counts as no tag at all: no item can carry it.
size_t firstTagLength(const unsigned char* path, size_t size) {
    if (size == 0) return 0;
    size_t n = 0;
    while (n < size) {
        if (!tagContinues(path[n++])) return n;
    }
    return 0;
}

bool sameTag(const std::vector<unsigned char>& tag, const unsigned char* path, size_t n) {
    if (tag.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (tag[i] != path[i]) return false;
    }
    return true;
}

// Depth-first, document-order matching of a tag path from an item (the item itself first). With
// limit set, matching stops once out holds limit items.
void matchCopies(const GC_ASN1::item& it, const unsigned char* path, size_t size, std::vector<GC_ASN1::item>& out,
                 size_t limit) {
    if (limit != 0 && out.size() >= limit) return;
    const size_t n = firstTagLength(path, size);
    if (n == 0 || !sameTag(it.tag, path, n)) return;
    if (n == size) {
        out.push_back(it);
        return;
    }
    for (const GC_ASN1::item& child : it.children) {
        matchCopies(child, path + n, size - n, out, limit);
        if (limit != 0 && out.size() >= limit) return;
    }
}

void matchPointers(GC_ASN1::item& it, const unsigned char* path, size_t size, std::vector<GC_ASN1::item*>& out) {
    const size_t n = firstTagLength(path, size);
    if (n == 0 || !sameTag(it.tag, path, n)) return;
    if (n == size) {
        out.push_back(&it);
        return;
    }
    for (GC_ASN1::item& child : it.children) matchPointers(child, path + n, size - n, out);
}

void appendLength(std::vector<unsigned char>& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<unsigned char>(length));
        return;
    }
    unsigned char count = 0;
    for (size_t v = length; v != 0; v >>= 8) ++count;
    out.push_back(static_cast<unsigned char>(0x80 | count));
    for (int shift = 8 * (count - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(length >> shift));
}

size_t lengthBytes(size_t length) {
    if (length < 0x80) return 1;
    size_t count = 1;
    for (size_t v = length; v != 0; v >>= 8) ++count;
    return count;
}

}  // namespace

int GC_ASN1::createTag(item& out, std::vector<unsigned char> tag, std::vector<unsigned char> value, bool primitive) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (tag.empty()) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, gc_log::kError, -3);
        return -3;
    }
    out.children.clear();
    out.primitive = primitive;
    out.number = 0;
    out.depth = 0;
    out.tag = std::move(tag);
    out.value = std::move(value);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

// An added child's number: one more than the items its tag finds in the parent as a path, that
// is 2 when the parent carries the same tag and 1 otherwise.
static uint64_t childNumber(GC_ASN1::item& parent, const GC_ASN1::item& child) {
    std::vector<GC_ASN1::item*> found;
    GC_ASN1::getTag(parent, child.tag, found);
    return found.size() + 1;
}

int GC_ASN1::addChild(item& parent, item& child) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    ++child.depth;
    if (child.tag.empty()) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, gc_log::kError, -3, "Tag to add is empty");
        return -3;
    }
    child.number = childNumber(parent, child);
    parent.children.push_back(child);
    parent.value.clear();
    const int result = serializeData(parent);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, result == 0 ? kLogMask : gc_log::kError, result);
    return result;
}

int GC_ASN1::addChild(item& parent, std::vector<item>& children) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    for (item& child : children) {
        ++child.depth;
        if (child.tag.empty()) {
            GC_LoggerC::ret2(__func__, kLogFile, __LINE__, gc_log::kError, -3, "Tag to add is empty");
            return -3;
        }
        child.number = childNumber(parent, child);
    }
    // children may be the parent's own list: copy before appending.
    std::vector<item> copies = children;
    for (item& child : copies) parent.children.push_back(std::move(child));
    parent.value.clear();
    const int result = serializeData(parent);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, result == 0 ? kLogMask : gc_log::kError, result);
    return result;
}

int GC_ASN1::serializeData(item& it) {
    if (it.primitive) return 0;
    if (it.tag.empty()) return -3;

    // Children first; one that cannot be rebuilt is left out of the parent's encoding.
    std::vector<bool> usable(it.children.size());
    size_t total = 0;
    for (size_t i = 0; i < it.children.size(); ++i) {
        item& child = it.children[i];
        usable[i] = serializeData(child) == 0;
        if (usable[i]) total += child.tag.size() + lengthBytes(child.value.size()) + child.value.size();
    }
    it.value.clear();
    it.value.reserve(total);
    for (size_t i = 0; i < it.children.size(); ++i) {
        if (!usable[i]) continue;
        const item& child = it.children[i];
        it.value.insert(it.value.end(), child.tag.begin(), child.tag.end());
        appendLength(it.value, child.value.size());
        it.value.insert(it.value.end(), child.value.begin(), child.value.end());
    }
    return 0;
}

int GC_ASN1::serializeData(std::vector<item>& items) {
    int result = 0;
    for (item& it : items) result = serializeData(it);
    return result;
}

std::vector<unsigned char> GC_ASN1::serialize(item& it) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::vector<unsigned char> out;
    if (serializeData(it) != 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, gc_log::kError, "Cannot serialize data");
        GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
        return out;
    }
    out.reserve(it.tag.size() + lengthBytes(it.value.size()) + it.value.size());
    out.insert(out.end(), it.tag.begin(), it.tag.end());
    appendLength(out, it.value.size());
    out.insert(out.end(), it.value.begin(), it.value.end());
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return out;
}

std::vector<unsigned char> GC_ASN1::serialize(std::vector<item>& items) {
    std::vector<unsigned char> out;
    for (item& it : items) {
        const std::vector<unsigned char> one = serialize(it);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

std::vector<unsigned char> GC_ASN1::getLength2Byte(const std::vector<unsigned char>& value) {
    std::vector<unsigned char> out;
    appendLength(out, value.size());
    return out;
}

int GC_ASN1::getLength(const std::vector<unsigned char>& bytes, bool allBytes) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    uint64_t number = 0;
    if (!bytes.empty()) {
        const unsigned char first = bytes[0];
        if (first >= 0x80 && first <= 0x8F) {
            const size_t count = first & 0x0F;
            if (count != 0 && bytes.size() > count) {
                for (size_t i = 1; i <= count; ++i) number = (number << 8) | bytes[i];
            }
        } else if (!allBytes || bytes.size() == 1) {
            number = first;
        } else {
            for (unsigned char b : bytes) number = (number << 8) | b;
        }
    }
    const int result = static_cast<int32_t>(static_cast<uint32_t>(number));
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}

void GC_ASN1::getPrimitiveTag(std::vector<unsigned char>& path, std::vector<unsigned char>& tag) {
    if (path.empty()) return;
    size_t n = 0;
    while (n < path.size()) {
        if (!tagContinues(path[n++])) break;
    }
    tag.insert(tag.end(), path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n));
    path.erase(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n));
}

void GC_ASN1::getTag(const item& it, const std::vector<unsigned char>& path, std::vector<item>& out, bool firstOnly) {
    // First-only stops when the output holds exactly one item: at once when it already does, after
    // the first match when it was empty, and never when it held more.
    if (firstOnly && out.size() == 1) return;
    const size_t limit = firstOnly && out.empty() ? 1 : 0;
    std::vector<item> found;
    matchCopies(it, path.data(), path.size(), found, limit);
    for (item& f : found) out.push_back(std::move(f));
}

void GC_ASN1::getTag(item& it, const std::vector<unsigned char>& path, std::vector<item*>& out) {
    matchPointers(it, path.data(), path.size(), out);
}

void GC_ASN1::getData(const std::vector<item>& items, const std::vector<unsigned char>& path, std::vector<item>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::vector<item> found;
    for (const item& it : items) matchCopies(it, path.data(), path.size(), found, 0);
    out = std::move(found);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_ASN1::getData(const std::vector<item>& items, const std::vector<unsigned char>& path, item& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::vector<item> found;
    for (const item& it : items) {
        matchCopies(it, path.data(), path.size(), found, 1);
        if (!found.empty()) break;
    }
    out = found.empty() ? item{} : std::move(found.front());
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_ASN1::getData(const item& it, const std::vector<unsigned char>& path, std::vector<item>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::vector<item> found;
    matchCopies(it, path.data(), path.size(), found, 0);
    out = std::move(found);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

void GC_ASN1::getData(const item& it, const std::vector<unsigned char>& path, item& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::vector<item> found;
    matchCopies(it, path.data(), path.size(), found, 1);
    if (found.empty()) {
        out = item{};
    } else {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask | gc_log::kMessage,
                        "In ASN1 is more child with this tag");
        out = std::move(found.front());
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

int GC_ASN1::modifyTag(item& root, const std::vector<unsigned char>& path, const std::vector<unsigned char>& value,
                       const unsigned long& index) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::vector<item*> found;
    getTag(root, path, found);
    if (found.empty()) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, gc_log::kError, -2, "Tag not found in ASN1 stucture");
        return -2;
    }
    if (index >= found.size()) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, gc_log::kError, -5, "Index is to big");
        return -5;
    }
    item* target = found[index];
    if (!target->primitive) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, gc_log::kError, -4, "Tag is not primitive");
        return -4;
    }
    // value may lie inside the tree itself: copy it before anything changes.
    std::vector<unsigned char> newValue = value;
    target->value = std::move(newValue);
    const int result = serializeData(root);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, result == 0 ? kLogMask : gc_log::kError, result);
    return result;
}
