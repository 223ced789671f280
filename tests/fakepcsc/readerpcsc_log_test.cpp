// Detail logging of the PC/SC back-end: with every mask bit and the detail option on, no secret
// the driver hands the reader reaches the log, neither the PACE password inside the EXECUTE_PACE
// block nor the PUK a PIN structure carries in its command; nor do the APDU lines of the
// commands that carry them.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fake_reader_util.h"
#include "logger.h"
#include "support/temp_dir.h"

namespace {

using namespace fakepcsc_test;

const std::string kCan = "918273";
const std::string kPuk = "86420864";

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The ways a secret can show in a line: as text, and as hex with and without blanks.
std::vector<std::string> spellings(const std::string& secret) {
    std::string spaced, plain;
    for (unsigned char c : secret) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02X", c);
        spaced += std::string(hex) + " ";
        plain += hex;
    }
    spaced.pop_back();
    return {secret, spaced, plain};
}

class ReaderLog : public FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        previous_ = GC_Logger::installForTesting(std::make_shared<GC_Logger>(
            dir_.makeDirs("logs") + "/", GC_Logger::kOptionDebugLevel, ~0ULL & ~gc_log::kBytes));
        ASSERT_TRUE(sim.ok()) << sim.error();
        insert(&card, sim.atr());
        fake->featureAnswer = kPinpadFeatures;
        reader = open();
        ASSERT_TRUE(reader->isPinpad());
        ASSERT_EQ(reader->lock(), 0);
    }
    void TearDown() override {
        reader.reset();
        GC_Logger::installForTesting(previous_);
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(gctest::readFile(dir_.path() + "/logs/spdlog.log"));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

    gctest::TempDir dir_;
    std::shared_ptr<GC_Logger> previous_;
    cardsim::CardSim sim{[] {
        cardsim::CardConfig config;
        config.can = kCan;
        config.puk = kPuk;
        return config;
    }()};
    SimulatedCard card{sim};
    std::unique_ptr<GC_ReaderPCSC> reader;
};

TEST_F(ReaderLog, SecretsStayOutOfControlAndApduLines) {
    ASSERT_EQ(reader->performSecureConnection(bytesOf(kCan), 2), 0);
    ASSERT_EQ(fake->paceInputs.size(), 1u);

    // RESET RETRY COUNTER with the PUK in the command; the reader asks for the new PIN.
    Bytes unblock = {0x00, 0x2C, 0x00, 0x01, 0x10};
    for (char c : kPuk) unblock.push_back(static_cast<unsigned char>(c));
    unblock.insert(unblock.end(), 8, 0xFF);
    fake->keypad.push_back({fakepcsc::KeypadEntry::Kind::Typed, {"111111", "111111"}});
    Bytes response;
    GC_LoggerC::apdu("sendApdu", 1, gc_log::kApdu, unblock, false, false, true);
    reader->unblockPassword(unblock, container(1, 4, 8, 8, 13, 8), response, 25, 255);
    ASSERT_EQ(fake->pinStructures.size(), 1u);

    // The same command sent plainly through the transport, as the card session logs it.
    GC_LoggerC::apdu("sendApdu", 2, gc_log::kApdu, unblock, false, false, true);
    reader->sendAPDU(unblock, response, 0);

    size_t cutControlLines = 0, apduLines = 0;
    for (const std::string& line : lines()) {
        const bool control = line.find("SENDCTL: ") != std::string::npos;
        cutControlLines += control && line.find(" bytes)") != std::string::npos;
        apduLines += line.find("sendApdu:") != std::string::npos;
        if (!control && line.find("sendApdu:") == std::string::npos) continue;
        for (const std::string& secret : {kCan, kPuk})
            for (const std::string& spelling : spellings(secret))
                EXPECT_EQ(line.find(spelling), std::string::npos) << spelling << " in: " << line;
    }
    EXPECT_GE(cutControlLines, 2u) << "the PACE block and the PIN structure are dumped up to their secret";
    EXPECT_GE(apduLines, 4u);
}

}  // namespace
