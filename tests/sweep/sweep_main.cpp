// The in-process sweep program.
#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "sweep.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    gctest::TempDir home;
    sweep::prepareProcess(home.path());
    return RUN_ALL_TESTS();
}
