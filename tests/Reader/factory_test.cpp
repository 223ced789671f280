#include "factory.h"

#include <gtest/gtest.h>

#include "support/fake_card.h"

namespace {

TEST(FactoryAtrs, ExactlyTheTwoGenerations) {
    const auto atrs = GC_Factory::getCardsATRs();
    ASSERT_EQ(atrs.size(), 2u);
    EXPECT_EQ(atrs.at(gctest::kVarnel10Atr), "VARNEL_1_0");
    EXPECT_EQ(atrs.at(gctest::kVarnel20Atr), "VARNEL_2_0");
}

}  // namespace
