// gc-token-host and gc-token-ctl as programs, over a private bus and in-memory slots (no card):
// one host per bus, a clean stop on SIGTERM, and the tool's answers to bad input.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/control_protocol.h"
#include "host/line_channel.h"
#include "platform/dbus_notification_center.h"
#include "platform/json.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using gctest::runTool;
using gctest::ToolRun;

const std::string kHost = GC_TOKEN_HOST_PROGRAM;
const std::string kCtl = GC_TOKEN_CTL_PROGRAM;

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class Programs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(bus.start(&error)) << error;
        startHost(host, socket);
    }

    void startHost(gctest::ChildProcess& process, const std::string& path) {
        std::string error;
        ASSERT_TRUE(process.start({kHost, "--bus", bus.address(), "--slots", "memory", "--socket", path}, &error))
            << error;
        EXPECT_EQ(process.readLine(std::chrono::seconds(10)), "ready " + path);
    }

    ToolRun ctl(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), kCtl);
        return runTool(args, input, std::chrono::seconds(30));
    }

    gctest::PrivateBus bus;
    gctest::TempDir dir;
    const std::string socket = dir.path() + "/control.sock";
    gctest::ChildProcess host;
};

TEST_F(Programs, OneHostPerBusAndACleanStopOnSigterm) {
    const std::string other = dir.path() + "/other.sock";
    const ToolRun second = runTool({kHost, "--bus", bus.address(), "--slots", "memory", "--socket", other});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err,
              "gc-token-host: another host runs on this bus: org.gctoken.TokenHost is held by another process on this "
              "bus\n");
    EXPECT_FALSE(exists(other));

    EXPECT_EQ(host.stop(), 0) << "SIGTERM ends the host with status 0";
    EXPECT_FALSE(exists(socket));
    // The bus name went with it.
    gctest::ChildProcess next;
    startHost(next, other);
    EXPECT_EQ(ctl({"list", "--socket", other}).out, "no tokens\n");
    EXPECT_EQ(next.stop(), 0);
}

TEST_F(Programs, TheHostRefusesBadOptions) {
    const struct {
        std::vector<std::string> args;
        std::string firstLine;
    } kCases[] = {
        {{"--slots", "usb"}, "gc-token-host: --slots is pcsc or memory"},
        {{"--companion-wait", "-5"}, "gc-token-host: --companion-wait is 0 to 60000 milliseconds"},
        {{"--idle-limit", "0"}, "gc-token-host: --idle-limit is 1 to 3600 seconds"},
        {{"--bus"}, "gc-token-host: --bus needs a value"},
        {{"--companion-name", ":1.5"}, "gc-token-host: --companion-name is a bus name such as org.example.Name"},
        {{"--frob", "1"}, "gc-token-host: unknown option --frob"},
        {{"--bus", "unix:path=/nonexistent/bus", "--socket", dir.path() + "/x.sock"},
         "gc-token-host: cannot reach the bus unix:path=/nonexistent/bus: No such file or directory"},
    };
    for (const auto& c : kCases) {
        std::vector<std::string> argv{kHost};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ToolRun run = runTool(argv);
        EXPECT_NE(run.status, 0) << c.firstLine;
        EXPECT_EQ(run.err.substr(0, run.err.find('\n')), c.firstLine);
    }
    EXPECT_EQ(runTool({kHost, "--help"}).status, 0);
}

TEST_F(Programs, TheToolAnswersBadInputWithOneLineAndAnExitStatus) {
    const std::string in = dir.path() + "/message.txt";
    ASSERT_TRUE(gctest::writeFile(in, "a message"));
    const std::string out = dir.path() + "/signature.der";
    const std::vector<std::string> sign{"sign",  "--reader", "Virtual PCD 00 00", "--in", in,
                                        "--out", out,        "--socket",          socket};
    auto signWith = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = sign;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    gctest::PrivateBus lonelyBus;
    std::string error;
    ASSERT_TRUE(lonelyBus.start(&error)) << error;

    const std::string absent = dir.path() + "/absent", nobody = dir.path() + "/nobody.sock";
    const std::string late =
        "no answer from the token extension in time (the extension listens once a card was inserted)";
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string err;
    } kCases[] = {
        // clang-format off
        {{"frobnicate"}, "", 2, "gc-token-ctl: unknown command frobnicate"},
        {{"sign", "--reader", "R"}, "", 2, "gc-token-ctl: sign: --key is required (see gc-token-ctl sign --help)"},
        {{"list", "--colour"}, "", 2, "gc-token-ctl: list: unknown option --colour (see gc-token-ctl list --help)"},
        {{"list", "--reader"}, "", 2, "gc-token-ctl: list: --reader needs a value (see gc-token-ctl list --help)"},
        {signWith({"--key", "450102", "--alg", "ECDSASignatureDigestX999"}), "", 1, "gc-token-ctl: sign: unknown algorithm \"ECDSASignatureDigestX999\""},
        {signWith({"--key", "45:01", "--alg", "ECDSASignatureDigestX962"}), "", 1, "gc-token-ctl: sign: the key ID is not hexadecimal: \"45:01\""},
        {{"sign", "--reader", "R", "--key", "450102", "--alg", "ECDSASignatureDigestX962", "--in", absent, "--out", out, "--socket", socket}, "", 1, "gc-token-ctl: sign: cannot read " + absent},
        {signWith({"--key", "450102", "--alg", "ECDSASignatureDigestX962"}), "", 1, "gc-token-ctl: sign: no token for reader \"Virtual PCD 00 00\""},
        {{"list", "--reader", "Virtual PCD 00 00", "--socket", socket}, "", 1, "gc-token-ctl: list: no token for reader \"Virtual PCD 00 00\""},
        {{"list", "--socket", nobody}, "", 1, "gc-token-ctl: list: no token host on " + nobody + " (No such file or directory)"},
        {{"wait-token", "--timeout", "0.2", "--socket", socket}, "", 1, "gc-token-ctl: wait-token: no token within 200 ms"},
        {{"wait-token", "--timeout", "soon"}, "", 1, "gc-token-ctl: wait-token: --timeout is a positive number of seconds"},
        {{"wait-token", "--gone", "--socket", socket}, "", 1, "gc-token-ctl: wait-token: waiting for a token to go needs its \"reader\""},
        {{"version", "--bus", bus.address(), "--timeout", "0.5"}, "", 1, "gc-token-ctl: version: " + late},
        {{"version", "--bus", lonelyBus.address()}, "", 1, "gc-token-ctl: version: no token host runs on the bus"},
        {{"check-can", "--reader", "R", "--can-stdin", "--bus", bus.address()}, "", 1, "gc-token-ctl: check-can: no CAN: no input"},
        {{"check-can", "--reader", "R", "--can-stdin", "--bus", bus.address()}, "\n", 1, "gc-token-ctl: check-can: an empty CAN is refused"},
        // clang-format on
    };
    for (const auto& c : kCases) {
        const ToolRun run = ctl(c.args, c.input);
        const std::string what = c.args.front() + " " + (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(run.status, c.status) << what;
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), c.err + "\n") << what;
        if (c.status == 1) {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what;
        }
    }
    EXPECT_FALSE(exists(out)) << "no signature file without a signature";

    for (const char* command : {"version", "check-can", "wait-token", "list", "sign"}) {
        const ToolRun help = ctl({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: gc-token-ctl ") + command, 0), 0u) << help.out;
    }
    EXPECT_EQ(ctl({"list", "--socket", socket}).out, "no tokens\n");
}

TEST_F(Programs, WithoutStdinTheToolAsksOnTheTerminalWithoutEcho) {
    const ToolRun asked = gctest::runToolOnTerminal({kCtl, "check-can", "--reader", "Reader A", "--bus", bus.address()},
                                                    "CAN of the card in Reader A: ", "\n");
    EXPECT_EQ(asked.terminal, "CAN of the card in Reader A: \r\n")
        << "the prompt, and a new line for the unechoed Enter";
    EXPECT_EQ(asked.status, 1);
    EXPECT_EQ(asked.err, "gc-token-ctl: check-can: an empty CAN is refused\n");

    const ToolRun typed = gctest::runToolOnTerminal(
        {kCtl, "check-can", "--reader", "Reader A", "--bus", bus.address(), "--timeout", "0.3"},
        "CAN of the card in Reader A: ", "123456\n");
    EXPECT_EQ(typed.terminal.find("123456"), std::string::npos) << "the CAN is not echoed: " << typed.terminal;
    EXPECT_EQ(typed.err.rfind("gc-token-ctl: check-can: no answer from the token extension in time", 0), 0u)
        << typed.err;
}

}  // namespace

// A peer on the bus answers the tool's messages at once: while the host holds its bus name, the
// tool believes none of it (a "canResult: SUCCESS" included). Once the peer holds the name itself,
// its text with terminal control codes and extra lines is printed as dots, each answer on one line.
TEST_F(Programs, OnlyTheHostsAnswersCountAndTheirTextCannotDriveTheTerminal) {
    std::shared_ptr<plat::DBusNotificationCenter> peer = plat::connectDBusNotificationCenter(bus.address());
    ASSERT_TRUE(peer);
    const std::string hostile = "\x1b]0;owned\x07\nforged: line\x1b[2J";
    std::atomic<bool> holdsTheName = false;
    const auto id = peer->addObserver("Ctk", [&](const plat::Notification& n) {
        const auto request = plat::json::parseStringObject(n.object.value_or(""));
        if (!request) return;
        std::string to;
        bool canCheck = false;
        for (const auto& [key, value] : *request) {
            if (key == "from") to = value;
            if (key == "checkCan") canCheck = true;
        }
        const std::string text = holdsTheName ? hostile : "SUCCESS";
        if (canCheck) peer->postNotification("Can", nlohmann::json{{"canProgress", text}}.dump());
        const nlohmann::json reply{{"to", to}, {"Version", text}, {"tokens", text}, {"canResult", text}, {"rid", "R"}};
        peer->postNotification("GcTokenCtl", reply.dump());
    });
    ASSERT_NE(id, 0u);

    const ToolRun forgedVersion = ctl({"version", "--bus", bus.address(), "--timeout", "1"});
    const ToolRun forgedCheck =
        ctl({"check-can", "--reader", "R", "--can-stdin", "--bus", bus.address(), "--timeout", "1"}, "000000\n");
    EXPECT_EQ(forgedVersion.status, 1);
    EXPECT_EQ(forgedVersion.out, "");
    EXPECT_EQ(forgedCheck.status, 1);
    EXPECT_EQ(forgedCheck.out, "");
    EXPECT_EQ(forgedCheck.err, "gc-token-ctl: check-can: no answer from the token extension in time\n");

    EXPECT_EQ(host.stop(), 0);
    std::string error;
    ASSERT_TRUE(peer->claimName(host::protocol::kBusName, &error)) << error;
    holdsTheName = true;
    const ToolRun version = ctl({"version", "--bus", bus.address(), "--timeout", "5"});
    const ToolRun check = ctl({"check-can", "--reader", "R", "--can-stdin", "--bus", bus.address()}, "123456\n");
    peer->removeObserver(id);

    const std::string shown = ".]0;owned..forged: line.[2J";
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Version: " + shown + "\ntokens: " + shown + "\n");
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, "canProgress: " + shown + "\ncanResult: " + shown + "\n");
    EXPECT_EQ(check.err, "gc-token-ctl: check-can: the card was not opened (result " + shown + ")\n");
}

// A host that answers wait-token with control codes and a line break in the reader's name and the
// instance: the tool prints them as dots, on one line.
TEST(ProgramsWithoutAHost, WaitTokenCannotDriveTheTerminal) {
    gctest::TempDir dir;
    const std::string path = dir.path() + "/control.sock";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    std::string request;
    std::thread host([&] {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        host::LineChannel channel(fd);
        std::string_view line;
        if (channel.readLine(line) != host::LineChannel::Read::Line) return;
        request = std::string(line);
        channel.writeLine(
            nlohmann::json{{"ok", true}, {"reader", "Reader\x1b[2J\nforged: line"}, {"instanceID", "id\x07\r\x7f"}}
                .dump());
    });
    const ToolRun run = runTool({kCtl, "wait-token", "--timeout", "5", "--socket", path});
    shutdown(listener, SHUT_RDWR);  // an accept still waiting ends
    host.join();
    close(listener);
    EXPECT_EQ(nlohmann::json::parse(request, nullptr, false).value("op", ""), "wait-token");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "token: Reader.[2J.forged: line instance id...\n");
}
