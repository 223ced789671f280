// version and check-can: the companion application's own "Ctk" messages.
#include <cstdio>

#include "Data/wipe.h"
#include "ctl/commands.h"
#include "ctl/companion_channel.h"
#include "ctl/secret_input.h"

namespace ctl {

namespace {

constexpr long long kVersionWaitMs = 5'000;
constexpr long long kCanWaitMs = 60'000;

std::optional<std::string> valueOf(const CompanionChannel::Message& message, const std::string& key) {
    for (const auto& [name, value] : message) {
        if (name == key) return value;
    }
    return std::nullopt;
}

void showProgress(const CompanionChannel::Message& notice) {
    if (const std::optional<std::string> text = valueOf(notice, "canProgress")) {
        std::printf("canProgress: %s\n", printable(*text).c_str());
        std::fflush(stdout);
    }
}

std::chrono::steady_clock::time_point after(long long ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

int version(const CommandLine& line) {
    const long long wait = timeoutMs(line, kVersionWaitMs);
    if (wait < 0) return failure("version", "--timeout is a positive number of seconds");
    std::string error;
    std::unique_ptr<CompanionChannel> channel = CompanionChannel::open(line.value("--bus").value_or(""), &error);
    if (!channel) return failure("version", error);

    if (!channel->post(plat::json::writeObjectTexts({{"from", channel->replyAddress()}, {"getVersion", "1"}})))
        return failure("version", "cannot post on the bus");

    const std::optional<CompanionChannel::Message> reply =
        channel->waitFor([](const CompanionChannel::Message& m) { return valueOf(m, "Version").has_value(); },
                         showProgress, after(wait), &error);
    if (!reply) return failure("version", error + " (the extension listens once a card was inserted)");
    std::printf("Version: %s\ntokens: %s\n", printable(*valueOf(*reply, "Version")).c_str(),
                printable(valueOf(*reply, "tokens").value_or("?")).c_str());
    return 0;
}

int checkCan(const CommandLine& line) {
    const long long wait = timeoutMs(line, kCanWaitMs);
    if (wait < 0) return failure("check-can", "--timeout is a positive number of seconds");
    const std::string reader = *line.value("--reader");

    std::string error;
    Secret can;
    const bool read = line.flag("--can-stdin") ? can.readFromStdin(&error)
                                               : can.readFromTerminal("CAN of the card in " + reader + ": ", &error);
    if (!read) return failure("check-can", "no CAN: " + error);
    if (can.text().empty()) return failure("check-can", "an empty CAN is refused");

    std::unique_ptr<CompanionChannel> channel = CompanionChannel::open(line.value("--bus").value_or(""), &error);
    if (!channel) return failure("check-can", error);

    // It holds the CAN until it is wiped.
    std::optional<std::string> request =
        plat::json::writeObjectTexts({{"from", channel->replyAddress()}, {"checkCan", can.text()}, {"rid", reader}});
    if (!request) return failure("check-can", "the CAN and the reader's name must be UTF-8 text");
    const bool posted = channel->post(request);
    gc_wipe(*request);
    if (!posted) return failure("check-can", "cannot post on the bus");

    const std::optional<CompanionChannel::Message> reply = channel->waitFor(
        [&](const CompanionChannel::Message& m) {
            return valueOf(m, "canResult").has_value() && valueOf(m, "rid") == reader;
        },
        showProgress, after(wait), &error);
    if (!reply) return failure("check-can", error);
    const std::string result = printable(*valueOf(*reply, "canResult"));
    std::printf("canResult: %s\n", result.c_str());
    if (result == "SUCCESS") return 0;
    if (result == "Token not found") return failure("check-can", "no token for reader \"" + reader + "\"");
    return failure("check-can", "the card was not opened (result " + result + ")");
}

}  // namespace ctl
