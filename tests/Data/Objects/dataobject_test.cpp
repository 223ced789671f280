#include "Data/Objects/dataobject.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "Data/Objects/privkeyobject.h"

namespace {

using Bytes = std::vector<unsigned char>;

static_assert(!std::is_copy_constructible_v<GC_DataObject>);
static_assert(!std::is_copy_constructible_v<GC_PrivKeyObject>);

TEST(GC_DataObject, SetDataNormalisesTlvAndKeepsEverythingElse) {
    struct Case {
        const char* what;
        Bytes in;
        Bytes stored;
    };
    // clang-format off
    const Case cases[] = {
        {"zero padding after the item is dropped", {0x30, 0x03, 0x02, 0x01, 0x05, 0x00, 0x00}, {0x30, 0x03, 0x02, 0x01, 0x05}},
        {"long-form length becomes minimal", {0x04, 0x81, 0x02, 0xAA, 0xBB}, {0x04, 0x02, 0xAA, 0xBB}},
        {"two items", {0x02, 0x01, 0x01, 0x04, 0x00}, {0x02, 0x01, 0x01, 0x04, 0x00}},
        {"not TLV", {0x01, 0x02, 0x03}, {0x01, 0x02, 0x03}},
        {"item running past the end", {0x30, 0x05, 0x02, 0x01}, {0x30, 0x05, 0x02, 0x01}},
        {"child longer than its parent", {0x30, 0x02, 0x02, 0x03, 0x01, 0x02, 0x03}, {0x30, 0x02, 0x02, 0x03, 0x01, 0x02, 0x03}},
        // Bytes after a zero byte are content, not padding: nothing may be lost.
        {"leading zero byte", {0x00, 0x12, 0x34}, {0x00, 0x12, 0x34}},
        {"content after the zero", {0x30, 0x03, 0x02, 0x01, 0x05, 0x00, 0xFF}, {0x30, 0x03, 0x02, 0x01, 0x05, 0x00, 0xFF}},
        {"only padding", {0x00, 0x00}, {}},
        // An indefinite length inside a definite item: the two parsers read the items after it
        // into different places, and a re-encoding would move 40 00 in front of 2E.
        {"read two ways", {0x30, 0x00, 0x2E, 0x04, 0x01, 0x00, 0x30, 0x80, 0x40, 0x00}, {0x30, 0x00, 0x2E, 0x04, 0x01, 0x00, 0x30, 0x80, 0x40, 0x00}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GC_DataObject object;
        EXPECT_EQ(object.loaded, 0);
        object.setData(c.in);
        EXPECT_EQ(object.loaded, 1);
        EXPECT_EQ(object.getData(), c.stored);
    }
}

TEST(GC_DataObject, EmptyDataEmptiesContent) {
    GC_DataObject object;
    object.setData({0x04, 0x01, 0x07});
    object.setData({});
    EXPECT_EQ(object.loaded, 1);
    EXPECT_TRUE(object.getData().empty());
}

}  // namespace
