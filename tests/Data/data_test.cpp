#include <gtest/gtest.h>

#include "Data/Container/container.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/data.h"
#include "Data/datapkcs15.h"
#include "support/fake_controller.h"

namespace {

TEST(Data, BaseLayoutSupportsNothingAndTouchesNothing) {
    gctest::FakeController card;
    GC_Data data(&card);

    std::vector<std::shared_ptr<GC_Container>> containers;
    EXPECT_EQ(data.getContainers(containers), -1101);
    EXPECT_TRUE(containers.empty());

    GC_PrivKeyObject key;
    std::vector<GC_Object*> objects = {&key};
    EXPECT_EQ(data.readObjects(objects), -1101);
    EXPECT_EQ(objects.size(), 1u);
    EXPECT_EQ(data.deleteObject(&key), -1101);

    GC_Container container;
    GC_Object* sentinel = &key;
    EXPECT_EQ(data.createObject(&key, &container, &sentinel), -1101);
    EXPECT_EQ(sentinel, &key);

    auto shared = std::make_shared<GC_Container>();
    EXPECT_EQ(data.initContainer(shared, "label"), -1101);
    EXPECT_TRUE(card.reads().empty());
}

TEST(Data, PkcsLayoutReplacesTheBaseLayout) {
    gctest::FakeController card;
    // As a card controller does: the base layout first, then the PKCS#15 layout in its place;
    // ASan and LSan check that each is destroyed exactly once through the base pointer.
    std::unique_ptr<GC_Data> layout = std::make_unique<GC_Data>(&card);
    layout = std::make_unique<GC_DataPKCS15>(&card);

    // The PKCS#15 layout answers through its own overrides: a private key has no content to
    // read, and an object or container it does not hold is refused.
    GC_PrivKeyObject key;
    std::vector<GC_Object*> objects = {&key};
    EXPECT_EQ(layout->readObjects(objects), 0);
    EXPECT_EQ(layout->deleteObject(&key), -1102);
    GC_Object* out = nullptr;
    EXPECT_EQ(layout->createObject(&key, nullptr, &out), -1102);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
