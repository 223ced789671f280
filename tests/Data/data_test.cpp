#include <gtest/gtest.h>

#include "Data/Objects/privkeyobject.h"
#include "Data/data.h"
#include "Data/datapkcs15.h"
#include "support/fake_controller.h"

namespace {

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
