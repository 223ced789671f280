// Mutation run over the DER corpus: both parsers, the lookups, modifyTag and serialize on damaged
// input. Meant for the sanitizer build (no read out of bounds, no crash); it also checks the few
// properties that hold for any input, and that the fast parser's trees, partial ones included, are
// those of a plain reference that searches every open item from the end of its list each time
// (the parser remembers where it found them, to stay linear on hostile input).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "asn1.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Tree = std::vector<GC_ASN1::item>;

constexpr uint32_t kSeed = 0x5EED1103;
constexpr size_t kRuns = 100000;

std::vector<Bytes> loadCorpus() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(gctest::dataPath("asn1"))) {
        if (entry.path().extension() == ".der") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());  // the same order on every machine, for the fixed seed
    std::vector<Bytes> corpus;
    for (const auto& f : files) {
        const std::string text = gctest::readFile(f);
        corpus.emplace_back(text.begin(), text.end());
    }
    return corpus;
}

// Plain modulo over mt19937's output, so the run is the same with every standard library.
size_t pick(std::mt19937& rng, size_t n) {
    return n == 0 ? 0 : rng() % n;
}

const unsigned char kInteresting[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x1F, 0x20, 0x30, 0x3F, 0x5F, 0x7F, 0x80,
                                      0x81, 0x82, 0x83, 0x84, 0x88, 0x89, 0x8F, 0x9F, 0xA0, 0xBF, 0xFF};

Bytes mutate(const Bytes& base, std::mt19937& rng) {
    Bytes data = base;
    // Sometimes start from an inner slice, so nested structures become top-level input.
    if (pick(rng, 4) == 0 && data.size() > 2) {
        const size_t from = pick(rng, data.size());
        const size_t len = 1 + pick(rng, data.size() - from);
        data = Bytes(data.begin() + from, data.begin() + from + len);
    }
    const size_t edits = 1 + pick(rng, 4);
    for (size_t e = 0; e < edits; ++e) {
        const size_t at = pick(rng, data.size() + 1);
        switch (pick(rng, 7)) {
            case 0:
                if (at < data.size()) data[at] ^= static_cast<unsigned char>(1u << pick(rng, 8));
                break;
            case 1:
                if (at < data.size()) data[at] = kInteresting[pick(rng, sizeof kInteresting)];
                break;
            case 2:
                data.resize(at);
                break;
            case 3:
                data.insert(data.begin() + at, kInteresting[pick(rng, sizeof kInteresting)]);
                break;
            case 4:
                data.erase(data.begin() + at,
                           data.begin() + at + pick(rng, std::min<size_t>(16, data.size() - at + 1)));
                break;
            case 5: {  // a long-form length with random bytes
                const unsigned char count = static_cast<unsigned char>(1 + pick(rng, 9));
                Bytes len = {static_cast<unsigned char>(0x80 | count)};
                for (unsigned char i = 0; i < count; ++i) len.push_back(static_cast<unsigned char>(rng()));
                data.insert(data.begin() + at, len.begin(), len.end());
                break;
            }
            default:
                if (!data.empty()) {  // duplicate a slice somewhere else
                    const size_t from = pick(rng, data.size());
                    const size_t len = 1 + pick(rng, std::min<size_t>(64, data.size() - from));
                    const Bytes slice(data.begin() + from, data.begin() + from + len);
                    data.insert(data.begin() + at, slice.begin(), slice.end());
                }
                break;
        }
    }
    return data;
}

// The fast parser as its rules state them, placing each item with the plain search: for every open
// item from the bottom of the stack up, the current list is searched from its end for the last item
// with that tag, descending into it when found and passing the entry over when not.
int referenceFastParse(const Bytes& data, Tree& out) {
    struct Open {
        Bytes tag;
        uint64_t left;
        bool unlimited;
    };
    std::vector<Open> stack;
    const size_t size = data.size();
    size_t pos = 0;
    while (pos < size) {
        if (data[pos] == 0x00) return 0;
        const size_t start = pos;
        GC_ASN1::item it;
        do {
            it.tag.push_back(data[pos++]);
        } while ((it.tag.back() & 0x1F) == 0x1F && pos < size);
        if ((it.tag.back() & 0x1F) == 0x1F || pos >= size) return -1;

        const bool constructed = (it.tag[0] & 0x20) != 0;
        const unsigned char first = data[pos++];
        const bool indefinite = first == 0x80;
        uint64_t length = 0;
        if (indefinite) {
            if (!constructed) return -1;
        } else if (first < 0x80) {
            length = first;
        } else {
            const size_t count = first & 0x7F;
            if (count >= size - pos) return -1;
            const size_t end = pos + count;
            while (pos < end && data[pos] == 0x00) ++pos;
            if (end - pos > 8) return -1;
            for (; pos < end; ++pos) length = length << 8 | data[pos];
        }
        if (length > size - pos) return -1;
        if (!indefinite) it.value.assign(data.begin() + pos, data.begin() + pos + length);
        it.primitive = !constructed;
        if (!constructed) pos += length;
        for (Open& open : stack)
            if (!open.unlimited) open.left -= pos - start;

        Tree* list = &out;
        for (const Open& open : stack) {
            for (size_t i = list->size(); i-- > 0;) {
                if ((*list)[i].tag == open.tag) {
                    list = &(*list)[i].children;
                    ++it.depth;
                    break;
                }
            }
        }
        const Bytes tag = it.tag;
        list->push_back(std::move(it));

        while (!stack.empty() && !stack.back().unlimited && stack.back().left == 0) stack.pop_back();
        if (constructed && (indefinite || length > 0)) {
            if (stack.size() >= GC_ASN1::kMaxNesting) return -1;
            stack.push_back({tag, length, indefinite});
        }
    }
    return 0;
}

bool sameTree(const Tree& a, const Tree& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].tag != b[i].tag || a[i].value != b[i].value || a[i].primitive != b[i].primitive ||
            a[i].depth != b[i].depth || !sameTree(a[i].children, b[i].children))
            return false;
    }
    return true;
}

// A tag path along a random descent from a top-level item.
Bytes randomPath(const Tree& tree, std::mt19937& rng, const GC_ASN1::item** start) {
    const GC_ASN1::item* it = &tree[pick(rng, tree.size())];
    *start = it;
    Bytes path = it->tag;
    const size_t levels = pick(rng, 4);
    for (size_t i = 0; i < levels && !it->children.empty(); ++i) {
        it = &it->children[pick(rng, it->children.size())];
        path.insert(path.end(), it->tag.begin(), it->tag.end());
    }
    return path;
}

struct Stats {
    size_t parsed[2] = {0, 0};
    size_t modified = 0;
};

void exercise(const Bytes& data, std::mt19937& rng, Stats& stats) {
    for (int mode = 0; mode < 2; ++mode) {
        const bool fast = mode == 0;
        Tree tree;
        const int result = GC_ASN1::deserialize(tree, data, fast);
        if (fast) {
            ASSERT_TRUE(result == 0 || result == -1) << result;
            Tree expected;
            ASSERT_EQ(result, referenceFastParse(data, expected));
            ASSERT_TRUE(sameTree(tree, expected));
        } else {
            ASSERT_TRUE(result == 0 || result == -1 || result == -2) << result;
        }

        // Whatever was parsed, partial trees included, can be searched and changed.
        if (!tree.empty()) {
            const GC_ASN1::item* start = nullptr;
            const Bytes path = randomPath(tree, rng, &start);
            std::vector<GC_ASN1::item> list;
            GC_ASN1::item one;
            GC_ASN1::getData(tree, path, list);
            ASSERT_FALSE(list.empty());  // the path was taken from the tree itself
            GC_ASN1::getData(tree, path, one);
            ASSERT_FALSE(one.tag.empty());
            GC_ASN1::getData(*start, path, list);
            ASSERT_FALSE(list.empty());
            GC_ASN1::getData(*start, path, one);
            ASSERT_FALSE(one.tag.empty());

            GC_ASN1::item root = *start;
            const Bytes value(pick(rng, 300), static_cast<unsigned char>(rng()));
            const unsigned long index = pick(rng, 3);
            const int m = GC_ASN1::modifyTag(root, path, value, index);
            ASSERT_TRUE(m == 0 || m == -4 || m == -5) << m;
            if (m == 0) {
                ++stats.modified;
                ASSERT_FALSE(GC_ASN1::serialize(root).empty());
            }
        }

        const Bytes written = GC_ASN1::serialize(tree);
        if (result != 0) continue;
        ++stats.parsed[mode];

        // The DER written for any parsed tree reads back, with either parser, to the same bytes.
        for (bool again : {true, false}) {
            Tree reread;
            ASSERT_EQ(GC_ASN1::deserialize(reread, written, again), 0);
            ASSERT_EQ(GC_ASN1::serialize(reread), written);
        }
    }
}

TEST(Asn1Mutation, HundredThousandDamagedInputs) {
    const std::vector<Bytes> corpus = loadCorpus();
    ASSERT_FALSE(corpus.empty());
    std::mt19937 rng(kSeed);
    Stats stats;
    const auto begin = std::chrono::steady_clock::now();
    for (size_t run = 0; run < kRuns; ++run) {
        const Bytes data = mutate(corpus[pick(rng, corpus.size())], rng);
        exercise(data, rng, stats);
        if (testing::Test::HasFatalFailure()) {
            ADD_FAILURE() << "run " << run << " of seed " << kSeed;
            return;
        }
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    // The run is only worth something when a fair share of the inputs get through the parsers.
    EXPECT_GT(stats.parsed[0], kRuns / 20);
    EXPECT_GT(stats.parsed[1], kRuns / 20);
    EXPECT_GT(stats.modified, kRuns / 20);
    RecordProperty("parsed_fast", std::to_string(stats.parsed[0]));
    RecordProperty("parsed_recursive", std::to_string(stats.parsed[1]));
    RecordProperty("milliseconds", std::to_string(ms));
    printf("mutation run: %zu inputs, fast parsed %zu, recursive parsed %zu, modified %zu, %lld ms\n", kRuns,
           stats.parsed[0], stats.parsed[1], stats.modified, static_cast<long long>(ms));
}

}  // namespace
