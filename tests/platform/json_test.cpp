// The companion's "Ctk" messages as the extension reads them (the library's own reader, which
// leaves nothing of a CAN in freed memory; tests/road_secrets shows that on the whole road, and
// fuzz/companion_reply_fuzz compares it with nlohmann's parser).
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/json.h"

namespace {

using plat::json::parseObjectTexts;
using plat::json::TextEntries;

std::optional<std::string> valueOf(const TextEntries& entries, const std::string& key) {
    for (const auto& [name, value] : entries)
        if (name == key) return value;
    return "(absent)";
}

TEST(ParseObjectTexts, StringsAndOtherValuesOfAnObject) {
    const auto entries = parseObjectTexts(
        "\xEF\xBB\xBF { \"checkCan\" : \"731594\", \"rid\":\"Reader \\\"A\\\" \\u00e9\", \"n\": -1.5e3,"
        " \"deep\": [1, {\"a\": [true, null, \"x\"]}, []], \"o\": {}, \"nul\": \"a\\u0000b\", \"rid\": \"last\" }\n");
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 6u);  // a key given twice is one entry
    EXPECT_EQ(valueOf(*entries, "checkCan"), "731594");
    EXPECT_EQ(valueOf(*entries, "rid"), "last");
    EXPECT_EQ(valueOf(*entries, "n"), std::nullopt);
    EXPECT_EQ(valueOf(*entries, "deep"), std::nullopt);
    EXPECT_EQ(valueOf(*entries, "o"), std::nullopt);
    EXPECT_EQ(valueOf(*entries, "nul"), std::string("a\0b", 3));
    EXPECT_TRUE(parseObjectTexts("{}"));
}

TEST(ParseObjectTexts, RefusesWhatIsNoJsonObject) {
    for (const char* text : {"", "[]", "\"text\"", "{", "{\"a\":1} x", "{\"a\":01}", "{\"a\":1e400}", "{\"a\":1.}",
                             "{\"a\":-}", "{\"a\":[1,]}", "{\"a\":{\"b\"}}", "{\"a\":\"\xFF\"}", "{\"a\":\"\\ud800\"}",
                             "{\"a\":tru}", "{a:1}", "{\"a\":1,}", "{\"a\":\"open}"}) {
        EXPECT_FALSE(parseObjectTexts(text)) << text;
    }
}

// Keys are compared with every key before them: an object of many members is refused unread.
TEST(ParseObjectTexts, RefusesAnObjectOfMoreMembersThanAnyMessage) {
    auto objectOf = [](size_t members, bool sameKey) {
        std::string text = "{";
        for (size_t i = 0; i < members; ++i) {
            char member[32];
            std::snprintf(member, sizeof member, "%s\"k%05zu\":\"\"", i == 0 ? "" : ",", sameKey ? 0 : i);
            text += member;
        }
        return text + "}";
    };
    EXPECT_EQ(parseObjectTexts(objectOf(plat::json::kMaxMembers, false))->size(), plat::json::kMaxMembers);
    EXPECT_EQ(parseObjectTexts(objectOf(plat::json::kMaxMembers, true))->size(), 1u);
    EXPECT_FALSE(parseObjectTexts(objectOf(plat::json::kMaxMembers + 1, true)));
    const std::string large = objectOf(80'000, false);
    EXPECT_GT(large.size(), 950'000u);
    EXPECT_FALSE(parseObjectTexts(large));
}

}  // namespace
