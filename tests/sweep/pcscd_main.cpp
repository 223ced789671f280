// The sweep's sample through pcscd: a private pcscd with the vpcd reader, shared by every test.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cardsim_pcscd.h"
#include "pcscd_holder.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    // Started by a test as another application of the same pcscd (in the namespaces it inherited).
    if (argc == 3 && std::string(argv[1]) == "--another-application") return sweep::anotherApplication(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    std::string error;
    // Namespaces are per thread: entered before any thread exists.
    if (!cardsim::enterPrivateNamespaces(&error)) {
        std::fprintf(stderr, "cannot enter private namespaces: %s\n", error.c_str());
        return 1;
    }
    gctest::TempDir home;
    sweep::prepareProcess(home.path());
    cardsim::Pcscd pcscd;
    if (!pcscd.start(&error)) {
        std::printf("cannot start pcscd: %s\n", error.c_str());
        return 1;
    }
    sweep::programPcscd() = &pcscd;
    const int result = RUN_ALL_TESTS();
    sweep::programPcscd() = nullptr;
    pcscd.stop();
    return result;
}
