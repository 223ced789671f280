#include "factory.h"

#include <gtest/gtest.h>

#include "Reader/fake_card.h"

namespace {

TEST(FactoryAtrs, ExactlyTheTwoGenerations) {
    auto atrs = GC_Factory::getCardsATRs();
    ASSERT_EQ(atrs.size(), 2u);
    EXPECT_EQ(atrs.at(gctest::kVarnel10Atr), "VARNEL_1_0");
    EXPECT_EQ(atrs.at(gctest::kVarnel20Atr), "VARNEL_2_0");
    // A new map on every call: changing one does not change the next.
    atrs.clear();
    EXPECT_EQ(GC_Factory::getCardsATRs().size(), 2u);
}

}  // namespace
