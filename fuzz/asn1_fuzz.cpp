// BER-TLV from a hostile card: both parsers, serialize, and the lookups and modifyTag on what
// they parse. The input is the file as the card would hand it over.
//
// Beyond "no crash": where an independent strict walk finds the input well formed (definite
// lengths, every item inside its parent), the two parsers must agree on the result and the tree,
// and minimal DER must serialise back to the same bytes. Any tree serialises to DER that both
// parsers read back to the same tree. Every item a lookup finds carries the path's last tag, every
// item of the tree is found by the path that leads to it, and modifyTag changes exactly the
// chosen item.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "asn1.h"
#include "fuzz_util.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Item = GC_ASN1::item;
using Tree = std::vector<Item>;

// What a strict walk of the input finds.
struct Shape {
    bool wellFormed = true;      // definite lengths, every item inside its parent
    bool minimal = true;         // every length in its shortest form
    bool stoppedInside = false;  // a zero byte where a tag was due, inside a constructed item
    bool tooDeep = false;        // a constructed item with content nested deeper than the parsers take
    size_t end = 0;              // where parsing stops: a zero byte where a tag is due, or the end
};

size_t significantBytes(uint64_t v) {
    size_t n = 0;
    for (; v != 0; v >>= 8) ++n;
    return n;
}

// Walks the items of [pos, end) at depth; false when the walk ends early: at a zero byte where a
// tag is due, at nesting the parsers refuse, or at input outside the strict form (wellFormed then
// cleared). Two forms that the parsers read differently by design count as outside it: indefinite
// lengths, and a long form whose length bytes end the input (the fast parser wants a byte after).
bool walk(const Bytes& d, size_t pos, size_t end, unsigned long depth, Shape& s) {
    while (pos < end) {
        if (d[pos] == 0x00) {
            s.stoppedInside = depth > 0;
            s.end = pos;
            return false;  // stop: not an error, but nothing after it counts
        }
        const bool constructed = (d[pos] & 0x20) != 0;
        size_t p = pos;
        while ((d[p++] & 0x1F) == 0x1F) {
            if (p >= end) return s.wellFormed = false;
        }
        if (p >= end) return s.wellFormed = false;
        const unsigned char first = d[p++];
        uint64_t len = first;
        if (first == 0x80) return s.wellFormed = false;
        if (first > 0x80) {
            const size_t n = first & 0x7F;
            if (n > end - p || p + n == d.size()) return s.wellFormed = false;
            size_t q = p;
            while (q < p + n && d[q] == 0x00) ++q;
            if (p + n - q > 8) return s.wellFormed = false;
            len = 0;
            for (; q < p + n; ++q) len = len << 8 | d[q];
            if (len < 0x80 || n != significantBytes(len)) s.minimal = false;
            p += n;
        }
        if (len > end - p) return s.wellFormed = false;
        if (constructed && len > 0) {
            if (depth >= GC_ASN1::kMaxNesting) {
                s.tooDeep = true;
                return false;
            }
            if (!walk(d, p, p + len, depth + 1, s)) return false;
        }
        pos = p + len;
    }
    return true;
}

Shape shapeOf(const Bytes& d) {
    Shape s;
    s.end = d.size();
    walk(d, 0, d.size(), 0, s);
    return s;
}

// Equal trees, ignoring `number` (only the recursive parser counts).
bool same(const Tree& a, const Tree& b);
bool same(const Item& a, const Item& b) {
    return a.tag == b.tag && a.value == b.value && a.primitive == b.primitive && a.depth == b.depth &&
           same(a.children, b.children);
}
bool same(const Tree& a, const Tree& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return false;
    }
    return true;
}

// Tag bytes by the codec's rule: every byte but the last has its low five bits set.
bool wellFormedTag(const Bytes& tag) {
    if (tag.empty()) return false;
    for (size_t i = 0; i + 1 < tag.size(); ++i) {
        if ((tag[i] & 0x1F) != 0x1F) return false;
    }
    return (tag.back() & 0x1F) != 0x1F;
}

// What every parsed item satisfies, after success or failure alike.
void checkItems(const Tree& items, uint64_t depth, bool numbered) {
    CHECK(depth <= GC_ASN1::kMaxNesting + 1);
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& it = items[i];
        CHECK(!it.tag.empty());
        CHECK(it.primitive == ((it.tag[0] & 0x20) == 0));
        CHECK(!it.primitive || it.children.empty());
        CHECK(it.depth == depth);
        CHECK(it.number == (numbered ? i + 1 : 0));
        checkItems(it.children, depth + 1, numbered);
    }
}

// Pre-order list of items with the tag path that leads to each from its top-level item.
struct Node {
    size_t top;
    Bytes path;
    const Item* item;
};
void collect(const Item& it, size_t top, Bytes path, std::vector<Node>& out, size_t limit) {
    if (out.size() >= limit) return;
    path.insert(path.end(), it.tag.begin(), it.tag.end());
    out.push_back(Node{top, path, &it});
    for (const Item& child : it.children) collect(child, top, path, out, limit);
}

// The last tag of a path (its bytes), empty when the path ends inside a tag.
Bytes lastTag(const Bytes& path) {
    Bytes rest = path;
    Bytes tag;
    while (!rest.empty()) {
        tag.clear();
        GC_ASN1::getPrimitiveTag(rest, tag);
    }
    return wellFormedTag(tag) ? tag : Bytes();
}

void checkLookup(const Tree& tree, const Bytes& path) {
    Tree all;
    GC_ASN1::getData(tree, path, all);
    Item first;
    GC_ASN1::getData(tree, path, first);
    const Bytes tag = lastTag(path);
    for (const Item& it : all) CHECK(it.tag == tag);
    CHECK(all.empty() ? first.tag.empty() && first.value.empty() && first.children.empty() : same(first, all[0]));
    for (const Item& top : tree) {
        Tree under;
        GC_ASN1::getData(top, path, under);
        for (const Item& it : under) CHECK(it.tag == tag);
        Tree firstOnly;
        GC_ASN1::getTag(top, path, firstOnly, true);
        CHECK(firstOnly.size() == (under.empty() ? 0u : 1u));
        if (!under.empty()) CHECK(same(firstOnly[0], under[0]));
    }
}

// Every item is found by its own path, and modifyTag on the chosen one changes it alone.
void checkPaths(Tree& tree, size_t choice) {
    std::vector<Node> nodes;
    for (size_t t = 0; t < tree.size(); ++t) collect(tree[t], t, {}, nodes, 24);
    for (const Node& n : nodes) {
        Tree found;
        GC_ASN1::getData(tree[n.top], n.path, found);
        bool present = false;
        for (const Item& it : found) present = present || same(it, *n.item);
        CHECK(present);
        for (const Item& it : tree[n.top].children) GC_ASN1::getLength(it.value, (choice & 1) != 0);
    }
    if (nodes.empty()) return;

    const Node& n = nodes[choice % nodes.size()];
    Item& root = tree[n.top];
    std::vector<Item*> matches;
    GC_ASN1::getTag(root, n.path, matches);
    size_t index = matches.size();
    for (size_t i = 0; i < matches.size(); ++i) {
        if (matches[i] == n.item) index = i;
    }
    CHECK(index < matches.size());

    const Item before = root;
    CHECK(GC_ASN1::modifyTag(root, n.path, {0x42}, matches.size()) == -5);
    CHECK(same(root, before));
    if (!n.item->primitive) {
        CHECK(GC_ASN1::modifyTag(root, n.path, {0x42}, index) == -4);
        CHECK(same(root, before));
        return;
    }
    Bytes value = n.item->value;
    value.push_back(0xA5);
    CHECK(GC_ASN1::modifyTag(root, n.path, value, index) == 0);
    // Read back from the encoding: the chosen item has the new value, the other matches not.
    Tree back;
    CHECK(GC_ASN1::deserialize(back, GC_ASN1::serialize(root), true) == 0);
    Tree after;
    GC_ASN1::getData(back, n.path, after);
    Tree old;
    Item rebuilt = before;
    GC_ASN1::serializeData(rebuilt);
    GC_ASN1::getData(rebuilt, n.path, old);
    CHECK(after.size() == old.size() && index < after.size());
    for (size_t i = 0; i < after.size(); ++i) {
        if (i == index)
            CHECK(after[i].value == value);
        else if (after[i].primitive)
            CHECK(after[i].value == old[i].value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes input(data, data + size);
    Tree fast;
    Tree recursive;
    const int fastResult = GC_ASN1::deserialize(fast, input, true);
    const int recursiveResult = GC_ASN1::deserialize(recursive, input, false);
    CHECK(fastResult == 0 || fastResult == -1);
    CHECK(recursiveResult == 0 || recursiveResult == -1 || recursiveResult == -2);
    checkItems(fast, 0, false);
    checkItems(recursive, 0, true);

    const Shape shape = shapeOf(input);
    if (shape.wellFormed) {
        const bool accepted = !shape.tooDeep;
        CHECK((fastResult == 0) == accepted && (recursiveResult == 0) == accepted);
        if (accepted) CHECK(same(fast, recursive));
        if (accepted && shape.minimal && !shape.stoppedInside) {
            Tree copy = fast;
            CHECK(GC_ASN1::serialize(copy) == Bytes(input.begin(), input.begin() + static_cast<long>(shape.end)));
        }
    }

    // Whatever was parsed serialises to DER that both parsers read back to the rebuilt tree.
    for (Tree* tree : {&fast, &recursive}) {
        const Bytes der = GC_ASN1::serialize(*tree);
        Tree again;
        CHECK(GC_ASN1::deserialize(again, der, true) == 0);
        CHECK(same(again, *tree));
        CHECK(GC_ASN1::deserialize(again, der, false) == 0);
        CHECK(same(again, *tree));
        CHECK(GC_ASN1::serialize(again) == der);
    }

    // Lookups by paths taken from the input itself, and by the paths of the tree's own items.
    if (size > 0) {
        checkLookup(fast, Bytes(input.begin(), input.begin() + static_cast<long>(size < 4 ? size : 4)));
        checkLookup(fast, Bytes(input.end() - static_cast<long>(size < 3 ? size : 3), input.end()));
        checkPaths(fast, data[size / 2]);
    }
    return 0;
}
