// The card session with the companion's cache (the test companion over the in-process hub): the
// file cache in front of the card, the CAN it holds, and the notices the session sends it.
#include <algorithm>
#include <string>
#include <vector>

#include "Queue/hub_companion.h"
#include "Reader/reader.h"
#include "session_fixture.h"
#include "support/hex.h"

namespace session_test {
namespace {

bool sawCommand(companion::CacheServer& server, const std::string& command, const std::string& reader) {
    const auto frames = server.frames();
    return std::any_of(frames.begin(), frames.end(),
                       [&](const companion::FrameRecord& f) { return f.command == command && f.reader == reader; });
}

TEST_F(SessionTest, FileCacheInFrontOfTheCard) {
    const Bytes data = fillScratch();
    Companion link;
    auto session = open();
    const std::string key = gctest::hex(kScratch) + gctest::hex(sessionAid());

    // A miss: the whole file is read once and stored; the caller gets the part it asked for.
    size_t mark = logMark();
    Bytes out;
    unsigned long size = 0;
    ASSERT_EQ(session->read(out, sessionAid(), kScratch, 10, 100, &size, false, true, GC_Controller::READ_SELECT, {}),
              0);
    EXPECT_EQ(out, Bytes(data.begin() + 10, data.begin() + 110));
    EXPECT_EQ(size, data.size());
    const auto sent = sentSince(mark);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[1], "00A40200024F0000");
    size_t readBytes = 0;
    for (size_t i = 2; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i].substr(0, 4), "00B0");
        // READ BINARY's Le: one byte, or 00 and two bytes when extended.
        readBytes += sent[i].size() == 10 ? std::stoul(sent[i].substr(8, 2), nullptr, 16)
                                          : std::stoul(sent[i].substr(10, 4), nullptr, 16);
    }
    EXPECT_EQ(readBytes, data.size()) << "the whole file, once";
    EXPECT_EQ(link.server.entry(name, key), data);

    // Hits: nothing goes to the card.
    mark = logMark();
    ASSERT_EQ(session->read(out, sessionAid(), kScratch, 4000, 0, &size, true, true, GC_Controller::READ_SELECT, {}),
              0);
    EXPECT_EQ(out, Bytes(data.begin() + 4000, data.end()));
    EXPECT_EQ(size, data.size());
    ASSERT_EQ(session->read(out, sessionAid(), kScratch, 0, 4096, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              0);
    EXPECT_EQ(out, data);
    EXPECT_TRUE(sentSince(mark).empty());
    // Past the end of the cached file: the card is asked, and the offset is refused.
    EXPECT_EQ(session->read(out, sessionAid(), kScratch, 4096, 0, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              -1102);
    EXPECT_TRUE(out.empty());

    // An update writes the card and drops the entry; the next read fills it again.
    Bytes patch{0xA1, 0xA2, 0xA3};
    ASSERT_EQ(session->update(patch, sessionAid(), kScratch, 0, false, true), 0);
    EXPECT_FALSE(link.server.entry(name, key));
    ASSERT_EQ(session->read(out, sessionAid(), kScratch, 0, 3, nullptr, false, true, GC_Controller::READ_SELECT, {}),
              0);
    EXPECT_EQ(out, patch);
    const auto refilled = link.server.entry(name, key);
    ASSERT_TRUE(refilled && refilled->size() == data.size());
    EXPECT_EQ(Bytes(refilled->begin(), refilled->begin() + 3), patch);

    // The extended read neither asks nor fills the cache (on the card generations its own reads
    // of the file are ordinary reads, which do).
    const size_t frames = link.server.frames().size();
    EXPECT_NE(
        session->read(out, sessionAid(), kScratch, 0, 0, nullptr, false, true, GC_Controller::READ_EXTENDED, {0x30}),
        0);
    if (slotBackend()) {
        EXPECT_EQ(link.server.frames().size(), frames);
    }

    // A command too long for the reader is refused and the companion told.
    reader().maxApduSize = 10;
    reader().extendedApdu = false;
    Bytes response;
    EXPECT_EQ(session->sendApdu(Bytes(20, 0x00), response, 0, true), -1913);
    EXPECT_TRUE(sawCommand(link.server, "notallow", name));
}

// Offsets and lengths as a card's directory may give them, with the file cached and not: one
// beyond any card file is refused, one past the end of the file reads to its end.
TEST_F(SessionTest, CachedReadsOfHostileLengths) {
    const Bytes data = fillScratch();
    gctest::HubCompanion link;
    auto session = open();
    const unsigned long all = ~0UL;
    const struct {
        const char* what;
        unsigned long offset;
        unsigned long length;
        int result;
    } cases[] = {
        {"index 1, length all bits set", 1, all, -1102},
        {"index all bits set, length 2", all, 2, -1102},
        {"past the end of the file", 4000, 200, 0},
    };
    for (const bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "not cached");
        Bytes out;
        // A read of the card fills the cache.
        if (cached) {
            ASSERT_EQ(
                session->read(out, sessionAid(), kScratch, 0, 1, nullptr, false, true, GC_Controller::READ_SELECT, {}),
                0);
        }
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(session->read(out, sessionAid(), kScratch, c.offset, c.length, nullptr, false, true,
                                    GC_Controller::READ_SELECT, {}),
                      c.result);
            if (c.result == 0) {
                EXPECT_EQ(out, Bytes(data.begin() + static_cast<long>(c.offset), data.end()));
            }
        }
    }
}

// A CAN the companion holds counts as a known PACE password.
TEST_F(SessionTest, FeaturesTakeTheCanFromTheCompanion) {
    Companion link;
    auto session = open();
    int features = 0;
    ASSERT_EQ(session->readerFeatures(features), 0);
    EXPECT_EQ(features, GC_Controller::kFeatureCardPresent | GC_Controller::kFeatureNoPassword);
    link.server.preseed(name, "CAN", {'1', '2', '3', '4', '5', '6'});
    ASSERT_EQ(session->readerFeatures(features), 0);
    EXPECT_EQ(features, GC_Controller::kFeatureCardPresent);
    // Adopted: the next query does not ask again.
    const size_t frames = link.server.frames().size();
    ASSERT_EQ(session->readerFeatures(features), 0);
    EXPECT_EQ(features, GC_Controller::kFeatureCardPresent);
    EXPECT_EQ(link.server.frames().size(), frames);
}

}  // namespace
}  // namespace session_test
