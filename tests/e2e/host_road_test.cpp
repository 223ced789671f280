// The whole road between processes: a private pcscd with the vpcd reader and the simulated card
// (served from this process, so that the test can look into it and strike at it), a private
// bus, the test companion (cache service), gc-token-host, and gc-token-ctl playing the user;
// openssl checks every signature against the certificate the tool exported.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cache_server.h"
#include "cardsim.h"
#include "cardsim_pcscd.h"
#include "platform/dbus_notification_center.h"
#include "support/child_process.h"
#include "support/control_client.h"
#include "support/temp_dir.h"
#include "test_util.h"
#include "vpcd_card.h"

namespace {

using Bytes = std::vector<unsigned char>;
using gctest::ToolRun;

const std::string kHost = GC_TOKEN_HOST_PROGRAM;
const std::string kCtl = GC_TOKEN_CTL_PROGRAM;
const std::string kCompanion = GC_TEST_COMPANION_PROGRAM;
constexpr const char* kCan = "123456\n";
constexpr const char* kVersionLine = "Version: 4.2.3.0 12:15:49";
constexpr const char* kProgressLine = "canProgress: Trwa odczyt danych z karty ...";

// A key of the personalisation, as the tool lists and uses it.
struct Key {
    std::string id;           // key item
    std::string certificate;  // its certificate item
    std::string label;        // the card's label of the key
    std::string algorithm;
    std::string hash;  // for openssl dgst
    std::string pin;
    uint8_t pinReference;
    std::string certificateFile;  // tests/data/cardsim/certs/<name>.der
};

struct Generation {
    const char* name;
    cardsim::Personality personality;
    std::vector<Key> keys;  // every key of the card
};

void PrintTo(const Generation& generation, std::ostream* out) {
    *out << generation.name;
}

const Generation kVarnel1{
    "Varnel1",
    cardsim::Personality::Varnel1,
    {{"458102", "458101", "Authentication key", "ECDSASignatureDigestX962", "sha256", "111111", 0x8A, "v1_auth_p256"},
     {"458802", "458801", "Presence key", "ECDSASignatureDigestX962", "sha256", "222222", 0x88, "v1_presence_p521"},
     {"458302", "458301", "Qualified key", "RSASignatureDigestPKCS1v15SHA256", "sha256", "333333", 0x8C,
      "v1_qualified_rsa"}}};
const Generation kVarnel2{
    "Varnel2",
    cardsim::Personality::Varnel2,
    {{"450102", "450101", "Authentication key", "ECDSASignatureDigestX962", "sha256", "111111", 0x01, "v2_auth_bp256"},
     {"450202", "450201", "Authorization key", "ECDSASignatureDigestX962", "sha256", "222222", 0x02, "v2_authz_p384"},
     {"450C02", "450C01", "Qualified key", "RSASignatureDigestPKCS1v15SHA256", "sha256", "333333", 0x0C,
      "v2_qualified_rsa"}}};

const Key& authenticationKey(const Generation& g) {
    return g.keys.front();
}
const Key& qualifiedKey(const Generation& g) {
    return g.keys.back();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// What one insertion of the card cost: commands, and READ BINARY commands with the files they
// read (the file is the one the last SELECT named).
struct CardTraffic {
    size_t commands = 0;
    size_t readBinary = 0;
    std::set<std::string> filesRead;
};

CardTraffic trafficOf(const std::vector<cardsim::LogEntry>& log) {
    CardTraffic traffic;
    std::string selected;
    for (const cardsim::LogEntry& entry : log) {
        if (entry.kind != cardsim::LogEntry::Kind::Command || entry.plainCommand.size() < 4) continue;
        ++traffic.commands;
        const Bytes& c = entry.plainCommand;
        if (c[1] == 0xA4 && c.size() > 5 && c.size() >= 5u + c[4])
            selected = cardsim::toHex(Bytes(c.begin() + 5, c.begin() + 5 + c[4]));
        if (c[1] == 0xB0) {
            ++traffic.readBinary;
            traffic.filesRead.insert(selected);
        }
    }
    return traffic;
}

// Whether one of the companion's cache keys names the file: a key is the file's path (file
// identifiers of four hex digits), then its application's identifier or the MF.
bool cacheHolds(const std::set<std::string>& keys, const std::string& fileID) {
    if (fileID.size() != 4) return false;
    return std::any_of(keys.begin(), keys.end(), [&](const std::string& key) {
        for (size_t at = 0; at + 4 <= key.size(); at += 4)
            if (key.compare(at, 4, fileID) == 0) return true;
        return false;
    });
}

// The companion's frame log: one JSON object per line.
std::vector<nlohmann::json> companionFrames(const std::string& path) {
    std::vector<nlohmann::json> frames;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        nlohmann::json frame = nlohmann::json::parse(line, nullptr, false);
        if (frame.is_object()) frames.push_back(frame);
    }
    return frames;
}

class Road : public ::testing::TestWithParam<Generation> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(bus.start(&error)) << error;
        std::vector<std::string> companionArgs = {kCompanion, "--bus", bus.address(), "--log", companionLog};
        companionArgs.insert(companionArgs.end(), companionOptions.begin(), companionOptions.end());
        ASSERT_TRUE(companion.start(companionArgs, &error)) << error;
        const std::optional<std::string> ready = companion.readLine(std::chrono::seconds(10));
        ASSERT_TRUE(ready && startsWith(*ready, "ready ")) << companion.output();
        startHost();
    }

    void TearDown() override {
        stopCard();
        if (host) {
            EXPECT_EQ(host->stop(), 0) << "the host ends cleanly on SIGTERM";
            if (HasFailure()) keepHostLog(host->output());
        }
        companion.stop();
    }

    // The host's log of a failed test, kept for a look afterwards (in a file of its own: the
    // tests run as root, and /tmp is everyone's).
    static void keepHostLog(const std::string& log) {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(test->test_suite_name()) + "." + test->name();
        std::replace(name.begin(), name.end(), '/', '_');
        std::string path = "/tmp/gc_host_e2e." + name + ".XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd < 0) return;
        for (size_t done = 0; done < log.size();) {
            const ssize_t n = write(fd, log.data() + done, log.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fd);
        std::cerr << "the host's log: " << path << "\n";
    }

    void startHost() {
        host = std::make_unique<gctest::ChildProcess>();
        ASSERT_TRUE(host->start({kHost, "--bus", bus.address(), "--socket", socket}));
        const std::optional<std::string> ready = host->readLine(std::chrono::seconds(10));
        if (ready != "ready " + socket) keepHostLog(host->output());
        ASSERT_EQ(ready, "ready " + socket);
    }

    cardsim::CardConfig config() const {
        cardsim::CardConfig config;
        config.personality = GetParam().personality;
        return config;
    }

    // The card goes into the reader; true once pcscd has seen it.
    void insertCard(const cardsim::CardConfig& config) {
        card = std::make_unique<cardsim::CardSim>(config);
        ASSERT_TRUE(card->ok()) << card->error();
        slot = std::make_unique<cardsim::VpcdCard>(*card, cardsim::programPcscd().port(0));
        ASSERT_TRUE(slot->start());
        ASSERT_TRUE(slot->waitInserted(std::chrono::seconds(10)));
    }
    void stopCard() {
        if (slot) slot->stop();
        slot.reset();
        card.reset();
    }

    ToolRun ctl(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), kCtl);
        return gctest::runTool(args, input, std::chrono::seconds(90));
    }
    ToolRun onSocket(std::vector<std::string> args, const std::string& input = "") {
        args.push_back("--socket");
        args.push_back(socket);
        return ctl(args, input);
    }
    ToolRun onBus(std::vector<std::string> args, const std::string& input = "") {
        args.push_back("--bus");
        args.push_back(bus.address());
        return ctl(args, input);
    }

    // wait-token, then the CAN check; the tool's output of the CAN check.
    ToolRun openCard() {
        const ToolRun token = onSocket({"wait-token", "--reader", reader});
        EXPECT_EQ(token.status, 0) << token.err;
        EXPECT_TRUE(startsWith(token.out, "token: " + reader + " instance ")) << token.out;
        return onBus({"check-can", "--reader", reader, "--can-stdin"}, kCan);
    }

    ToolRun signFile(const Key& key, const std::string& pin, const std::string& out, std::string alg = "") {
        return onSocket({"sign", "--reader", reader, "--key", key.id, "--alg", alg.empty() ? key.algorithm : alg,
                         "--in", message, "--out", out, "--pin-stdin"},
                        pin + "\n");
    }

    // Whether openssl verifies the signature file over the message with the exported certificate.
    bool verified(const Key& key, const std::string& signature, std::string* output) {
        const std::optional<Bytes> certificate = cardsim::test::readFile(exportDir + "/" + key.certificate + ".der");
        const std::optional<Bytes> sig = cardsim::test::readFile(signature);
        if (!certificate || !sig) return false;
        const std::string text = gctest::readFile(message);
        return cardsim::test::opensslVerifies(*certificate, key.hash, Bytes(text.begin(), text.end()), *sig, output);
    }

    // The items the tool lists, one line each, keyed by object ID.
    std::map<std::string, std::string> listedItems(const ToolRun& run) {
        std::map<std::string, std::string> items;
        for (const std::string& line : linesOf(run.out)) {
            std::istringstream words(line);
            std::string kind, id;
            // Without the file it was exported to: the same items read on another run compare equal.
            if (startsWith(line, "  ") && words >> kind >> id) items[id] = line.substr(0, line.find(" file="));
        }
        return items;
    }

    gctest::TempDir dir;
    const std::string socket = dir.path() + "/control.sock";
    const std::string companionLog = dir.path() + "/companion.log";
    const std::string exportDir = dir.path() + "/export";
    const std::string message = [this] {
        const std::string path = dir.path() + "/message.txt";
        gctest::writeFile(path, "The road: CAN, PACE, items, PIN, signature.\n");
        return path;
    }();
    const std::string reader = cardsim::programPcscd().readerName(0);
    gctest::PrivateBus bus;
    std::vector<std::string> companionOptions;
    gctest::ChildProcess companion;
    std::unique_ptr<gctest::ChildProcess> host;
    std::unique_ptr<cardsim::CardSim> card;
    std::unique_ptr<cardsim::VpcdCard> slot;
};

TEST_P(Road, FromTheCanToVerifiedSignaturesAndBackFromTheCache) {
    const Generation& g = GetParam();
    insertCard(config());

    const ToolRun token = onSocket({"wait-token", "--reader", reader});
    ASSERT_EQ(token.status, 0) << token.err;
    const ToolRun version = onBus({"version"});
    EXPECT_EQ(version.out, std::string(kVersionLine) + "\ntokens: 1\n") << version.err;
    const ToolRun unknownReader = onBus({"check-can", "--reader", "No such reader", "--can-stdin"}, kCan);
    EXPECT_EQ(unknownReader.out, "canResult: Token not found\n");
    EXPECT_EQ(unknownReader.err, "gc-token-ctl: check-can: no token for reader \"No such reader\"\n");
    const ToolRun can = onBus({"check-can", "--reader", reader, "--can-stdin"}, kCan);
    ASSERT_EQ(can.out, std::string(kProgressLine) + "\ncanResult: SUCCESS\n") << can.err;

    const ToolRun listed = onSocket({"list", "--reader", reader, "--export-dir", exportDir});
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::map<std::string, std::string> items = listedItems(listed);
    EXPECT_EQ(items.size(), 2 * g.keys.size()) << listed.out;
    for (const Key& key : g.keys) {
        const std::string& keyLine = items[key.id];
        EXPECT_TRUE(startsWith(keyLine, "  key " + key.id + " label=\"" + key.label + " (")) << keyLine;
        EXPECT_NE(keyLine.find(" flags=sign"), std::string::npos) << keyLine;
        EXPECT_NE(keyLine.find(" constraints=sign:"), std::string::npos) << keyLine;
        EXPECT_NE(keyLine.find(" certificate=" + key.certificate), std::string::npos) << keyLine;
        const std::string& certificateLine = items[key.certificate];
        EXPECT_TRUE(startsWith(certificateLine, "  certificate " + key.certificate + " label=\"")) << certificateLine;
        EXPECT_EQ(cardsim::test::readFile(exportDir + "/" + key.certificate + ".der"),
                  cardsim::test::dataFile("certs/" + key.certificateFile + ".der"))
            << "the exported certificate is the card's";
    }

    for (const Key* key : {&authenticationKey(g), &qualifiedKey(g)}) {
        const std::string signature = dir.path() + "/" + key->id + ".sig";
        const ToolRun signed_ = signFile(*key, key->pin, signature);
        ASSERT_EQ(signed_.status, 0) << signed_.err;
        std::string output;
        EXPECT_TRUE(verified(*key, signature, &output)) << key->id << ": " << output;
        EXPECT_NE(output.find("Verified OK"), std::string::npos);
    }
    const CardTraffic first = trafficOf(card->log());
    card->clearLog();
    const size_t framesOfFirst = companionFrames(companionLog).size();

    // Out: the token goes. In again: the CAN check and the items come from the companion's cache.
    slot->remove();
    const ToolRun gone = onSocket({"wait-token", "--reader", reader, "--gone"});
    EXPECT_EQ(gone.out, "gone: " + reader + "\n") << gone.err;
    EXPECT_EQ(onSocket({"list"}).out, "no tokens\n");
    slot->insert();
    ASSERT_TRUE(slot->waitInserted(std::chrono::seconds(10)));
    const ToolRun again = openCard();
    ASSERT_EQ(again.out, std::string(kProgressLine) + "\ncanResult: SUCCESS\n") << again.err;
    const ToolRun relisted = onSocket({"list", "--reader", reader});
    EXPECT_EQ(listedItems(relisted), items);
    const CardTraffic second = trafficOf(card->log());

    std::cout << "[ " << g.name << " ] APDUs: first insertion " << first.commands << " (READ BINARY "
              << first.readBinary << "), second insertion " << second.commands << " (READ BINARY " << second.readBinary
              << ")\n";
    // Every file the companion held was served from its cache: the card read none of them.
    std::set<std::string> cached;
    const std::vector<nlohmann::json> frames = companionFrames(companionLog);
    for (size_t i = framesOfFirst; i < frames.size(); ++i) {
        if (frames[i].value("command", "") == "get" && frames[i].value("result", "") == "hit")
            cached.insert(frames[i].value("key", ""));
    }
    EXPECT_FALSE(cached.empty()) << "the second insertion read from the cache";
    EXPECT_LT(second.readBinary, first.readBinary);
    for (const std::string& file : second.filesRead)
        EXPECT_FALSE(cacheHolds(cached, file)) << "read from the card although the cache answered for it: " << file;

    // A card with another serial number in the same reader: the cache is cleared and the card read.
    stopCard();
    EXPECT_EQ(onSocket({"wait-token", "--reader", reader, "--gone"}).status, 0);
    cardsim::CardConfig other = config();
    other.serial = {0xC9, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
    const size_t framesBeforeOther = companionFrames(companionLog).size();
    insertCard(other);
    const ToolRun otherCard = openCard();
    ASSERT_EQ(otherCard.out, std::string(kProgressLine) + "\ncanResult: SUCCESS\n") << otherCard.err;
    EXPECT_EQ(listedItems(onSocket({"list", "--reader", reader})), items);
    const CardTraffic third = trafficOf(card->log());
    std::cout << "[ " << g.name << " ] APDUs with another card: " << third.commands << " (READ BINARY "
              << third.readBinary << ")\n";
    const std::vector<nlohmann::json> otherFrames = companionFrames(companionLog);
    EXPECT_TRUE(std::any_of(otherFrames.begin() + static_cast<std::ptrdiff_t>(framesBeforeOther), otherFrames.end(),
                            [](const nlohmann::json& f) { return f.value("command", "") == "clr"; }))
        << "the companion was told to clear the reader's entries";
    EXPECT_EQ(third.filesRead, first.filesRead) << "every file read from the card again";
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, Road, ::testing::Values(kVarnel1, kVarnel2),
                         [](const auto& info) { return std::string(info.param.name); });

class RoadVarnel2 : public Road {};

// Without --pin-stdin the tool asks on the terminal, only once the token wants the PIN, and does not
// echo it: an empty PIN goes nowhere, a wrong one costs a try on the card, the right one signs.
TEST_P(RoadVarnel2, PinsAskedForOnTheTerminal) {
    const Key& key = authenticationKey(GetParam());
    insertCard(config());
    ASSERT_EQ(openCard().status, 0);
    ASSERT_EQ(onSocket({"list", "--reader", reader, "--export-dir", exportDir}).status, 0);
    const std::string signature = dir.path() + "/sig";
    const int maxTries = card->pin(key.pinReference)->maxTries;
    const struct {
        std::string typed;
        int status;
        std::string err;
        int triesLeft;
    } kCases[] = {
        // clang-format off
        {"", 1, "gc-token-ctl: sign: an empty PIN is refused\n", maxTries},
        {"999999", 1, "gc-token-ctl: sign: authentication failed: wrong PIN\n", maxTries - 1},
        {key.pin, 0, "", maxTries},
        // clang-format on
    };
    for (const auto& c : kCases) {
        const ToolRun asked =
            gctest::runToolOnTerminal({kCtl, "sign", "--reader", reader, "--key", key.id, "--alg", key.algorithm,
                                       "--in", message, "--out", signature, "--socket", socket},
                                      "PIN for \"", c.typed + "\n", std::chrono::seconds(90));
        EXPECT_EQ(asked.status, c.status) << c.typed;
        EXPECT_EQ(asked.err, c.err) << c.typed;
        EXPECT_TRUE(startsWith(asked.terminal, "PIN for \"" + key.label + " (")) << asked.terminal;
        EXPECT_EQ(asked.terminal.find(key.pin), std::string::npos) << "the PIN is not echoed";
        EXPECT_EQ(card->pin(key.pinReference)->triesLeft, c.triesLeft) << c.typed;
    }
    std::string output;
    EXPECT_TRUE(verified(key, signature, &output)) << output;
}

TEST_P(RoadVarnel2, SigtermDuringACanCheckEndsTheHostCleanly) {
    insertCard(config());
    ASSERT_EQ(onSocket({"wait-token", "--reader", reader}).status, 0);
    gctest::ChildProcess check;
    ASSERT_TRUE(
        check.start({kCtl, "check-can", "--reader", reader, "--can-stdin", "--bus", bus.address()}, nullptr, kCan));
    // Once PACE is through, the token reads the card: the host is told to stop then.
    ASSERT_EQ(check.readLine(std::chrono::seconds(60)), kProgressLine);
    kill(host->pid(), SIGTERM);
    const ToolRun stopped = host->finish(std::chrono::seconds(60));
    host.reset();
    EXPECT_EQ(stopped.status, 0);
    const ToolRun result = check.finish(std::chrono::seconds(30));
    // Either the check finished before the host went, or the tool says why there is no answer.
    if (result.status == 0) {
        EXPECT_EQ(result.out, std::string(kProgressLine) + "\ncanResult: SUCCESS\n");
    } else {
        EXPECT_EQ(result.err, "gc-token-ctl: check-can: the token host left the bus before answering\n");
    }

    // A new host makes the token afresh; nothing was left half-made.
    startHost();
    const ToolRun reopened = openCard();
    EXPECT_EQ(reopened.out, std::string(kProgressLine) + "\ncanResult: SUCCESS\n") << reopened.err;
    EXPECT_EQ(listedItems(onSocket({"list", "--reader", reader})).size(), 2 * GetParam().keys.size());
}

INSTANTIATE_TEST_SUITE_P(SecondGeneration, RoadVarnel2, ::testing::Values(kVarnel2),
                         [](const auto& info) { return std::string(info.param.name); });

// A peer of the bus that poses as the cache service without holding its bus name: it answers
// every key agreement at once with a key of its own, answers every request with a forged file and
// follows it with more unasked replies of the link's identifier than the link keeps; every CAN
// check it answers "SUCCESS" at once. It keeps each request it could read with the keys it agreed.
class PosingPeer {
public:
    static constexpr int kFlood = 70;

    PosingPeer(const std::string& busAddress, Bytes forgedFile) : forged_(std::move(forgedFile)) {
        center_ = plat::connectDBusNotificationCenter(busAddress);
        if (!center_) return;
        observers_.push_back(center_->addObserver("cacheServer", [this](const plat::Notification& n) { request(n); }));
        observers_.push_back(center_->addObserver("Ctk", [this](const plat::Notification& n) { canCheck(n); }));
    }
    ~PosingPeer() {
        for (auto id : observers_) center_->removeObserver(id);
    }
    bool ok() const { return center_ && std::count(observers_.begin(), observers_.end(), 0u) == 0; }

    size_t requestsSeen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<std::string> readRequests() {
        std::lock_guard lock(mutex_);
        return read_;
    }

private:
    static std::optional<Bytes> between(const Bytes& bytes, const std::string& open, const std::string& close) {
        const size_t start = companion::find(bytes, open);
        const size_t stop = companion::findLast(bytes, close);
        if (start == companion::npos || stop == companion::npos || stop < start + open.size()) return std::nullopt;
        return Bytes(bytes.begin() + static_cast<long>(start + open.size()), bytes.begin() + static_cast<long>(stop));
    }
    static std::string base64(const Bytes& bytes) { return "BASE64" + companion::base64Encode(bytes); }

    void request(const plat::Notification& notification) {
        const auto message = companion::parseMessage(notification.object.value_or(""));
        if (!message || !message->contains("xml") || message->at("xml").rfind("BASE64", 0) != 0) return;
        const auto payload = companion::base64Decode(std::string_view(message->at("xml")).substr(6));
        if (!payload) return;
        const auto from = between(*payload, "<from>", "</from>");
        const auto id = between(*payload, "<encID>", "</encID>");
        if (!from || !id) return;
        companion::Message reply{{"encID", base64(*id)}};
        if (const auto a = between(*payload, "<A>", "</A>")) {
            Bytes b, key;
            if (!companion::CacheServer::agree(*a, b, key)) return;
            keys_[*id] = key;
            reply["B"] = base64(b);
        } else if (const auto body = between(*payload, "<msg>", "</msg>"); body && !keys_[*id].empty()) {
            const Bytes& key = keys_[*id];
            const std::string plain = companion::toText(companion::xorWith(key, *body));
            if (plain.rfind("<rid>", 0) == 0) {
                std::lock_guard lock(mutex_);
                read_.push_back(plain);
            }
            reply["msg"] = base64(companion::xorWith(key, answer(plain)));
        } else {
            return;
        }
        const std::string to = companion::toText(*from);
        center_->postNotification(to, companion::dumpMessage(reply));
        for (int i = 0; i < kFlood; ++i) {
            const companion::Message unasked{{"encID", base64(*id)},
                                             {"msg", base64(Bytes(16, static_cast<unsigned char>(i)))}};
            center_->postNotification(to, companion::dumpMessage(unasked));
        }
        std::lock_guard lock(mutex_);
        ++seen_;
    }

    // A forged file for every file asked for (never twice the same, or the link would take it for
    // a late copy of the last reply); no CAN, card ID or counter, so that the session stores its own.
    Bytes answer(const std::string& request) {
        const size_t open = request.find("<get>");
        const size_t close = request.find("</get>");
        if (open == std::string::npos || close == std::string::npos) return companion::toBytes("<res>OK</res>");
        const std::string key = request.substr(open + 5, close - open - 5);
        if (key.size() < 4 || key.find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return companion::toBytes("<res>NOT_FOUND</res>");
        Bytes file = companion::toBytes("<res>");
        file.insert(file.end(), forged_.begin(), forged_.end());
        file.push_back(static_cast<unsigned char>(++forgeries_));
        const Bytes end = companion::toBytes("</res>");
        file.insert(file.end(), end.begin(), end.end());
        return file;
    }

    void canCheck(const plat::Notification& notification) {
        const auto message = companion::parseMessage(notification.object.value_or(""));
        if (!message || !message->contains("checkCan") || !message->contains("from")) return;
        const std::string& to = message->at("from");
        const companion::Message result{{"canResult", "SUCCESS"},
                                        {"rid", message->count("rid") ? message->at("rid") : ""},
                                        {"to", to},
                                        {"from", "Ctk"}};
        center_->postNotification(to.substr(0, to.find('/')), companion::dumpMessage(result));
    }

    const Bytes forged_;
    std::shared_ptr<plat::DBusNotificationCenter> center_;
    std::vector<plat::NotificationCenter::ObserverId> observers_;
    std::map<Bytes, Bytes> keys_;  // delivery thread only, as is forgeries_
    unsigned forgeries_ = 0;
    std::mutex mutex_;
    size_t seen_ = 0;
    std::vector<std::string> read_;
};

// The cache service's first answer comes late (still in time), so that the posing peer is the
// first to answer the first key agreement.
class RoadWithAPosingPeer : public Road {
protected:
    void SetUp() override {
        companionOptions = {"--fault", "late:250", "--fault-count", "1"};
        Road::SetUp();
    }
};

TEST_P(RoadWithAPosingPeer, OnlyTheHoldersOfTheBusNamesAreBelieved) {
    const Generation& g = GetParam();
    PosingPeer peer(bus.address(), *cardsim::test::dataFile("certs/v1_auth_p256.der"));
    ASSERT_TRUE(peer.ok());
    insertCard(config());
    ASSERT_EQ(onSocket({"wait-token", "--reader", reader}).status, 0);

    // The peer's "SUCCESS" comes first; the tool waits for the host's answer.
    const ToolRun wrongCan = onBus({"check-can", "--reader", reader, "--can-stdin"}, "000000\n");
    EXPECT_EQ(wrongCan.status, 1) << wrongCan.out;
    EXPECT_EQ(wrongCan.out.find("SUCCESS"), std::string::npos) << wrongCan.out;
    const ToolRun can = onBus({"check-can", "--reader", reader, "--can-stdin"}, kCan);
    ASSERT_EQ(can.out, std::string(kProgressLine) + "\ncanResult: SUCCESS\n") << can.err;

    // The items are the card's, and the peer read nothing: neither the CAN stored in the cache nor
    // any other request.
    auto checkItems = [&] {
        const ToolRun listed = onSocket({"list", "--reader", reader, "--export-dir", exportDir});
        ASSERT_EQ(listed.status, 0) << listed.err;
        EXPECT_EQ(listedItems(listed).size(), 2 * g.keys.size()) << listed.out;
        for (const Key& key : g.keys) {
            EXPECT_EQ(cardsim::test::readFile(exportDir + "/" + key.certificate + ".der"),
                      cardsim::test::dataFile("certs/" + key.certificateFile + ".der"))
                << key.certificate;
        }
    };
    checkItems();
    EXPECT_GT(peer.requestsSeen(), 0u);
    EXPECT_EQ(peer.readRequests(), std::vector<std::string>{});
    const std::vector<nlohmann::json> frames = companionFrames(companionLog);
    EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), [](const nlohmann::json& f) {
        return f.value("key", "") == "CAN";
    })) << "the CAN went to the cache service";

    // Without the cache service, and the peer holding no name: the card is read again.
    companion.stop();
    slot->remove();
    ASSERT_EQ(onSocket({"wait-token", "--reader", reader, "--gone"}).status, 0);
    card->clearLog();
    slot->insert();
    ASSERT_TRUE(slot->waitInserted(std::chrono::seconds(10)));
    const ToolRun again = openCard();
    ASSERT_EQ(again.out, std::string(kProgressLine) + "\ncanResult: SUCCESS\n") << again.err;
    checkItems();
    EXPECT_GT(trafficOf(card->log()).readBinary, 0u);
    EXPECT_EQ(peer.readRequests(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(SecondGeneration, RoadWithAPosingPeer, ::testing::Values(kVarnel2),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return cardsim::startProgramPcscd() ? RUN_ALL_TESTS() : 1;
}
