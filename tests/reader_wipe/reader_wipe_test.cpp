// Every block released through operator delete is scanned for a canary while a test arms it:
// the reader back-ends' copies of commands (a plain VERIFY, a RESET RETRY COUNTER with its PUK),
// PIN structures and PACE passwords must leave none of it in freed memory, on every path.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Data/Container/container.h"
#include "Reader/readerctk.h"
#include "Reader/readerpcsc.h"
#include "fake_pcsc.h"
#include "platform/ctk_memory.h"
#include "support/env_guard.h"
#include "support/freed_memory_scan.h"

namespace {

using Bytes = std::vector<unsigned char>;
using freedscan::Armed;
using freedscan::g_canary;
using freedscan::kCanaryLength;

// `header`, Lc and the canary as the command's data (padded to `length` bytes with FF).
Bytes withCanary(Bytes header, size_t length = kCanaryLength) {
    freedscan::makeCanary();
    header.push_back(static_cast<unsigned char>(length));
    header.insert(header.end(), g_canary, g_canary + kCanaryLength);
    header.insert(header.end(), length - kCanaryLength, 0xFF);
    return header;
}

Bytes canaryPassword() {
    freedscan::makeCanary();
    return Bytes(g_canary, g_canary + kCanaryLength);
}

class PcscWipe : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fakepcsc::stateOf(FAKEPCSC_LIBRARY);
        ASSERT_NE(fake, nullptr);
        fake->clear();
        fake->readers = {{"Wipe Pinpad", true, {0x3B, 0x00}, nullptr}};
        fake->featureAnswer =
            fakepcsc::featureList({fakepcsc::kVerifyPinDirect, fakepcsc::kModifyPinDirect, fakepcsc::kExecutePace});
        reader = std::make_unique<GC_ReaderPCSC>();
        ASSERT_EQ(reader->init("Wipe Pinpad"), 0);
        ASSERT_EQ(reader->initCard(true, nullptr), 0);
        ASSERT_TRUE(reader->isPinpad());
    }
    // The fake keeps what it received until it is cleared, after the scan.
    void TearDown() override {
        reader.reset();
        if (fake != nullptr) fake->clear();
    }

    gctest::EnvGuard env{"GC_PCSC_LIBRARY", FAKEPCSC_LIBRARY};
    fakepcsc::State* fake = nullptr;
    std::unique_ptr<GC_ReaderPCSC> reader;
};

TEST_F(PcscWipe, CommandCopyOfSendApdu) {
    Bytes verify = withCanary({0x00, 0x20, 0x00, 0x81});
    Bytes response;
    response.reserve(65000);  // the answer buffer is not what is under test
    {
        Armed armed;
        EXPECT_EQ(reader->sendAPDU(std::move(verify), response, 0), 0);
        EXPECT_EQ(armed.leaks(), 0);
    }
    {
        // Bytes the command no longer counts stay in its block: they go as well.
        Bytes shortened = withCanary({0x00, 0x20, 0x00, 0x81});
        shortened.resize(4);
        Armed armed;
        EXPECT_EQ(reader->sendAPDU(std::move(shortened), response, 0), 0);
        EXPECT_EQ(armed.leaks(), 0);
    }
    {
        // Refused before anything is sent: the copy goes all the same.
        GC_ReaderPCSC unbound;
        Bytes again = withCanary({0x00, 0x20, 0x00, 0x81});
        Armed armed;
        EXPECT_EQ(unbound.sendAPDU(std::move(again), response, 0), -1);
        EXPECT_EQ(armed.leaks(), 0);
    }
}

TEST_F(PcscWipe, CommandAndStructureOfPinpadEntry) {
    // RESET RETRY COUNTER carrying the PUK; the reader asks for the new PIN (nobody types).
    Bytes unblock = withCanary({0x00, 0x2C, 0x00, 0x81}, 16);
    auto container = std::make_shared<GC_Container>();
    container->pin = std::make_unique<GC_Container::pin_record>();
    container->pin->encoding = 1;
    container->pin->minLength = 4;
    container->pin->maxLength = 8;
    container->pin->paddingLength = 8;
    container->pin->pinPosition = 13;
    container->pin->oldPinOffset = 8;
    Bytes response;
    response.reserve(16);
    {
        Armed armed;
        EXPECT_EQ(reader->unblockPassword(std::move(unblock), container, response, 25, 255), -14);
        EXPECT_EQ(armed.leaks(), 0);
    }
    ASSERT_FALSE(fake->pinStructures.empty()) << "the structure reached the reader";
}

TEST_F(PcscWipe, PasswordOfPaceInTheReader) {
    Bytes password = canaryPassword();
    {
        Armed armed;
        // No card in the reader: the reader answers, and the copies go.
        EXPECT_NE(reader->performSecureConnection(std::move(password), 2), 0);
        EXPECT_EQ(armed.leaks(), 0);
    }
    ASSERT_FALSE(fake->paceInputs.empty()) << "the block reached the reader";
}

class CtkWipe : public ::testing::Test {
protected:
    struct Answering : ctk::mem::Card {
        ctk::Bytes atr() override { return {0x3B, 0x00}; }
        ctk::Bytes transmit(const ctk::Bytes&) override { return {0x90, 0x00}; }
    };

    void SetUp() override {
        auto manager = std::make_shared<ctk::mem::SlotManager>();
        manager->addSlot("Wipe Slot 00");
        ASSERT_TRUE(manager->insertCard("Wipe Slot 00", std::make_shared<Answering>()));
        ctk::SlotManager::setDefaultManager(manager);
        ASSERT_EQ(reader.detectReaderChanges(), 0);
        ASSERT_EQ(reader.init("Wipe Slot 00"), 0);
    }
    void TearDown() override { ctk::SlotManager::resetDefaultManager(); }

    GC_ReaderCTK reader;
};

TEST_F(CtkWipe, CommandRefusedWithoutCardObject) {
    Bytes verify = withCanary({0x00, 0x20, 0x00, 0x81});
    Bytes response;
    Armed armed;
    EXPECT_EQ(reader.sendAPDU(std::move(verify), response, 0), -3) << "initCard was not called";
    EXPECT_EQ(armed.leaks(), 0);
}

TEST_F(CtkWipe, StructuredSend) {
    ASSERT_EQ(reader.initCard(true, nullptr), 0);
    auto record = reader.findReader("Wipe Slot 00");
    ASSERT_NE(record, nullptr);
    Bytes verify = withCanary({0x00, 0x20, 0x00, 0x81});
    Bytes response;
    response.reserve(16);
    Armed armed;
    EXPECT_EQ(reader.sendAPDU_without_sema(record, std::move(verify), response, 0), 0);
    EXPECT_EQ(armed.leaks(), 0);
}

TEST_F(CtkWipe, OperationsTheSlotReaderDoesNotHave) {
    Bytes password = canaryPassword();
    Bytes verify = withCanary({0x00, 0x20, 0x00, 0x81});
    Bytes change = withCanary({0x00, 0x24, 0x00, 0x81});
    Bytes unblock = withCanary({0x00, 0x2C, 0x00, 0x81});
    Bytes response;
    Armed armed;
    EXPECT_EQ(reader.performSecureConnection(std::move(password), 2), -4);
    EXPECT_EQ(reader.verifyPassword(std::move(verify), nullptr, response, 25, 255), -4);
    EXPECT_EQ(reader.changePassword(std::move(change), nullptr, response, 25, 255), -4);
    EXPECT_EQ(reader.unblockPassword(std::move(unblock), nullptr, response, 25, 255), -4);
    EXPECT_EQ(armed.leaks(), 0);
}

}  // namespace
