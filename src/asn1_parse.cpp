// The parsing half of the BER-TLV codec: the iterative parser that every card file goes through and
// the recursive one that the data object falls back to.

#include <utility>

#include "asn1.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "asn1";
constexpr unsigned long kLogMask = gc_log::kAsn1;
constexpr unsigned long kDetailMask = gc_log::kAsn1 | gc_log::kDetail;

constexpr unsigned char kConstructed = 0x20;
constexpr unsigned char kMoreTagBytes = 0x1F;
constexpr unsigned char kIndefinite = 0x80;
constexpr unsigned char kObjectFailed = 0x80;
constexpr unsigned char kObjectIndefinite = 0x01;

inline bool tagContinues(unsigned char b) {
    return (b & kMoreTagBytes) == kMoreTagBytes;
}

// Log arguments are ints in the system's messages; sizes are clipped rather than wrapped.
inline int logInt(unsigned long long v) {
    return v > 0x7FFFFFFFULL ? 0x7FFFFFFF : static_cast<int>(v);
}

}  // namespace

int GC_ASN1::deserialize(std::vector<item>& out, const std::vector<unsigned char>& data, bool fast) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    int result;
    if (fast) {
        result = parseFast(out, data);
    } else {
        unsigned long offset = 0;
        result = parseEx(out, data, offset, data.size(), 0, 0);
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}

int GC_ASN1::parseFast(std::vector<item>& out, const std::vector<unsigned char>& data) {
    const size_t size = data.size();
    std::vector<open_item> stack;
    size_t pos = 0;

    while (pos < size) {
        // Zero padding behind the data (or the end-of-contents of an open item) ends the parse.
        if (data[pos] == 0x00) return 0;

        const size_t start = pos;
        item it;
        for (;;) {
            const unsigned char b = data[pos++];
            it.tag.push_back(b);
            if (!tagContinues(b)) break;
            if (pos >= size) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError,
                                 "ASN1 is broken, len is to small | %i <= %i", logInt(size), logInt(pos));
                return -1;
            }
        }
        if (pos >= size) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "ASN1 is broken, len is to small | %i <= %i",
                             logInt(size), logInt(pos));
            return -1;
        }

        const bool constructed = (it.tag[0] & kConstructed) != 0;
        const unsigned char first = data[pos++];
        bool indefinite = false;
        uint64_t length = 0;
        if (first == kIndefinite) {
            GC_LoggerC::log(__func__, kLogFile, __LINE__, gc_log::kError,
                            "ASN1 have infinite length data | NOT SUPPORTED");
            if (!constructed) return -1;
            indefinite = true;
        } else if (first < kIndefinite) {
            length = first;
            if (length > size - pos) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError,
                                 "ASN1 is broken, length is to big | %i > %i", logInt(length), logInt(size - pos));
                return -1;
            }
        } else {
            const size_t count = first & 0x7F;
            // The long form needs its length bytes and at least one byte after them.
            if (count >= size - pos) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError,
                                 "ASN1 is broken, len is to small | %i <= %i", logInt(size), logInt(pos + count));
                return -1;
            }
            const size_t end = pos + count;
            while (pos < end && data[pos] == 0x00) ++pos;
            if (end - pos > 8) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError,
                                 "ASN1 is broken, length is to big | %i > %i", logInt(end - pos), 8);
                return -1;
            }
            for (; pos < end; ++pos) length = (length << 8) | data[pos];
            if (length > size - pos) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError,
                                 "ASN1 is broken, length is to big | %i > %i", logInt(length), logInt(size - pos));
                return -1;
            }
        }

        if (!indefinite) it.value.assign(data.begin() + pos, data.begin() + pos + length);
        it.primitive = !constructed;
        if (!constructed) pos += length;

        // Every open item has now lost these bytes from its count. A child that overruns its parent
        // makes the count pass zero; the parent then stays open (card files rely on this reading).
        const uint64_t consumed = pos - start;
        for (open_item& entry : stack) {
            if (!entry.unlimited) entry.left -= consumed;
        }

        std::vector<unsigned char> openTag;
        if (constructed && (indefinite || length > 0)) openTag = it.tag;
        addToTree(out, stack, std::move(it));

        while (!stack.empty() && !stack.back().unlimited && stack.back().left == 0) stack.pop_back();

        if (constructed && (indefinite || length > 0)) {
            if (stack.size() >= kMaxNesting) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError,
                                 "ASN1 is broken, nesting is to deep | %i > %i", logInt(stack.size() + 1),
                                 logInt(kMaxNesting));
                return -1;
            }
            stack.push_back(open_item{std::move(openTag), length, indefinite, false, 0, 0});
        }
    }
    return 0;
}

void GC_ASN1::addToTree(std::vector<item>& tree, std::vector<open_item>& stack, item it) {
    constexpr size_t kNone = static_cast<size_t>(-1);
    std::vector<item>* list = &tree;
    uint64_t levels = 0;
    // While every entry below finds what it found last time, an entry searches the same list as
    // last time, and only the items appended to it since then need a look.
    bool sameList = true;
    for (open_item& entry : stack) {
        // The open item is the last item of the list with the entry's tag; an entry that finds
        // nothing is passed over and the item goes into the list reached so far.
        const size_t size = list->size();
        const bool reuse = sameList && entry.searched && entry.scanned <= size;
        size_t found = reuse ? entry.found : kNone;
        const size_t stop = reuse ? entry.scanned : 0;
        for (size_t i = size; i > stop; --i) {
            if ((*list)[i - 1].tag == entry.tag) {
                found = i - 1;
                break;
            }
        }
        if (!reuse || found != entry.found) sameList = false;
        entry.searched = true;
        entry.found = found;
        entry.scanned = size;
        if (found != kNone) {
            list = &(*list)[found].children;
            ++levels;
        }
    }
    it.depth = levels;
    list->push_back(std::move(it));
}

int GC_ASN1::parseEx(std::vector<item>& out, const std::vector<unsigned char>& data, unsigned long& offset,
                     unsigned long length, unsigned long base, unsigned long depth) {
    if (length == 0) return 0;
    if (depth > kMaxNesting) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "ASN1 is broken, nesting is to deep | %i > %i",
                         logInt(depth), logInt(kMaxNesting));
        return -1;
    }
    const unsigned long start = offset;
    uint64_t number = 0;

    for (;;) {
        // A zero byte where a tag is due ends this level and, as the offset stays on it, every
        // enclosing level too.
        if (offset < data.size() && data[offset] == 0x00) return 0;

        item it;
        it.number = ++number;
        it.depth = depth;
        unsigned char cls = 0;
        const unsigned char flags = getObject(data, it, cls, offset);
        if ((flags & kObjectFailed) != 0) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Error in encoding | %i", 128);
            return -2;
        }

        // What is left of this level after the header just read; a header that runs past the
        // level is as wrong as content that does.
        const unsigned long used = offset - start;
        if (used > length) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Length is to big | %i > %i", logInt(used),
                             logInt(length));
            return -1;
        }
        const unsigned long unread = length - used;

        unsigned long contentLength = it.value.size();
        if ((flags & kConstructed) != 0) {
            if (contentLength > unread) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Length is to big | %i > %i",
                                 logInt(contentLength), logInt(unread));
                return -1;
            }
            const unsigned long contentStart = offset;
            std::vector<item> children;
            int result;
            if ((flags & kObjectIndefinite) == 0) {
                result = parseEx(children, data, offset, contentLength, base + contentStart - start, depth + 1);
            } else {
                // The children run up to the first zero byte where a tag is due (or to the end of
                // the enclosing level); what they took is the item's content.
                result = parseEx(children, data, offset, unread, base + contentStart - start, depth + 1);
                contentLength = offset - contentStart;
            }
            if (result != 0) return result;
            GC_LoggerC::log(__func__, kLogFile, __LINE__, kDetailMask, "Nonprimitive item");
            it.primitive = false;
            it.children = std::move(children);
        } else {
            // Content reaching past the enclosing item is refused, as for constructed items.
            if (contentLength > unread) {
                GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Length is to big | %i > %i",
                                 logInt(contentLength), logInt(unread));
                return -1;
            }
            it.primitive = true;
            offset += contentLength;
        }

        out.push_back(std::move(it));
        if (offset - start >= length) return 0;
    }
}

unsigned char GC_ASN1::getObject(const std::vector<unsigned char>& data, item& it, unsigned char& cls,
                                 unsigned long& offset) {
    const size_t size = data.size();
    if (size == 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kDetailMask, "Object size is 0");
        return kObjectFailed;
    }
    if (offset >= size) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Offset is to big | %i < %i", logInt(size),
                         logInt(offset));
        return kObjectFailed;
    }

    const unsigned char first = data[offset];
    cls = first & 0xC0;
    const bool constructed = (first & kConstructed) != 0;
    for (;;) {
        const unsigned char b = data[offset++];
        it.tag.push_back(b);
        if (!tagContinues(b)) break;
        if (offset >= size) break;
    }
    if (offset >= size) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, gc_log::kError, "Object size is too small");
        return kObjectFailed;
    }

    unsigned long length = 0;
    bool indefinite = false;
    if (!getLength(data, offset, length, indefinite)) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, gc_log::kError, "Wrong object length");
        return kObjectFailed;
    }
    if (indefinite && !constructed) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, gc_log::kError, "ASN1 have infinite length data | NOT SUPPORTED");
        return kObjectFailed;
    }
    if (!indefinite && length > size - offset) return kObjectFailed;

    if (!indefinite) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, gc_log::kError, "Copy data to object struct");
        it.value.assign(data.begin() + offset, data.begin() + offset + length);
    } else {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, gc_log::kError, "ASN1 have infinite length data | NOT SUPPORTED");
    }
    return static_cast<unsigned char>((constructed ? kConstructed : 0) | (indefinite ? kObjectIndefinite : 0));
}

bool GC_ASN1::getLength(const std::vector<unsigned char>& data, unsigned long& offset, unsigned long& length,
                        bool& indefinite) {
    const size_t size = data.size();
    if (offset >= size) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Object size is too small | %i < %i",
                         logInt(size), logInt(offset + 1));
        return false;
    }
    const unsigned char first = data[offset];
    if (first == kIndefinite) {
        indefinite = true;
        GC_LoggerC::log(__func__, kLogFile, __LINE__, gc_log::kError, "ASN1 have infinite length data | NOT SUPPORTED");
        ++offset;
        return true;
    }
    if (first < kIndefinite) {
        length = first;
        ++offset;
        return true;
    }

    // Long form: the count byte and its length bytes must all lie inside the input.
    const size_t count = first & 0x7F;
    if (size - offset < count + 1) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Object size is too small | %i < %i",
                         logInt(size - offset), logInt(count + 1));
        return false;
    }
    size_t pos = offset + 1;
    const size_t end = pos + count;
    while (pos < end && data[pos] == 0x00) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kDetailMask, "Erase 0x00 from length bytes");
        ++pos;
    }
    if (end - pos > 8) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Length is to long | %i > %i", logInt(end - pos),
                         8);
        return false;
    }
    unsigned long value = 0;
    for (; pos < end; ++pos) value = (value << 8) | data[pos];
    length = value;
    offset = end;
    return true;
}
