// The freed-memory scan's program: the global allocator and OpenSSL's are replaced, and while a
// test arms the scan every block released is searched for a canary. What held a secret (a PIN, a
// PUK, a PACE password, a session key, a command that carries one, a card object's label, path or
// content) must leave none of it in freed memory, on every path: success, refusal, error.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CardController/Card/card.h"
#include "CardController/Card/cardchipdoc_2_0.h"
#include "CardController/Card/cardchipdoc_3_0.h"
#include "Data/Objects/certobject.h"
#include "Data/Objects/dataobject.h"
#include "Data/Objects/privkeyobject.h"
#include "Data/bytes.h"
#include "Data/wipe.h"
#include "Protocols/securemessaging.h"
#include "Queue/queueobjc.h"
#include "Protocols/sm_reference.h"
#include "Reader/readerctk.h"
#include "Reader/readerpcsc.h"
#include "fake_reader_util.h"
#include "logger.h"
#include "platform/ctk_memory.h"
#include "platform/base64.h"
#include "platform/ctk_token.h"
#include "platform/dbus_notification_center.h"
#include "support/child_process.h"
#include "support/freed_memory_scan.h"
#include "support/openssl_freed_scan.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;
using freedscan::Armed;
using freedscan::g_canary;
using freedscan::kCanaryLength;

// The canary, then `after` bytes of `fill`.
Bytes canary(size_t after = 0, unsigned char fill = 0xFF) {
    freedscan::makeCanary();
    Bytes v(g_canary, g_canary + kCanaryLength);
    v.insert(v.end(), after, fill);
    return v;
}

std::string text(const Bytes& b) {
    return {b.begin(), b.end()};
}

// `header`, Lc and the canary as the command's data, padded to `length` bytes.
Bytes withCanary(Bytes header, size_t length = kCanaryLength) {
    const Bytes data = canary(length - kCanaryLength);
    header.push_back(static_cast<unsigned char>(length));
    header.insert(header.end(), data.begin(), data.end());
    return header;
}

const Bytes kVerifyHeader{0x00, 0x20, 0x00, 0x81};

TEST(WipeScan, SeesAnUnwipedBlockOfOursAndOfOpenSsl) {
    ASSERT_TRUE(freedscan::g_opensslHooked) << "OpenSSL allocated before the scan could hook it";
    Armed armed;
    delete new Bytes(g_canary, g_canary + kCanaryLength);
    const int ours = armed.leaks();
    EXPECT_GT(ours, 0) << "the scan must catch an unwiped block, or the other tests prove nothing";
    void* block = OPENSSL_malloc(32);
    ASSERT_NE(block, nullptr);
    std::memcpy(block, g_canary, kCanaryLength);
    OPENSSL_free(block);
    EXPECT_GT(armed.leaks(), ours) << "the scan must see OpenSSL's blocks, or the session keys' test proves nothing";
}

// A secret is seen in every form it takes on its way: hex of either case, and base64 wherever it
// stands in the encoded bytes.
TEST(WipeScan, SeesEveryFormOfTheSecret) {
    const Bytes secret = canary();
    const auto base64At = [&](size_t before) {
        Bytes bytes(before, 0xA5);
        bytes.insert(bytes.end(), secret.begin(), secret.end());
        return "BASE64" + plat::base64::encode(bytes);
    };
    const std::string forms[] = {GC_Bytes(secret, 0).toHex(false, false).c_str(),
                                 GC_Bytes(secret, 0).toHex(true, true).c_str(),
                                 base64At(0),
                                 base64At(1),
                                 base64At(5)};
    for (const std::string& form : forms) {
        Armed armed;
        delete new std::string(form);
        EXPECT_EQ(armed.leaks(), 1) << form;
    }
}

// ---------------------------------------------------------------- the library's buffers

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
        const SecureVector<unsigned char> secret0(g_canary, kCanaryLength);
        GC_Bytes secret(secret0, 0);
        secret.append(secret0, 0);
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
        GC_Bytes plain = secret.toPlainText();
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

// A string is wiped over its whole capacity: one that shrank keeps its old characters past the end.
TEST(Wiping, StringOverItsWholeCapacity) {
    Armed armed;
    {
        std::string s(48, '-');
        s.replace(30, kCanaryLength, reinterpret_cast<const char*>(g_canary), kCanaryLength);
        s.resize(4);
        gc_wipe(s);
        EXPECT_EQ(s.size(), 4u);
    }
    EXPECT_EQ(armed.leaks(), 0);
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
    // clang-format off
    const Setting settings[] = {
        {"release",        gc_log::kReleaseOptions, gc_log::kReleaseLevelMask},
        {"debug",          gc_log::kDebugOptions,   gc_log::kDebugLevelMask},
        {"APDU lines off", gc_log::kReleaseOptions, gc_log::kReleaseLevelMask & ~gc_log::kApdu},
    };
    // clang-format on
    std::shared_ptr<GC_Logger> previous;
    for (const Setting& setting : settings) {
        SCOPED_TRACE(setting.name);
        auto old = GC_Logger::installForTesting(std::make_shared<GC_Logger>(logs, setting.options, setting.levelMask));
        if (!previous) previous = old;
        for (unsigned char ins : {0x20, 0x24, 0x2C}) {
            Bytes command = withCanary({0x00, ins, 0x00, 0x81});
            Armed armed;
            GC_LoggerC::apdu("sendApdu", 1, gc_log::kApdu, std::move(command), false, false, true);
            EXPECT_EQ(armed.leaks(), 0) << "INS " << static_cast<int>(ins);
        }
    }
    GC_Logger::installForTesting(previous);
}

// The command builders take their PINs by value: every copy they were handed, on every path (success,
// a PIN too long, a value the card does not take), is wiped before it is freed. What a builder uses
// of `pin` and `newPin` is moved in, as the card controllers hand them over.
TEST(BuilderWiping, EveryPinCarryingBuilderOfEveryCommandSet) {
    using Build = std::function<int(GC_Card&, Bytes&, Bytes&, Bytes&)>;  // card, PIN, new PIN, command
    const Build verify = [](GC_Card& c, Bytes& pin, Bytes&, Bytes& apdu) {
        return c.verifyPassword(0x81, std::move(pin), apdu);
    };
    const Build change = [](GC_Card& c, Bytes& pin, Bytes& newPin, Bytes& apdu) {
        return c.changePassword(0x01, std::move(pin), std::move(newPin), apdu);
    };
    const Build changeToNewPinOnly = [](GC_Card& c, Bytes&, Bytes& newPin, Bytes& apdu) {
        return c.changePassword(0x01, {}, std::move(newPin), apdu);
    };
    const Build unblockToNewPin = [](GC_Card& c, Bytes& pin, Bytes&, Bytes& apdu) {
        return c.unblockPassword(0x01, std::move(pin), apdu, true, {});
    };
    const Build unblock = [](GC_Card& c, Bytes& pin, Bytes& newPin, Bytes& apdu) {
        return c.unblockPassword(0x01, std::move(pin), apdu, true, std::move(newPin));
    };
    const Build unblockWithoutPin = [](GC_Card& c, Bytes& pin, Bytes& newPin, Bytes& apdu) {
        return c.unblockPassword(0x01, std::move(pin), apdu, false, std::move(newPin));
    };
    const struct {
        const char* name;
        const Build& build;
        size_t padding;  // a PIN of more than 255 bytes is refused before anything is built
    } builders[] = {
        {"verify", verify, 0},
        {"change", change, 0},
        {"change to a new PIN only", changeToNewPinOnly, 0},
        {"unblock with the new PIN", unblockToNewPin, 0},
        {"unblock with code and new PIN", unblock, 0},
        {"unblock without PIN", unblockWithoutPin, 0},
        {"verify too long", verify, 300},
        {"change too long", change, 300},
        {"unblock too long", unblock, 300},
    };
    const struct {
        const char* name;
        std::function<std::unique_ptr<GC_Card>()> make;
    } commandSets[] = {
        {"generic", [] { return std::make_unique<GC_Card>(); }},
        {"ChipDoc 2.0", [] { return std::make_unique<GC_CardChipdoc_2_0>(); }},
        {"ChipDoc 3.0", [] { return std::make_unique<GC_CardChipdoc_3_0>(); }},
    };
    for (const auto& set : commandSets) {
        for (const auto& builder : builders) {
            SCOPED_TRACE(std::string(set.name) + ": " + builder.name);
            auto card = set.make();
            Bytes pin = canary(builder.padding, 0x5A);
            Bytes newPin = canary(builder.padding, 0x5A);
            // The command carries the PIN to the card, and a value the call does not use stays
            // here: the test's own to wipe, outside the scan.
            Bytes apdu;
            GC_WipeGuard wipeOwn{&pin, &newPin, &apdu};
            Armed armed;
            builder.build(*card, pin, newPin, apdu);
            EXPECT_EQ(armed.leaks(), 0);
        }
    }
}

// Card objects wipe their labels, paths and contents before release.
TEST(ObjectWiping, DataObjectContentLabelAndPath) {
    for (size_t labelPadding : {0, 40}) {  // a label inside the object and one on the heap
        SCOPED_TRACE(labelPadding);
        auto* object = new GC_DataObject();
        object->label = text(canary(labelPadding));
        object->path = canary(3);
        object->identifier = canary(1);
        object->setData(canary(20));  // not TLV: stored as it came
        auto* copy = new GC_DataObject(object);
        copy->content.reserve(4 * copy->content.size());  // spare room is wiped as well
        Armed armed;
        delete object;
        delete copy;
        EXPECT_EQ(armed.leaks(), 0);
    }
}

TEST(ObjectWiping, KeyAndCertificateLabelsAndPaths) {
    auto* key = new GC_PrivKeyObject();
    key->label = text(canary(30));
    key->path = canary(2);
    auto* cert = new GC_CertObject();
    cert->label = text(canary());
    cert->path = canary(5);
    Armed armed;
    delete key;
    delete cert;
    EXPECT_EQ(armed.leaks(), 0);
}

// The OpenSSL contexts of a secure-messaging channel hold its session keys: no exchange leaves a
// copy of a key in freed memory, and when the channel forgets its contexts (it closes) or the
// session goes, every block that held one, OpenSSL's or ours, is wiped before it is freed. AES only:
// a 3DES key schedule holds no run of the key's bytes for the scan to find.
TEST(SmWipe, SessionKeysLeaveNothingInFreedMemory) {
    using smref::bytes;
    const bytes select{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x01, 0x1E};
    for (int alg : {2, 4}) {
        SCOPED_TRACE(alg);
        const size_t keyLen = alg == 2 ? 16 : 32;
        // The reference and the card's answer are made, and stay, outside the scan: their plain
        // vectors hold the keys.
        smref::session card{canary(keyLen - kCanaryLength, 0x11), canary(keyLen - kCanaryLength, 0x22), bytes(16, 0)};
        card.ssc[15] = 2;
        const bytes do87 = smref::tlv(0x87, smref::cat({0x01}, card.encrypt(bytes(40, 0x5A))));
        const bytes objects = smref::cat(do87, {0x99, 0x02, 0x90, 0x00});
        const bytes answer = smref::cat(smref::cat(objects, smref::cat({0x8E, 0x08}, card.mac(objects))), {0x90, 0x00});

        auto session = std::make_unique<GC_SecureMessaging::sm_params>();
        session->Kenc = SecureVector<unsigned char>(card.kenc.data(), card.kenc.size());
        session->Kmac = SecureVector<unsigned char>(card.kmac.data(), card.kmac.size());
        session->SSC = SecureVector<unsigned char>(bytes(16, 0).data(), 16);
        session->algorithm = alg;
        Bytes out;
        {
            Armed armed;
            ASSERT_EQ(GC_SecureMessaging::smProtectAPDU(session.get(), select, out), 0);
            ASSERT_EQ(GC_SecureMessaging::smFreeAPDU(session.get(), answer, out), 0);
            EXPECT_EQ(out.size(), 42u);
            EXPECT_EQ(armed.leaks(), 0) << "an exchange";
            freedscan::g_opensslFrees = 0;
            GC_SecureMessaging::forgetKeyContexts(session.get());
            EXPECT_GT(freedscan::g_opensslFrees.load(), 0) << "the contexts must go when the channel forgets them";
            EXPECT_EQ(armed.leaks(), 0) << "the channel forgetting its contexts";
        }
        {
            Armed armed;
            ASSERT_EQ(GC_SecureMessaging::smProtectAPDU(session.get(), select, out), 0);
            session.reset();
            EXPECT_EQ(armed.leaks(), 0) << "the session going with its contexts";
        }
    }
}

// ---------------------------------------------------------------- the reader back-ends

// The PC/SC back-end's copies of commands (a plain VERIFY, a RESET RETRY COUNTER with its PUK),
// PIN structures and PACE passwords, over the fake PC/SC library playing a pinpad reader.
class PcscWipe : public fakepcsc_test::FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        insert(nullptr, {0x3B, 0x00});
        fake->featureAnswer =
            fakepcsc::featureList({fakepcsc::kVerifyPinDirect, fakepcsc::kModifyPinDirect, fakepcsc::kExecutePace});
        reader = open();
        ASSERT_TRUE(reader->isPinpad());
    }
    // The fake keeps what it received until it is cleared, after the scan.
    void TearDown() override {
        reader.reset();
        if (fake != nullptr) fake->clear();
    }

    std::unique_ptr<GC_ReaderPCSC> reader;
};

TEST_F(PcscWipe, CommandCopyOfSendApdu) {
    Bytes response;
    response.reserve(65000);  // the answer buffer is not what is under test
    {
        Bytes verify = withCanary(kVerifyHeader);
        Armed armed;
        EXPECT_EQ(reader->sendAPDU(std::move(verify), response, 0), 0);
        EXPECT_EQ(armed.leaks(), 0);
    }
    {
        // Bytes the command no longer counts stay in its block: they go as well.
        Bytes shortened = withCanary(kVerifyHeader);
        shortened.resize(4);
        Armed armed;
        EXPECT_EQ(reader->sendAPDU(std::move(shortened), response, 0), 0);
        EXPECT_EQ(armed.leaks(), 0);
    }
    // Refused before anything is sent: the copy goes all the same.
    GC_ReaderPCSC unbound;
    Bytes again = withCanary(kVerifyHeader);
    Armed armed;
    EXPECT_EQ(unbound.sendAPDU(std::move(again), response, 0), -1);
    EXPECT_EQ(armed.leaks(), 0);
}

TEST_F(PcscWipe, CommandAndStructureOfPinpadEntry) {
    // RESET RETRY COUNTER carrying the PUK; the reader asks for the new PIN (nobody types).
    Bytes unblock = withCanary({0x00, 0x2C, 0x00, 0x81}, 16);
    const auto container = fakepcsc_test::container(1, 4, 8, 8, 13, 8);
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
    Bytes password = canary();
    {
        Armed armed;
        // No card in the reader: the reader answers, and the copies go.
        EXPECT_NE(reader->performSecureConnection(std::move(password), 2), 0);
        EXPECT_EQ(armed.leaks(), 0);
    }
    ASSERT_FALSE(fake->paceInputs.empty()) << "the block reached the reader";
}

// The slot back-end, with an in-memory card that answers 90 00.
class CtkWipe : public ::testing::Test {
protected:
    struct Answering : ctk::mem::Card {
        ctk::Bytes atr() override { return {0x3B, 0x00}; }
        ctk::Bytes transmit(const ctk::Bytes&) override { return {0x90, 0x00}; }
    };

    void SetUp() override {
        auto manager = std::make_shared<ctk::mem::SlotManager>();
        manager->addSlot(slot);
        ASSERT_TRUE(manager->insertCard(slot, std::make_shared<Answering>()));
        ctk::SlotManager::setDefaultManager(manager);
        ASSERT_EQ(reader.detectReaderChanges(), 0);
        ASSERT_EQ(reader.init(slot), 0);
    }
    void TearDown() override { ctk::SlotManager::resetDefaultManager(); }

    // A slot of the test's own: the back-end keeps a card object per slot name.
    const std::string slot = std::string("Wipe ") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    GC_ReaderCTK reader;
};

// A command sent through the slot reader is wiped once it has gone out.
TEST_F(CtkWipe, CommandSent) {
    ASSERT_EQ(reader.initCard(true, nullptr), 0);
    Bytes verify = withCanary(kVerifyHeader);
    Armed armed;
    Bytes response;
    EXPECT_EQ(reader.sendAPDU(std::move(verify), response, 0), 0);
    // The platform queue runs in order: once this one is answered, the task of the first
    // command, with its copy, is gone.
    EXPECT_EQ(reader.sendAPDU({0x00, 0xB0, 0x00, 0x00, 0x00}, response, 0), 0);
    EXPECT_EQ(armed.leaks(), 0);
}

TEST_F(CtkWipe, CommandRefusedWithoutCardObject) {
    Bytes verify = withCanary(kVerifyHeader);
    Bytes response;
    Armed armed;
    EXPECT_EQ(reader.sendAPDU(std::move(verify), response, 0), -3) << "initCard was not called";
    EXPECT_EQ(armed.leaks(), 0);
}

TEST_F(CtkWipe, StructuredSend) {
    ASSERT_EQ(reader.initCard(true, nullptr), 0);
    auto record = reader.findReader(slot);
    ASSERT_NE(record, nullptr);
    Bytes verify = withCanary(kVerifyHeader);
    Bytes response;
    response.reserve(16);
    Armed armed;
    EXPECT_EQ(reader.sendAPDU_without_sema(record, std::move(verify), response, 0), 0);
    EXPECT_EQ(armed.leaks(), 0);
}

TEST_F(CtkWipe, OperationsTheSlotReaderDoesNotHave) {
    Bytes password = canary();
    Bytes verify = withCanary(kVerifyHeader);
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

// ---------------------------------------------------------------- the platform

// The PIN of the platform's PIN operation leaves nothing in freed memory: neither the block a
// replaced PIN lived in nor the operation itself. The canary is followed by enough digits to live
// in a heap block of its own (and not inside the string object), or short enough to live inside it.
TEST(PinOperationWipe, ReplacedAndReleasedPinsLeaveNoTrace) {
    for (size_t padding : {size_t{0}, size_t{20}}) {
        SCOPED_TRACE(padding);
        const std::string pin = text(canary(padding, '7'));
        auto operation = std::make_shared<ctk::TokenSmartCardPINAuthOperation>();
        Armed armed;
        operation->setPIN(pin);
        EXPECT_EQ(operation->PIN(), pin);
        operation->setPIN(std::string(64, '1'));  // longer: the PIN moves to a new block
        operation->setPIN(pin);
        operation.reset();
        EXPECT_EQ(armed.leaks(), 0);
    }
}

// A link without a notification centre refuses the request and leaves no copy of its frame.
TEST(LinkWipe, ARequestThatCannotBePosted) {
    GC_QueueObjC link("cacheServer", "Core");
    ASSERT_TRUE(link.disabled);
    const Bytes frame = canary();
    Armed armed;
    EXPECT_EQ(link.send(frame), 0);
    EXPECT_EQ(armed.leaks(), 0);
}

// A message that came over the bus (a CAN check carries the CAN): what the bus library frees is
// its own (freed with free(), not looked at); what is ours is the centre's copy of the message.
TEST(BusMessageWipe, ADeliveredMessageLeavesNoTrace) {
    gctest::PrivateBus bus;
    std::string error;
    ASSERT_TRUE(bus.start(&error)) << error;
    std::shared_ptr<plat::NotificationCenter> extension = plat::connectDBusNotificationCenter(bus.address());
    std::shared_ptr<plat::NotificationCenter> companion = plat::connectDBusNotificationCenter(bus.address());
    ASSERT_TRUE(extension && companion);
    std::mutex mutex;
    std::condition_variable arrived;
    int delivered = 0;
    ASSERT_NE(extension->addObserver("Ctk",
                                     [&](const plat::Notification&) {
                                         std::lock_guard lock(mutex);
                                         ++delivered;
                                         arrived.notify_all();
                                     }),
              0u);
    // Made before the scan, as the interface takes it: a converted copy would be the test's own.
    const std::optional<std::string> check =
        R"({"from":"App","checkCan":")" + text(canary()) + R"(","rid":"Reader A"})";
    const std::optional<std::string> fence = R"({"from":"App"})";
    Armed armed;
    ASSERT_TRUE(companion->postNotification("Ctk", check));
    // Delivered in order: once the second is there, the first is gone.
    ASSERT_TRUE(companion->postNotification("Ctk", fence));
    std::unique_lock lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] { return delivered == 2; }));
    EXPECT_EQ(armed.leaks(), 0);
}

}  // namespace
