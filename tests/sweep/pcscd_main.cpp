// The sweep's sample through pcscd: a private pcscd with the vpcd reader, shared by every test.
#include <gtest/gtest.h>

#include <string>

#include "cardsim_pcscd.h"
#include "pcscd_holder.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    // Started by a test as another application of the same pcscd (in the namespaces it inherited).
    if (argc == 3 && std::string(argv[1]) == "--another-application") return sweep::anotherApplication(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    if (!cardsim::startProgramPcscd()) return 1;
    gctest::TempDir home;
    sweep::prepareProcess(home.path());
    return RUN_ALL_TESTS();
}
