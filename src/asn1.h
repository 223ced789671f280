#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// BER-TLV codec for card files, key data, DigestInfo and signatures.
//
// Trees are plain values: a std::vector<GC_ASN1::item> of top-level items, each item owning its
// children. Parsing accepts BER (any definite length form, indefinite lengths for constructed items
// in the limited way the card files need); writing always produces DER lengths.
//
// Result codes: 0 success, negative failure (-1 to -5, see each operation).
class GC_ASN1 {
public:
    // One TLV node.
    struct item {
        // Items inside a constructed item, in encoding order; empty for a primitive item.
        std::vector<item> children;
        // true: value is the content; false: constructed, value is rebuilt from children.
        bool primitive = false;
        // 1-based position within its level as the recursive parser counts it; 0 from the fast parser.
        uint64_t number = 0;
        // Nesting depth: 0 for a top-level item.
        uint64_t depth = 0;
        // Tag bytes exactly as encoded (one or more bytes).
        std::vector<unsigned char> tag;
        // Primitive: the content. Constructed: the content as parsed, or the children's
        // encodings after a rebuild.
        std::vector<unsigned char> value;
    };

    // One open constructed item of the fast parser: its tag and how many content bytes are
    // still unread (unsigned arithmetic; an indefinite-length item stays open without limit).
    // The last three fields remember where addToTree found the item, so that placing an item
    // does not rescan long lists.
    struct open_item {
        std::vector<unsigned char> tag;
        uint64_t left = 0;
        bool unlimited = false;
        bool searched = false;
        size_t found = 0;
        size_t scanned = 0;
    };

    // ---- Parsing ----

    // Deepest nesting of constructed items that the parsers accept; deeper input is refused so
    // that hostile data cannot exhaust the stack of the recursive operations on the tree.
    static constexpr unsigned long kMaxNesting = 64;

    // Replaces out with the top-level items parsed from data: the iterative parser when fast is
    // true, the recursive one otherwise. 0, or the parser's negative code (out then keeps the items
    // completed before the fault). A 0x00 byte where a tag is due ends the parse with success.
    static int deserialize(std::vector<item>& out, const std::vector<unsigned char>& data, bool fast);

    // Iterative parser: 0 or -1.
    static int parseFast(std::vector<item>& out, const std::vector<unsigned char>& data);
    // Places it in the tree below the open items of the stack and sets its depth. The tree must only
    // have grown by appends since the stack's last use (as it does during one parse).
    static void addToTree(std::vector<item>& tree, std::vector<open_item>& stack, item it);

    // Recursive parser over `length` bytes of data from offset (advanced). base is only handed
    // down to nested levels. 0, -1 (an item longer than its level) or -2 (bad header).
    static int parseEx(std::vector<item>& out, const std::vector<unsigned char>& data, unsigned long& offset,
                       unsigned long length, unsigned long base, unsigned long depth);
    // Reads one item header at offset (advanced past tag and length bytes), appends the tag to
    // it.tag, copies a definite-length content into it.value and sets cls to the class bits.
    // Returns flags: 0x80 failure, 0x20 constructed, 0x01 indefinite length.
    static unsigned char getObject(const std::vector<unsigned char>& data, item& it, unsigned char& cls,
                                   unsigned long& offset);
    // Reads length bytes at offset (advanced past them). false on failure.
    static bool getLength(const std::vector<unsigned char>& data, unsigned long& offset, unsigned long& length,
                          bool& indefinite);

    // ---- Building ----

    // 0: item becomes a childless node with the given tag, value and primitive flag; -3 when
    // tag is empty (item unchanged).
    static int createTag(item& out, std::vector<unsigned char> tag, std::vector<unsigned char> value, bool primitive);
    // Appends a copy of child (its depth raised by one, also in the caller's item) to parent and
    // rebuilds parent's value. -3 for a child without tag (nothing appended), else the rebuild's result.
    static int addChild(item& parent, item& child);
    // The same for a list of children, appended in order; nothing is appended when one has no tag.
    static int addChild(item& parent, std::vector<item>& children);

    // Rebuilds the value of a constructed item (and every constructed item below it) from its
    // children. 0; -3 for a constructed item with an empty tag. Primitive items are left as they are.
    static int serializeData(item& it);
    // Rebuilds each item; the result of the last one (0 for an empty list).
    static int serializeData(std::vector<item>& items);

    // Tag, DER length and value of the item after a rebuild; empty when the rebuild fails.
    static std::vector<unsigned char> serialize(item& it);
    // Concatenated encodings of the items (an item that fails adds nothing).
    static std::vector<unsigned char> serialize(std::vector<item>& items);

    // DER length bytes for a value of value.size() bytes (below 2^24).
    static std::vector<unsigned char> getLength2Byte(const std::vector<unsigned char>& value);

    // A number from length or integer bytes: a leading 0x80..0x8F is a long-form length prefix;
    // otherwise the first byte, or all bytes big-endian when allBytes is set. Low 32 bits, signed.
    static int getLength(const std::vector<unsigned char>& bytes, bool allBytes);

    // ---- Lookups by tag path ----
    // A tag path is tags written one after another; its first tag names the item where the search
    // starts, each further tag a child one level deeper. Lookups work on copies and return copies.

    // Moves the first tag of path (in its encoded form) to the end of tag.
    static void getPrimitiveTag(std::vector<unsigned char>& path, std::vector<unsigned char>& tag);

    // The outputs may be (or lie inside) the searched tree: matches are collected first, then stored.

    // Appends copies of the items reached by path from it (only the first when firstOnly is set).
    static void getTag(const item& it, const std::vector<unsigned char>& path, std::vector<item>& out, bool firstOnly);
    // Appends pointers to every item reached by path inside it (valid while it is not changed).
    static void getTag(item& it, const std::vector<unsigned char>& path, std::vector<item*>& out);

    // Every match in every top-level item, in tree order (out emptied first).
    static void getData(const std::vector<item>& items, const std::vector<unsigned char>& path, std::vector<item>& out);
    // The first match over the top-level items; an empty item when none.
    static void getData(const std::vector<item>& items, const std::vector<unsigned char>& path, item& out);
    // Every match below and including it (out emptied first).
    static void getData(const item& it, const std::vector<unsigned char>& path, std::vector<item>& out);
    // The first match below and including it; an empty item when none.
    static void getData(const item& it, const std::vector<unsigned char>& path, item& out);

    // Replaces the value of the index-th (0-based) item that path reaches from root, which must be
    // primitive, and rebuilds root. 0, the rebuild's result, -2 no match, -5 index too big,
    // -4 the match is constructed. root is unchanged on failure.
    static int modifyTag(item& root, const std::vector<unsigned char>& path, const std::vector<unsigned char>& value,
                         const unsigned long& index);
};
