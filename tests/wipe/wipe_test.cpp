// Every block released through operator delete is scanned for a canary while a test arms it:
// byte buffers that hold secrets must leave none of them in freed memory.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Data/bytes.h"
#include "Data/wipe.h"
#include "Reader/readerctk.h"
#include "logger.h"
#include "platform/ctk_memory.h"
#include "support/freed_memory_scan.h"
#include "support/temp_dir.h"

namespace {

using freedscan::Armed;
using freedscan::g_canary;
using freedscan::kCanaryLength;

SecureVector<unsigned char> canary() {
    return SecureVector<unsigned char>(g_canary, kCanaryLength);
}

}  // namespace

TEST(Wiping, DetectorSeesAPlainVector) {
    Armed armed;
    {
        auto* plain = new std::vector<unsigned char>(g_canary, g_canary + kCanaryLength);
        delete plain;
    }
    EXPECT_GT(armed.leaks(), 0) << "the scan must catch an unwiped block, or the other tests prove nothing";
}

TEST(Wiping, SecureVectorGrowthCopiesAndRelease) {
    Armed armed;
    {
        SecureVector<unsigned char> v;
        for (size_t i = 0; i < kCanaryLength; ++i) v.push_back(g_canary[i]);  // regrows each byte
        SecureVector<unsigned char> copy(v);
        copy.append(v);
        SecureVector<unsigned char> assigned;
        assigned = copy;
        assigned = SecureVector<unsigned char>();
        SecureVector<unsigned char> moved(std::move(copy));
        moved.pop_back();
    }
    EXPECT_EQ(armed.leaks(), 0);
}

TEST(Wiping, GC_BytesEveryOperation) {
    Armed armed;
    {
        GC_Bytes secret(canary(), 0);
        secret.append(canary(), 0);
        secret.c_str();
        secret.c_str();  // the old text copy is wiped when rebuilt
        GC_Bytes copy(secret);
        GC_Bytes moved(std::move(copy));
        GC_Bytes assigned;
        assigned = moved;
        assigned = GC_Bytes();
        GC_Bytes part = secret.substr(0, 20);
        GC_Bytes stripped = secret.rstrip();
        GC_Bytes hex = secret.toHex(false, true);
        GC_Bytes text = secret.toPlainText();
        (void)secret.data();
        SecureVector<char> chars(reinterpret_cast<const char*>(g_canary), kCanaryLength);
        GC_Bytes fromChars(chars, kCanaryLength);
        fromChars.append(reinterpret_cast<const char*>(g_canary), kCanaryLength);
        fromChars.push_back(1);
        secret.pop_back();
        secret.fill0();
    }
    EXPECT_EQ(armed.leaks(), 0);
}

// A command sent through the slot reader is wiped once it has gone out: a plain VERIFY carries
// the PIN.
TEST(Wiping, SlotReaderCommand) {
    struct Answering : ctk::mem::Card {
        ctk::Bytes atr() override { return {0x3B, 0x00}; }
        ctk::Bytes transmit(const ctk::Bytes&) override { return {0x90, 0x00}; }
    };
    auto manager = std::make_shared<ctk::mem::SlotManager>();
    manager->addSlot("Wipe Reader 00");
    ASSERT_TRUE(manager->insertCard("Wipe Reader 00", std::make_shared<Answering>()));
    ctk::SlotManager::setDefaultManager(manager);
    GC_ReaderCTK reader;
    ASSERT_EQ(reader.detectReaderChanges(), 0);
    ASSERT_EQ(reader.init("Wipe Reader 00"), 0);
    ASSERT_EQ(reader.initCard(true, nullptr), 0);

    freedscan::makeCanary();
    std::vector<unsigned char> verify = {0x00, 0x20, 0x00, 0x81, static_cast<unsigned char>(kCanaryLength)};
    verify.insert(verify.end(), g_canary, g_canary + kCanaryLength);
    {
        Armed armed;
        std::vector<unsigned char> response;
        EXPECT_EQ(reader.sendAPDU(std::move(verify), response, 0), 0);
        // The platform queue runs in order: once this one is answered, the task of the first
        // command, with its copy, is gone.
        EXPECT_EQ(reader.sendAPDU({0x00, 0xB0, 0x00, 0x00, 0x00}, response, 0), 0);
        EXPECT_EQ(armed.leaks(), 0);
    }
    ctk::SlotManager::resetDefaultManager();
}

// The logger's copy of a command is wiped whatever it writes: a plain VERIFY, CHANGE REFERENCE
// DATA or RESET RETRY COUNTER carries the PIN, with the release defaults (no dump), the debug
// ones (the dump stops at Lc) and a mask that writes nothing at all.
TEST(Wiping, LoggedCommandCopies) {
    gctest::TempDir dir;
    const std::string logs = dir.makeDirs("logs") + "/";
    struct Setting {
        const char* name;
        unsigned long long options;
        unsigned long long levelMask;
    };
    const Setting settings[] = {
        {"release", gc_log::kReleaseOptions, gc_log::kReleaseLevelMask},
        {"debug", gc_log::kDebugOptions, gc_log::kDebugLevelMask},
        {"APDU lines off", gc_log::kReleaseOptions, gc_log::kReleaseLevelMask & ~gc_log::kApdu},
    };
    std::shared_ptr<GC_Logger> previous;
    for (const Setting& setting : settings) {
        SCOPED_TRACE(setting.name);
        auto old = GC_Logger::installForTesting(std::make_shared<GC_Logger>(logs, setting.options, setting.levelMask));
        if (!previous) previous = old;
        for (unsigned char ins : {0x20, 0x24, 0x2C}) {
            std::vector<unsigned char> command = {0x00, ins, 0x00, 0x81, static_cast<unsigned char>(kCanaryLength)};
            freedscan::makeCanary();
            command.insert(command.end(), g_canary, g_canary + kCanaryLength);
            Armed armed;
            GC_LoggerC::apdu("sendApdu", 1, gc_log::kApdu, std::move(command), false, false, true);
            EXPECT_EQ(armed.leaks(), 0) << "INS " << static_cast<int>(ins);
        }
    }
    GC_Logger::installForTesting(previous);
}

// A string is wiped over its whole capacity: one that shrank keeps its old characters past the end.
TEST(Wiping, StringOverItsWholeCapacity) {
    Armed armed;
    {
        std::string text(48, '-');
        text.replace(30, kCanaryLength, reinterpret_cast<const char*>(g_canary), kCanaryLength);
        text.resize(4);
        gc_wipe(text);
        EXPECT_EQ(text.size(), 4u);
    }
    EXPECT_EQ(armed.leaks(), 0);
}
