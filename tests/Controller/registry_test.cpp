// The registry: back-end registration, reader objects per name, and its use from many threads.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "Reader/readerctk.h"
#include "Reader/readerpcsc.h"
#include "factory.h"
#include "session_fixture.h"

namespace session_test {
namespace {

bool isBackendUnderTest(GC_Reader* reader) {
    if (environment().backend == Backend::Pcsc) return dynamic_cast<GC_ReaderPCSC*>(reader) != nullptr;
    return dynamic_cast<GC_ReaderCTK*>(reader) != nullptr;
}

TEST_F(SessionTest, RegistryKeepsOneReaderPerNameAndEveryBackendOnce) {
    GC_Reader* const bound = GC_Factory::createReader(name);
    ASSERT_NE(bound, nullptr);
    EXPECT_TRUE(isBackendUnderTest(bound));
    EXPECT_EQ(GC_Factory::createReader("Virtual PCD 07 00"), nullptr) << "never listed";

    EXPECT_EQ(GC_Factory::addDriver(backendKind()), -1100) << "registered already";
    EXPECT_EQ(GC_Factory::addDriver(2), -1100) << "no such back-end";
    // Both back-ends list the same readers; the names come twice, the objects stay as they were.
    EXPECT_EQ(GC_Factory::addDriver(GC_Factory::READER_PCSC | GC_Factory::READER_CTK), 0);
    const std::vector<std::string> names = GC_Factory::getReadersList(false);
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 2);
    EXPECT_EQ(GC_Factory::createReader(name), bound);
    const std::vector<std::string> supported = GC_Factory::getReadersList(true);
    const bool cardSupported = GC_Factory::getCardsATRs().count(card->atr()) != 0;
    EXPECT_EQ(std::count(supported.begin(), supported.end(), name), cardSupported ? 2 : 0);

    GC_Factory::clearDriver();
    EXPECT_TRUE(GC_Factory::getReadersList(false).empty());
    EXPECT_EQ(GC_Factory::createReader(name), bound) << "readers outlive their back-ends";
    EXPECT_EQ(GC_Factory::addDriver(backendKind()), 0);
    EXPECT_EQ(GC_Factory::getCardsATRs().size(), 2u);

    // A card session on the reader, as before.
    auto session = open();
    EXPECT_EQ(session->getCardControllerType(),
              slotBackend() ? GC_CardController::CARD_GENERIC : GC_CardController::CARD_VARNEL_2_0);
}

// Listing, look-ups, registration and its removal from many threads at once (the token lists
// readers on a background queue while sessions look their readers up); run under ThreadSanitizer.
TEST_F(SessionTest, RegistryConcurrentUse) {
    GC_Reader* const bound = GC_Factory::createReader(name);
    ASSERT_NE(bound, nullptr);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                if (t % 4 == 0) {
                    GC_Factory::clearDriver();
                    GC_Factory::addDriver(backendKind());
                } else {
                    const auto names = GC_Factory::getReadersList(t % 2 == 0);
                    if (std::count(names.begin(), names.end(), name) > 1) ++failures;
                }
                if (GC_Factory::createReader(name) != bound) ++failures;
                if (GC_Factory::getCardsATRs().size() != 2) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    GC_Factory::addDriver(backendKind());
    const auto names = GC_Factory::getReadersList(false);
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 1);
}

}  // namespace
}  // namespace session_test
