// The token host in process: the real token extension over the fake card library (the
// second-generation card's personalisation, real signatures), in-memory slots, the notification
// hub, and clients on the control socket; and two readers served at once over the real card
// library and the simulated cards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "cache.h"
#include "cache_server.h"
#include "cardsim.h"
#include "ctk_client.h"
#include "extension/token_driver.h"
#include "factory.h"
#include "host/control_protocol.h"
#include "host/control_session.h"
#include "host/line_channel.h"
#include "host/token_host.h"
#include "platform/base64.h"
#include "platform/ctk_memory.h"
#include "platform/dispatch.h"
#include "platform/json.h"
#include "platform/notification_hub.h"
#include "support/child_process.h"
#include "support/control_client.h"
#include "support/fake_card.h"
#include "support/fake_card_driver.h"
#include "support/notification_collector.h"
#include "support/signature_check.h"
#include "support/sim_card_adapter.h"
#include "support/temp_dir.h"
#include "test_util.h"

namespace {

using nlohmann::json;
using Bytes = std::vector<unsigned char>;

constexpr const char* kReader = "Reader A";
const Bytes kUnsupportedAtr{0x3B, 0x80, 0x80, 0x01, 0x01};

// The key items of the second-generation card and their PINs.
constexpr const char* kAuthenticationKey = "450102";
constexpr const char* kQualifiedKey = "450C02";
constexpr const char* kAuthenticationPin = "111111";
constexpr const char* kQualifiedPin = "333333";

using gctest::sha256;
using gctest::verifiesWithCertificate;

using Client = gctest::ControlClient;

json signRequest(const char* key, const std::string& message, const char* algorithm = "ECDSASignatureDigestX962",
                 const char* reader = kReader) {
    return json{{"op", "sign"},
                {"reader", reader},
                {"key", key},
                {"alg", algorithm},
                {"data", plat::base64::encode(sha256(message))}};
}

class HostTest : public ::testing::Test {
protected:
    // The fake card library, unless another driver is given.
    explicit HostTest(std::chrono::milliseconds idleLimit = std::chrono::seconds(30),
                      std::shared_ptr<TokenDriver> otherDriver = nullptr)
        : driver(otherDriver ? otherDriver : std::make_shared<TokenDriver>(library)), idleLimit(idleLimit) {
        plat::NotificationCenter::setDefaultCenter(extensionCenter);
        companion->addObserver("App", replies.callback());
    }
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(host.start(&error)) << error;
    }
    ~HostTest() override {
        host.stop();
        plat::NotificationCenter::setDefaultCenter(nullptr);
    }

    void insert(const std::string& reader, const Bytes& atr = gctest::kVarnel20Atr) {
        slots->addSlot(reader);
        slots->insertCard(reader, std::make_shared<gctest::FakeCard>(atr));
    }

    // Waits for the reader's token through the control socket.
    json waitToken(const std::string& reader, bool gone = false) {
        json request{{"op", "wait-token"}, {"reader", reader}, {"timeoutMs", 5000}};
        if (gone) request["gone"] = true;
        return Client(socketPath).ask(request);
    }

    // The companion's CAN check: the "canResult".
    std::string checkCan(const std::string& reader = kReader) {
        const size_t before = replies.received().size();
        const std::string text =
            *plat::json::writeObjectTexts({{"from", "App"}, {"checkCan", "123456"}, {"rid", reader}});
        EXPECT_TRUE(companion->postNotification("Ctk", text));
        const std::vector<plat::Notification> got = replies.waitFor(before + 1, std::chrono::seconds(10));
        if (got.size() <= before) return "(no answer)";
        const auto reply = plat::json::parseStringObject(got[before].object.value_or(""));
        for (const auto& [key, value] : reply.value_or(plat::json::StringObject{}))
            if (key == "canResult") return value;
        return "(no canResult)";
    }

    // A token for a card in kReader, opened with its CAN.
    void openCard() {
        insert(kReader);
        ASSERT_EQ(waitToken(kReader)["ok"], true);
        ASSERT_EQ(checkCan(), "SUCCESS");
    }

    // A signature through the control socket, the PIN given when asked.
    json signWithPin(Client& client, const char* key, const std::string& message, const char* pin,
                     const char* algorithm = "ECDSASignatureDigestX962") {
        json answer = client.ask(signRequest(key, message, algorithm));
        if (answer.value("pin", "") != "needed") return answer;
        return client.ask(json{{"op", "pin"}, {"pin", pin}});
    }

    Bytes certificateOf(const char* key) {
        json listed = Client(socketPath).ask(json{{"op", "list"}, {"reader", kReader}});
        std::string certificateID;
        for (const json& item : listed["tokens"][0]["items"])
            if (item["objectID"] == key) certificateID = item.value("certificateID", "");
        Bytes der;
        for (const json& item : listed["tokens"][0]["items"])
            if (item["objectID"] == certificateID) plat::base64::decode(item["certificate"].get<std::string>(), der);
        return der;
    }

    plat::NotificationHub hub;
    std::shared_ptr<plat::NotificationCenter> extensionCenter = hub.connect();
    std::shared_ptr<plat::NotificationCenter> companion = hub.connect();
    gctest::NotificationCollector replies;
    gctest::TempDir dir;
    const std::string socketPath = dir.path() + "/control.sock";
    std::shared_ptr<ctk::mem::SlotManager> slots = std::make_shared<ctk::mem::SlotManager>();
    std::shared_ptr<gctest::FakeCardLibrary> library = std::make_shared<gctest::FakeCardLibrary>();
    std::shared_ptr<TokenDriver> driver;
    const std::chrono::milliseconds idleLimit;
    host::TokenHost host{
        slots, driver,
        host::HostOptions{
            .socketPath = socketPath, .slotInterval = std::chrono::milliseconds(20), .idleLimit = idleLimit}};
};

TEST_F(HostTest, ATokenPerServedCardFromInsertionToRemoval) {
    struct stat st;
    ASSERT_EQ(stat(socketPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    insert("Other reader", kUnsupportedAtr);
    insert(kReader);
    const json token = waitToken(kReader);
    ASSERT_EQ(token["ok"], true) << token;
    EXPECT_FALSE(token.value("instanceID", "").empty());
    // The other card is not served: only one token, and it has no items before the CAN.
    json listed = Client(socketPath).ask(json{{"op", "list"}});
    ASSERT_EQ(listed["tokens"].size(), 1u) << listed;
    EXPECT_EQ(listed["tokens"][0]["reader"], kReader);
    EXPECT_TRUE(listed["tokens"][0]["items"].empty());

    ASSERT_EQ(checkCan(), "SUCCESS");
    listed = Client(socketPath).ask(json{{"op", "list"}, {"reader", kReader}});
    const json& items = listed["tokens"][0]["items"];
    ASSERT_EQ(items.size(), 6u) << listed;
    const json* key = nullptr;
    for (const json& item : items)
        if (item["objectID"] == kAuthenticationKey) key = &item;
    ASSERT_NE(key, nullptr);
    EXPECT_EQ((*key)["kind"], "key");
    EXPECT_EQ((*key)["keyType"], "EC");
    EXPECT_EQ((*key)["keySize"], 256);
    EXPECT_EQ((*key)["canSign"], true);
    EXPECT_EQ((*key)["suitableForLogin"], false);
    EXPECT_EQ((*key)["constraints"], (json{{"sign", "01"}}));
    EXPECT_EQ((*key)["certificateID"], "450101");
    EXPECT_EQ((*key)["label"], "Authentication key (Varnel 2.0 Authentication)");

    slots->removeCard(kReader);
    EXPECT_EQ(waitToken(kReader, /*gone=*/true)["ok"], true);
    EXPECT_TRUE(Client(socketPath).ask(json{{"op", "list"}})["tokens"].empty());
    json missing = Client(socketPath).ask(json{{"op", "list"}, {"reader", kReader}});
    EXPECT_EQ(missing["ok"], false);
    EXPECT_EQ(missing["error"], "no token for reader \"Reader A\"");

    // A card again: a new token, which knows nothing until its CAN comes.
    slots->insertCard(kReader, std::make_shared<gctest::FakeCard>(gctest::kVarnel20Atr));
    ASSERT_EQ(waitToken(kReader)["ok"], true);
    EXPECT_TRUE(Client(socketPath).ask(json{{"op", "list"}})["tokens"][0]["items"].empty());
}

TEST_F(HostTest, SignaturesNeedTheirPinEachTime) {
    openCard();
    Client client(socketPath);
    const std::string message = "a message to sign";
    json answer = client.ask(signRequest(kAuthenticationKey, message));
    ASSERT_EQ(answer["pin"], "needed") << answer;
    EXPECT_EQ(answer["key"], kAuthenticationKey);
    EXPECT_EQ(answer["label"], "Authentication key (Varnel 2.0 Authentication)");
    answer = client.ask(json{{"op", "pin"}, {"pin", kAuthenticationPin}});
    ASSERT_EQ(answer["ok"], true) << answer;
    EXPECT_EQ(answer["pinPrompts"], 1);
    Bytes signature;
    ASSERT_TRUE(plat::base64::decode(answer["signature"].get<std::string>(), signature));
    EXPECT_TRUE(verifiesWithCertificate(certificateOf(kAuthenticationKey), message, signature));

    // The same client again: the PIN is asked for again.
    answer = signWithPin(client, kQualifiedKey, message, kQualifiedPin, "RSASignatureDigestPKCS1v15SHA256");
    ASSERT_EQ(answer["ok"], true) << answer;
    ASSERT_TRUE(plat::base64::decode(answer["signature"].get<std::string>(), signature));
    EXPECT_TRUE(verifiesWithCertificate(certificateOf(kQualifiedKey), message, signature));
}

TEST_F(HostTest, ACancelledPinEntryIsAnsweredAndTheConnectionServesOn) {
    openCard();
    Client client(socketPath);
    EXPECT_EQ(client.ask(signRequest(kAuthenticationKey, "text"))["pin"], "needed");
    const json cancelled = client.ask(json{{"op", "cancel"}});
    EXPECT_EQ(cancelled["error"], "PIN entry cancelled");
    EXPECT_EQ(cancelled["code"], ctk::error::kCanceledByUser);
    EXPECT_EQ(signWithPin(client, kAuthenticationKey, "text", kAuthenticationPin)["ok"], true);
}

TEST_F(HostTest, BadRequestsAreAnsweredAndTheConnectionServesOn) {
    openCard();
    const struct {
        std::string line;
        std::string error;
    } kCases[] = {
        // clang-format off
        {"garbage", "not a request: not a JSON object"},
        {"{\"op\":\"list\"", "not a request: a comma or the end of the object was expected"},
        {R"({"op":{"nested":true}})", "not a request: nested values are not accepted"},
        {"{\"op\":\"\xC3\x28\"}", "not a request: a string is not UTF-8 text"},
        {R"({"reader":"Reader A"})", "a request names its \"op\""},
        {R"({"op":"format-card"})", "unknown op \"format-card\""},
        {R"({"op":"pin","pin":"111111"})", "no PIN was asked for"},
        {R"({"op":"sign","reader":"Reader A","key":"450102","alg":"ECDSASignatureDigestX962"})", "a signature needs \"reader\", \"key\", \"alg\" and \"data\""},
        {signRequest(kAuthenticationKey, "x", "ECDSASignatureDigestX962", "Reader Z").dump(), "no token for reader \"Reader Z\""},
        {R"({"op":"sign","reader":"Reader A","key":"45g1","alg":"ECDSASignatureDigestX962","data":""})", "the key ID is not hexadecimal: \"45g1\""},
        {R"({"op":"sign","reader":"Reader A","key":"450102","alg":"ECDSASignatureDigestX999","data":""})", "unknown algorithm \"ECDSASignatureDigestX999\""},
        {R"({"op":"sign","reader":"Reader A","key":"450102","alg":"ECDSASignatureDigestX962","data":"@@"})", "the data is not base64"},
        {signRequest("459902", "x").dump(), "unknown key ID 459902"},
        {signRequest(kAuthenticationKey, "x", "RSAEncryptionPKCS1").dump(), "the key does not support the algorithm"},
        {R"({"op":"wait-token","gone":true})", "waiting for a token to go needs its \"reader\""},
        {R"({"op":"wait-token","timeoutMs":"soon"})", "\"timeoutMs\" is not a whole number"},
        {R"({"op":"wait-token","timeoutMs":-1})", "\"timeoutMs\" is a number of milliseconds"},
        // A field of another kind is no field to leave out: "reader" 5 is not every reader.
        {R"({"op":"list","reader":5})", "\"reader\" is not text"},
        {R"({"op":"wait-token","reader":"Reader A","gone":"yes","timeoutMs":50})", "\"gone\" is not true or false"},
        {R"({"op":true})", "\"op\" is not text"},
        {R"({"op":"wait-token","reader":"Reader Z","timeoutMs":50})", "no token of reader \"Reader Z\" within 50 ms"},
        // clang-format on
    };
    Client client(socketPath);
    for (const auto& c : kCases) {
        client.sendRaw(c.line);
        const json answer = client.receive();
        EXPECT_EQ(answer["ok"], false) << c.line;
        EXPECT_EQ(answer.value("error", ""), c.error) << c.line;
    }
    // An empty line is no request; the next one is served.
    client.sendRaw("");
    EXPECT_EQ(client.ask(json{{"op", "list"}})["ok"], true);
    // Nothing reached the card but the one read of the CAN check.
    for (const std::string& call : library->driver()->calls())
        EXPECT_TRUE(call.rfind("verify", 0) != 0 && call.rfind("sign", 0) != 0) << call;
}

TEST_F(HostTest, AnOverlongLineEndsOnlyItsConnection) {
    Client client(socketPath);
    client.sendRaw(std::string(host::LineChannel::kMaxRequestLine + 10, 'x'));
    const json answer = client.receive();
    EXPECT_EQ(answer["error"], "request line longer than 65536 bytes");
    EXPECT_TRUE(client.receive().is_null()) << "the connection is closed";
    EXPECT_EQ(Client(socketPath).ask(json{{"op", "list"}})["ok"], true);
}

TEST_F(HostTest, AClientThatLeavesWhileAskedForThePinSignsNothing) {
    openCard();
    library->driver()->clearCalls();
    {
        Client leaving(socketPath);
        ASSERT_EQ(leaving.ask(signRequest(kAuthenticationKey, "text"))["pin"], "needed");
        leaving.hangUp();
    }
    // The host goes on; the next client is asked for the PIN afresh and signs.
    Client client(socketPath);
    const json answer = signWithPin(client, kAuthenticationKey, "text", kAuthenticationPin);
    ASSERT_EQ(answer["ok"], true) << answer;
    EXPECT_EQ(answer["pinPrompts"], 1);
    const std::vector<std::string> calls = library->driver()->calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("verify", 0) == 0; }),
              1);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("sign", 0) == 0; }),
              1);
}

// A client that gives its PIN and leaves before the answer: the connection's buffer, kept until
// the next connection is accepted, holds the PIN no longer.
TEST_F(HostTest, APinLineIsWipedWhenItsConnectionEnds) {
    openCard();
    const std::string path = dir.path() + "/kept.sock";
    host::ControlServer server(
        path, [this](host::LineChannel& channel) { host::ControlSession(channel, host.registry(), idleLimit).run(); });
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    {
        Client leaving(path);
        ASSERT_EQ(leaving.ask(signRequest(kAuthenticationKey, "text"))["pin"], "needed");
        leaving.send(json{{"op", "pin"}, {"pin", kAuthenticationPin}});
    }
    host::ControlServer::Ended ended;
    for (int i = 0; i < 500 && ended.connections == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ended = server.endedConnectionsHolding(kAuthenticationPin);
    }
    ASSERT_EQ(ended.connections, 1u);
    EXPECT_EQ(ended.holding, 0u);
    server.stop();
}

class IdleHostTest : public HostTest {
protected:
    static constexpr std::chrono::seconds kLimit{3};
    IdleHostTest() : HostTest(kLimit) {}
};

// Clients that send nothing are let go after the idle limit, and the tool, locked out meanwhile,
// prints the host's reason; a request under way (a PIN asked for, a wait for a token) is not cut.
TEST_F(IdleHostTest, IdleClientsAreLetGoButRequestsUnderWayAreNot) {
    openCard();
    Client signing(socketPath);
    ASSERT_EQ(signing.ask(signRequest(kAuthenticationKey, "text"))["pin"], "needed");
    Client waiting(socketPath);
    waiting.send(json{{"op", "wait-token"}, {"reader", "Reader Z"}, {"timeoutMs", 4000}});
    std::vector<std::unique_ptr<Client>> idle;
    for (size_t i = 0; i < host::ControlServer::kMaxConnections; ++i)
        idle.push_back(std::make_unique<Client>(socketPath, 256));
    const auto filled = std::chrono::steady_clock::now();
    const gctest::ToolRun lockedOut = gctest::runTool({GC_TOKEN_CTL_PROGRAM, "list", "--socket", socketPath});
    EXPECT_EQ(lockedOut.err, "gc-token-ctl: list: too many connections\n");

    // Each is let go (or was refused at once); without a limit nothing would ever come.
    const auto deadline = filled + kLimit + std::chrono::seconds(5);
    std::vector<json> answers;
    for (auto& client : idle) answers.push_back(client->receive(deadline));
    EXPECT_EQ(answers.front(), (json{{"ok", false}, {"error", "no request within 3 s"}}));
    EXPECT_TRUE(idle.front()->receive(deadline).is_null()) << "the connection is closed";
    const gctest::ToolRun served = gctest::runTool({GC_TOKEN_CTL_PROGRAM, "list", "--socket", socketPath});
    EXPECT_EQ(served.status, 0) << served.err;

    const json signature = signing.ask(json{{"op", "pin"}, {"pin", kAuthenticationPin}});
    EXPECT_EQ(signature["ok"], true) << signature;
    EXPECT_EQ(waiting.receive()["error"], "no token of reader \"Reader Z\" within 4000 ms");
    // Answered, the client is idle again.
    EXPECT_EQ(signing.receive(std::chrono::steady_clock::now() + kLimit + std::chrono::seconds(5))["error"],
              "no request within 3 s");
}

// Whoever may write to the socket's directory may remove or replace the socket.
TEST(ControlServer, StartsOnlyInADirectoryNoOtherUserCanChange) {
    gctest::TempDir dir;
    const std::string ownDir = dir.makeDirs("own");
    constexpr mode_t kLink = 0;           // a symbolic link to a private directory
    constexpr mode_t kMissing = 0100000;  // none yet: the server makes it
    const struct {
        const char* name;
        mode_t mode;
        uid_t owner;
        std::string error;  // empty: served
    } kCases[] = {
        {"open", 0777, geteuid(), "is writable by group or others (mode 0777)"},
        {"group", 0770, geteuid(), "is writable by group or others (mode 0770)"},
        {"link", kLink, geteuid(), "is a symbolic link"},
        {"foreign", 0700, 65534, "belongs to another user (65534)"},
        {"home", 0755, geteuid(), ""},
        {"missing", kMissing, geteuid(), ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        if (c.owner != geteuid() && geteuid() != 0) continue;  // only root gives a directory away
        const std::string socketDir = dir.path() + "/" + c.name;
        if (c.mode == kLink) {
            ASSERT_EQ(symlink(ownDir.c_str(), socketDir.c_str()), 0);
        } else if (c.mode != kMissing) {
            ASSERT_EQ(mkdir(socketDir.c_str(), 0700), 0);
            ASSERT_EQ(chmod(socketDir.c_str(), c.mode), 0);
            ASSERT_EQ(chown(socketDir.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        }
        host::ControlServer server(socketDir + "/control.sock", [](host::LineChannel&) {});
        std::string error;
        EXPECT_EQ(server.start(&error), c.error.empty()) << error;
        if (!c.error.empty()) {
            EXPECT_EQ(error, "the socket directory " + socketDir + " " + c.error);
        }
    }

    // The user's own directory under /tmp is the user's alone: not even others' reading.
    const std::string privateDir = host::protocol::privateSocketDirectory();
    if (mkdir(privateDir.c_str(), 0700) != 0) return;  // a host of this user may use it
    ASSERT_EQ(chmod(privateDir.c_str(), 0750), 0);
    host::ControlServer server(privateDir + "/control.sock", [](host::LineChannel&) {});
    std::string error;
    EXPECT_FALSE(server.start(&error));
    EXPECT_EQ(error, "the socket directory " + privateDir + " is not private to the user (owner " +
                         std::to_string(geteuid()) + ", mode 0750)");
    ASSERT_EQ(chmod(privateDir.c_str(), 0700), 0);
    EXPECT_TRUE(server.start(&error)) << error;
    server.stop();
    rmdir(privateDir.c_str());
}

TEST_F(HostTest, StoppingCancelsAPinEntryAndFreesTheSocket) {
    openCard();
    Client client(socketPath);
    ASSERT_EQ(client.ask(signRequest(kAuthenticationKey, "text"))["pin"], "needed");
    Client waiting(socketPath);
    waiting.send(json{{"op", "wait-token"}, {"reader", "Reader Z"}, {"timeoutMs", 60000}});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    host.stop();
    const json cancelled = client.receive();
    EXPECT_EQ(cancelled["error"], "PIN entry cancelled") << cancelled;
    EXPECT_EQ(waiting.receive()["error"], "the host is stopping");
    struct stat st;
    EXPECT_NE(stat(socketPath.c_str(), &st), 0);
    EXPECT_TRUE(library->driver()->calls().back().rfind("verify", 0) != 0);

    // The socket can be had again; a second host on a live socket cannot.
    host::TokenHost second(slots, driver, host::HostOptions{.socketPath = socketPath});
    std::string error;
    ASSERT_TRUE(second.start(&error)) << error;
    host::TokenHost third(slots, driver, host::HostOptions{.socketPath = socketPath});
    EXPECT_FALSE(third.start(&error));
    EXPECT_EQ(error, "another host listens on " + socketPath);
}

// Two readers with a simulated card each, one of either generation, served at once over the real
// card library, the test companion as the cache service: every round checks the CAN, lists the
// items and signs after the PIN on both readers at the same time, each signature verified with the
// certificate its own card lists. Built for the ThreadSanitizer run (GC_TWO_READERS_ROUNDS sets the
// rounds).
class TwoReaders : public HostTest {
protected:
    struct Reader {
        const char* name;
        cardsim::Personality personality;
        const char* keyLabel;  // the start of the key item's label
        const char* algorithm;
        const char* pin;
        const char* can;
        const char* certificate;  // the personalisation's certificate of the key
    };
    static constexpr Reader kReaders[] = {
        // clang-format off
        {"Two Readers A", cardsim::Personality::Varnel1, "Presence key", "ECDSASignatureDigestX962", "222222", "123456", "v1_presence_p521"},
        {"Two Readers B", cardsim::Personality::Varnel2, "Qualified key", "RSASignatureDigestPKCS1v15SHA256", "333333", "654321", "v2_qualified_rsa"},
        // clang-format on
    };

    // The slot keeps its card alive as long as a reader of the card library may reach it.
    struct OwnedSimCard : gctest::SimCardAdapter {
        explicit OwnedSimCard(std::shared_ptr<cardsim::CardSim> sim) : SimCardAdapter(*sim), card(std::move(sim)) {}
        std::shared_ptr<cardsim::CardSim> card;
    };

    TwoReaders() : HostTest(std::chrono::seconds(30), std::make_shared<TokenDriver>()) {
        ctk::SlotManager::setDefaultManager(slots);  // the card library's reader back-end asks it
        GC_Cache::resetForTesting(GC_Cache::kDefaultReplyWait);
        for (const Reader& reader : kReaders) {
            cardsim::CardConfig config;
            config.personality = reader.personality;
            config.can = reader.can;
            cards.push_back(std::make_shared<cardsim::CardSim>(config));
            slots->addSlot(reader.name);
            slots->insertCard(reader.name, std::make_shared<OwnedSimCard>(cards.back()));
        }
    }
    ~TwoReaders() override {
        host.stop();
        plat::Dispatch::waitIdle();
        // The readers go, and the registry lets go of the cards' sessions while OpenSSL still cleans
        // up after the threads that end with them.
        for (const Reader& reader : kReaders) slots->removeSlot(reader.name);
        GC_Factory::getReadersList(false);
        ctk::SlotManager::resetDefaultManager();
        GC_Cache::resetForTesting();
    }

    // One round on one reader; what went wrong, or nothing.
    std::string round(const Reader& reader, int number, companion::CtkClient& ctk, Client& client) {
        // The CAN check, answered on this reader's own reply address; the other reader's progress
        // messages come in between, any number of them.
        const size_t seen = ctk.waitForMessages(0).size();
        if (!ctk.checkCan(reader.name, reader.can)) return "the CAN check was not posted";
        std::string result = "(no answer)";
        for (size_t count = seen + 1; result == "(no answer)"; ++count) {
            const std::vector<companion::Message> messages = ctk.waitForMessages(count, std::chrono::seconds(60));
            if (messages.size() < count) break;
            const auto found = messages[count - 1].find("canResult");
            if (found != messages[count - 1].end()) result = found->second;
        }
        if (result != "SUCCESS") return "CAN check: " + result;

        // The key and its certificate.
        const json listed = client.ask(json{{"op", "list"}, {"reader", reader.name}});
        if (listed.value("ok", false) != true || listed["tokens"].size() != 1) return "list: " + listed.dump();
        std::string keyID, certificateID;
        for (const json& item : listed["tokens"][0]["items"]) {
            if (item.value("kind", "") == "key" && item.value("label", "").rfind(reader.keyLabel, 0) == 0) {
                keyID = item["objectID"];
                certificateID = item.value("certificateID", "");
            }
        }
        Bytes certificate;
        for (const json& item : listed["tokens"][0]["items"])
            if (item["objectID"] == certificateID) plat::base64::decode(item.value("certificate", ""), certificate);
        if (keyID.empty() || certificate.empty()) return "list: no key or certificate";
        if (certificate != cardsim::test::dataFile(std::string("certs/") + reader.certificate + ".der"))
            return "list: the key's certificate is not its card's";

        // A signature after the PIN.
        const std::string message = std::string(reader.name) + " round " + std::to_string(number);
        json answer = client.ask(json{{"op", "sign"},
                                      {"reader", reader.name},
                                      {"key", keyID},
                                      {"alg", reader.algorithm},
                                      {"data", plat::base64::encode(sha256(message))}});
        if (answer.value("pin", "") != "needed") return "sign: " + answer.dump();
        answer = client.ask(json{{"op", "pin"}, {"pin", reader.pin}});
        Bytes signature;
        if (answer.value("ok", false) != true || !plat::base64::decode(answer.value("signature", ""), signature))
            return "sign: " + answer.dump();
        if (!verifiesWithCertificate(certificate, message, signature))
            return "the signature does not verify with its certificate";
        return {};
    }

    companion::CacheServer server{companion};
    std::vector<std::shared_ptr<cardsim::CardSim>> cards;
};

TEST_F(TwoReaders, CanCheckListAndSignOnBothAtOnce) {
    const char* wanted = std::getenv("GC_TWO_READERS_ROUNDS");
    const int rounds = wanted != nullptr && std::atoi(wanted) > 0 ? std::atoi(wanted) : 20;
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(cards[i]->ok()) << cards[i]->error();
        ASSERT_EQ(waitToken(kReaders[i].name)["ok"], true);
    }
    std::vector<std::string> problems[2];
    auto user = [&](size_t index) {
        companion::CtkClient ctk(companion, "TwoReaders" + std::to_string(index));
        Client client(socketPath);
        for (int number = 0; number < rounds; ++number) {
            const std::string problem = round(kReaders[index], number, ctk, client);
            if (!problem.empty()) problems[index].push_back("round " + std::to_string(number) + ": " + problem);
        }
    };
    std::thread first(user, 0);
    std::thread second(user, 1);
    first.join();
    second.join();
    EXPECT_TRUE(problems[0].empty()) << ::testing::PrintToString(problems[0]);
    EXPECT_TRUE(problems[1].empty()) << ::testing::PrintToString(problems[1]);
    // Each card ran PACE and signed once per round, and is left with no PIN verified.
    for (const auto& card : cards) {
        EXPECT_EQ(card->sessionKeys().size(), 2u * rounds);
        size_t signatures = 0;
        for (const cardsim::LogEntry& entry : card->log())
            signatures +=
                entry.plainCommand.size() >= 4 && entry.plainCommand[1] == 0x2A && entry.plainCommand[2] == 0x9E;
        EXPECT_EQ(signatures, static_cast<size_t>(rounds));
        for (const cardsim::PinInfo& pin : card->pins()) EXPECT_FALSE(pin.verified) << pin.label;
    }
}

}  // namespace
