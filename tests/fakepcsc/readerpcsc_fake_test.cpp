#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_reader_util.h"
#include "support/fake_card.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Two readers, a card in the first; `open` connects to it.
class ReaderPcscFake : public fakepcsc_test::FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        fake->readers = {{"Reader 0", true, gctest::kVarnel20Atr}, {"Reader 1", false, {}}};
    }
    std::unique_ptr<GC_ReaderPCSC> open(bool shared = true) { return FakeReaderTest::open(shared, "Reader 0"); }
};

std::vector<std::string> asVector(const std::list<std::string>& names) {
    return {names.begin(), names.end()};
}

TEST_F(ReaderPcscFake, NarrowNamesAreEnough) {
    gctest::EnvGuard narrow("GC_PCSC_LIBRARY", FAKEPCSC_A_LIBRARY);
    fakepcsc::State* narrowFake = fakepcsc::stateOf(FAKEPCSC_A_LIBRARY);
    ASSERT_NE(narrowFake, nullptr);
    narrowFake->clear();
    narrowFake->readers = {{"Narrow", true, gctest::kVarnel10Atr}};
    GC_ReaderPCSC reader;
    ASSERT_NE(reader.data, nullptr);
    EXPECT_NE(reader.data->SCardConnect, nullptr);
    EXPECT_EQ(asVector(reader.getReadersList(true)), (std::vector<std::string>{"Narrow"}));
    EXPECT_EQ(reader.init("Narrow"), 0);
    EXPECT_EQ(reader.initCard(true, nullptr), 0);
}

TEST_F(ReaderPcscFake, OneNotificationEntryForAllObjects) {
    GC_ReaderPCSC first;
    GC_ReaderPCSC second;
    first.getReadersList(false);
    second.getReadersList(false);
    ASSERT_FALSE(GC_ReaderPCSC::readerStates.empty());
    EXPECT_STREQ(GC_ReaderPCSC::readerStates[0].szReader, "\\\\?PnP?\\Notification");
    int notifications = 0;
    for (const auto& entry : GC_ReaderPCSC::readerStates)
        notifications += std::string(entry.szReader) == "\\\\?PnP?\\Notification";
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(first.firstReaderIndex, 1u);
    EXPECT_EQ(second.firstReaderIndex, 1u);
    EXPECT_EQ(GC_ReaderPCSC::readerStates.size(), 3u);
}

TEST_F(ReaderPcscFake, ListFiltersByPresenceAndExactAtr) {
    Bytes oneOff = gctest::kVarnel10Atr;
    oneOff[4] ^= 0x80;
    fake->readers.push_back({"Reader 2", true, oneOff});
    fake->readers.push_back({"Reader 3", true, gctest::kVarnel10Atr});
    GC_ReaderPCSC reader;
    EXPECT_EQ(asVector(reader.getReadersList(false)),
              (std::vector<std::string>{"Reader 0", "Reader 1", "Reader 2", "Reader 3"}));
    EXPECT_EQ(asVector(reader.getReadersList(true)), (std::vector<std::string>{"Reader 0", "Reader 3"}));

    ASSERT_EQ(reader.init("Reader 2"), 0);
    int status = 0x100;
    EXPECT_EQ(reader.state(status, 100), 0);
    EXPECT_EQ(status, 0x101);
}

TEST_F(ReaderPcscFake, InitCodes) {
    GC_ReaderPCSC reader;
    EXPECT_EQ(reader.init(""), -16);
    EXPECT_EQ(reader.data->hContext, 0) << "no context for an empty name";
    EXPECT_EQ(reader.init("Never listed"), -17);
    EXPECT_EQ(reader.init("Reader 1"), 0);
    EXPECT_EQ(reader.getReaderName(), "Reader 1");
}

TEST_F(ReaderPcscFake, UnpluggedReaderDisappears) {
    auto reader = open();
    int status = 0;
    EXPECT_EQ(reader->state(status, 100), 0);
    EXPECT_EQ(status, 2);
    fake->readers.erase(fake->readers.begin());
    status = 0;
    EXPECT_EQ(reader->state(status, 100), 0);
    EXPECT_EQ(status, 1);
    for (size_t i = reader->firstReaderIndex; i < GC_ReaderPCSC::readerStates.size(); ++i)
        EXPECT_STRNE(GC_ReaderPCSC::readerStates[i].szReader, "Reader 0");
}

// A listing that fails keeps the reader states as they were; a listing without readers empties them.
TEST_F(ReaderPcscFake, FailedAndEmptyListings) {
    GC_ReaderPCSC reader;
    ASSERT_EQ(reader.getReadersList(false).size(), 2u);
    size_t entries = GC_ReaderPCSC::readerStates.size();
    fake->listFailures = 2;
    EXPECT_TRUE(reader.getReadersList(false).empty());
    EXPECT_EQ(GC_ReaderPCSC::readerStates.size(), entries);
    EXPECT_EQ(reader.getReadersList(false).size(), 2u);
    fake->readers.clear();
    EXPECT_TRUE(reader.getReadersList(false).empty());
    EXPECT_EQ(GC_ReaderPCSC::readerStates.size(), reader.firstReaderIndex);
    EXPECT_EQ(reader.init("Reader 0"), -17);
}

TEST_F(ReaderPcscFake, ShareModesAndSecondExclusiveConnect) {
    auto reader = open(false);
    EXPECT_EQ(fake->lastShareMode, static_cast<DWORD>(SCARD_SHARE_EXCLUSIVE));
    EXPECT_FALSE(reader->sharedMode);
    EXPECT_EQ(reader->initCard(false, nullptr), 0) << "the earlier connection goes first";
    EXPECT_EQ(fake->openCards, 1);
    EXPECT_EQ(reader->initCard(true, nullptr), 0);
    EXPECT_EQ(fake->lastShareMode, static_cast<DWORD>(SCARD_SHARE_SHARED));
    EXPECT_TRUE(reader->sharedMode);

    int connects = fake->connects;
    GC_ReaderPCSC::handle_params block{0x77, 0x88};
    EXPECT_EQ(reader->initCard(false, &block), 0);
    EXPECT_EQ(fake->connects, connects) << "adopted handles: no connect";
    EXPECT_FALSE(reader->sharedMode);
    EXPECT_EQ(reader->data->hCard, 0x88);
    EXPECT_EQ(fake->openCards, 0);
}

TEST_F(ReaderPcscFake, SetParam) {
    auto reader = open();
    EXPECT_EQ(reader->setParam(nullptr), -18);
    GC_ReaderPCSC::handle_params same{reader->data->hContext, reader->data->hCard};
    int released = fake->contextsReleased;
    EXPECT_EQ(reader->setParam(&same), 0);
    EXPECT_EQ(reader->data->hCard, same.hCard);
    EXPECT_EQ(fake->disconnects, 0);

    GC_ReaderPCSC::handle_params other{0x55, 0x66};
    EXPECT_EQ(reader->setParam(&other), 0);
    EXPECT_EQ(reader->data->hContext, 0x55);
    EXPECT_EQ(reader->data->hCard, 0x66);
    EXPECT_EQ(fake->disconnects, 1) << "the own connection is given back";
    EXPECT_EQ(fake->contextsReleased, released + 1) << "the own context is given back";
    reader.reset();
    EXPECT_EQ(fake->contextsReleased, released + 1) << "adopted handles are not released";
}

TEST_F(ReaderPcscFake, NoContextLeakWithoutCard) {
    {
        GC_ReaderPCSC reader;
        reader.getReadersList(false);
        reader.init("Reader 0");
        reader.establishContext();  // a second context replaces the first
    }
    EXPECT_GT(fake->contextsEstablished, 0);
    EXPECT_EQ(fake->contextsReleased, fake->contextsEstablished);
}

TEST_F(ReaderPcscFake, TransmitBufferSizes) {
    auto reader = open();
    Bytes response;
    fake->transmitScript = {{SCARD_S_SUCCESS, {0x01, 0x02, 0x90, 0x00}}, {SCARD_S_SUCCESS, {0x90, 0x00}}};
    EXPECT_EQ(reader->sendAPDU({0x00, 0xB0, 0x00, 0x00, 0x00}, response, 0), 0);
    EXPECT_EQ(response, (Bytes{0x01, 0x02, 0x90, 0x00}));
    EXPECT_EQ(reader->sendAPDU({0x00, 0xB0, 0x00, 0x00, 0x00}, response, 256), 0);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(fake->transmitBufferSizes, (std::vector<DWORD>{65000, 258}));
    EXPECT_EQ(fake->transmitProtocols.back(), static_cast<DWORD>(SCARD_PROTOCOL_T1));
}

TEST_F(ReaderPcscFake, TransmitUsesTheNegotiatedProtocol) {
    fake->connectProtocol = SCARD_PROTOCOL_T0;
    auto reader = open();
    Bytes response;
    EXPECT_EQ(reader->sendAPDU({0x00, 0xA4, 0x00, 0x0C}, response, 0), 0);
    EXPECT_EQ(fake->transmitProtocols.back(), static_cast<DWORD>(SCARD_PROTOCOL_T0));
}

TEST_F(ReaderPcscFake, TransmitRecovery) {
    struct Case {
        const char* what;
        fakepcsc::TransmitStep step;
        LONG reconnect;
        int expected;
    };
    const auto reset = static_cast<LONG>(SCARD_W_RESET_CARD);
    // clang-format off
    const std::vector<Case> cases{
        {"success without bytes",    {SCARD_S_SUCCESS, {}},                                        SCARD_S_SUCCESS,                      -25},
        {"reset with data",          {reset, {0x90, 0x00}},                                        SCARD_S_SUCCESS,                      -25},
        {"invalid handle",           {static_cast<LONG>(SCARD_E_INVALID_HANDLE), {0x90, 0x00}},   SCARD_S_SUCCESS,                      -25},
        {"reset, reconnect fails",   {reset, {}},                                                  static_cast<LONG>(SCARD_E_NO_SMARTCARD), -6},
        {"other error with data",    {static_cast<LONG>(SCARD_E_NOT_TRANSACTED), {0x90, 0x00}},   SCARD_S_SUCCESS,                      -6},
    };
    // clang-format on
    for (const Case& c : cases) {
        auto reader = open(false);
        ASSERT_EQ(reader->lock(), 0);
        fake->reconnectDispositions.clear();
        fake->transmitScript = {c.step};
        fake->reconnectResult = c.reconnect;
        Bytes response{0xAA};
        EXPECT_EQ(reader->sendAPDU({0x00, 0xA4, 0x00, 0x0C}, response, 0), c.expected) << c.what;
        EXPECT_TRUE(response.empty()) << c.what;
        if (c.expected == -25) {
            EXPECT_FALSE(reader->isLocked()) << c.what;
            EXPECT_EQ(fake->reconnectDispositions, (std::vector<DWORD>{SCARD_RESET_CARD})) << c.what;
            EXPECT_EQ(fake->lastShareMode, static_cast<DWORD>(SCARD_SHARE_EXCLUSIVE)) << c.what;
        }
        fake->reconnectResult = SCARD_S_SUCCESS;
    }
}

TEST_F(ReaderPcscFake, AnswerClaimedLongerThanTheBufferIsRefused) {
    auto reader = open();
    fake->transmitScript = {{SCARD_S_SUCCESS, {0x90, 0x00}}};
    fake->claimLongerAnswer = true;
    Bytes response{0xAA};
    EXPECT_EQ(reader->sendAPDU({0x00, 0xA4, 0x00, 0x0C}, response, 0), -6);
    EXPECT_TRUE(response.empty());
}

TEST_F(ReaderPcscFake, LockAfterResetByAnotherClient) {
    auto reader = open();
    fake->beginTransactionResult = static_cast<LONG>(SCARD_W_RESET_CARD);
    EXPECT_EQ(reader->lock(), -25);
    EXPECT_EQ(fake->reconnectDispositions, (std::vector<DWORD>{SCARD_LEAVE_CARD})) << "no second reset";
    EXPECT_FALSE(reader->isLocked());
    EXPECT_EQ(reader->lock(), 0);
    EXPECT_TRUE(reader->isLocked());
    EXPECT_EQ(reader->unlock(), 0);
    EXPECT_FALSE(reader->isLocked());

    fake->beginTransactionResult = static_cast<LONG>(SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(reader->lock(), -2);
}

TEST_F(ReaderPcscFake, CardAtrFromTheLastScan) {
    GC_ReaderPCSC reader;
    ASSERT_EQ(reader.init("Reader 1"), 0);
    Bytes atr;
    EXPECT_EQ(reader.getCardATR(atr), -12);
    fake->readers[1].present = true;
    fake->readers[1].atr = gctest::kVarnel10Atr;
    EXPECT_EQ(reader.getCardATR(atr), -12) << "not seen until the list is refreshed";
    reader.getReadersList(false);
    EXPECT_EQ(reader.getCardATR(atr), 0);
    EXPECT_EQ(atr, gctest::kVarnel10Atr);
}

TEST_F(ReaderPcscFake, GuardsWithoutCard) {
    GC_ReaderPCSC reader;
    Bytes response;
    EXPECT_EQ(reader.lock(), -1);
    EXPECT_EQ(reader.unlock(), -1);
    EXPECT_EQ(reader.sendAPDU({0x00}, response, 0), -1);
    EXPECT_EQ(reader.initCard(true, nullptr), -17) << "not bound to a reader";
    EXPECT_FALSE(reader.isPinpad());
    EXPECT_EQ(reader.performSecureConnection({}, 2), -4);
    EXPECT_EQ(reader.verifyPassword({0x00, 0x20, 0x00, 0x81}, nullptr, response, 25, 255), -1) << "no card handle";
}

TEST(ReaderPcscNoLibrary, EveryOperationSaysNotInitialised) {
    gctest::EnvGuard env("GC_PCSC_LIBRARY", "/nonexistent/libpcsclite.so.1");
    GC_ReaderPCSC reader;
    Bytes response, atr;
    EXPECT_EQ(reader.init("x"), -3);
    EXPECT_EQ(reader.initCard(true, nullptr), -3);
    EXPECT_EQ(reader.lock(), -3);
    EXPECT_EQ(reader.unlock(), -3);
    EXPECT_EQ(reader.sendAPDU({0x00, 0xA4, 0x00, 0x0C}, response, 0), -3);
    EXPECT_EQ(reader.setParam(nullptr), -3);
    EXPECT_EQ(reader.establishContext(), -3);
    EXPECT_TRUE(reader.getReadersList(false).empty());
}

}  // namespace
