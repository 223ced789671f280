// The control socket's input: the request reader and the line channel, with what they leave in
// freed memory when a line carries a PIN.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "host/line_channel.h"
#include "host/request_fields.h"
#include "support/freed_memory_scan.h"

namespace {

using host::LineChannel;
using host::RequestFields;

TEST(RequestFields, ReadsAFlatObjectOfStringsNumbersAndBooleans) {
    std::string error;
    const auto fields = RequestFields::parse(
        R"( {"op" : "sign", "n":-12, "yes":true, "no":false, "s":"a\"b\\c\/d\n\u00e9\ud83d\ude00", "empty":""} )",
        &error);
    ASSERT_TRUE(fields) << error;
    EXPECT_EQ(fields->text("op"), "sign");
    EXPECT_EQ(fields->find("n")->integer, -12);
    EXPECT_TRUE(fields->find("yes")->boolean);
    EXPECT_EQ(fields->find("no")->kind, RequestFields::Kind::Boolean);
    EXPECT_FALSE(fields->find("no")->boolean);
    EXPECT_EQ(fields->text("s"), "a\"b\\c/d\n\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(fields->text("empty"), "");
    EXPECT_FALSE(fields->text("n")) << "a number is not text";
    EXPECT_FALSE(fields->has("missing"));
    EXPECT_TRUE(RequestFields::parse("{}", &error));
}

TEST(RequestFields, RefusesWhatIsNotAFlatObject) {
    const struct {
        std::string line;
        const char* reason;
    } kCases[] = {
        {"", "not a JSON object"},
        {"garbage", "not a JSON object"},
        {R"(["op"])", "not a JSON object"},
        {R"({"op":{"x":1}})", "nested values"},
        {R"({"op":[1]})", "nested values"},
        {R"({"n":1.5})", "whole numbers"},
        {R"({"n":1e3})", "whole numbers"},
        {R"({"n":12345678901234567890})", "out of range"},
        {R"({"n":-})", "a value was expected"},
        {R"({"n":007})", "leading zero"},
        {R"({"n":null})", "a value was expected"},
        {R"({"op":"a","op":"b"})", "given twice"},
        {R"({"s":"\ud800"})", "lone surrogate"},
        {R"({"s":"\udc00"})", "lone surrogate"},
        {R"({"s":"\u00zz"})", "bad \\u escape"},
        {R"({"s":"\u00)", "short \\u escape"},
        {R"({"s":"\q"})", "unknown escape"},
        {"{\"s\":\"\xFF\"}", "not UTF-8"},
        {R"({"s":"\u0000"})", "not UTF-8"},
        {"{\"s\":\"tab\there\"}", "control character"},
        {R"({"s":"open)", "not closed"},
        {R"({"s" "x"})", "colon"},
        {R"({"s":"x" "t":"y"})", "comma or the end"},
        {R"({"s":"x"} {})", "text after the object"},
        {R"({s:"x"})", "a string was expected"},
    };
    for (const auto& c : kCases) {
        std::string error;
        EXPECT_FALSE(RequestFields::parse(c.line, &error)) << c.line;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.line << " -> " << error;
    }
    std::string many = "{";
    for (size_t i = 0; i <= RequestFields::kMaxFields; ++i) many += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
    std::string error;
    EXPECT_FALSE(RequestFields::parse(many + "}", &error));
    EXPECT_EQ(error, "too many fields");
}

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair() {
        if (fds[0] >= 0) close(fds[0]);
    }
    void write(const std::string& text) { ASSERT_EQ(::write(fds[0], text.data(), text.size()), ssize_t(text.size())); }
    // The other end, handed to a channel that owns it.
    int take() { return std::exchange(fds[1], -1); }
    void closeWriter() { close(std::exchange(fds[0], -1)); }
    int fds[2] = {-1, -1};
};

TEST(LineChannel, SplitsLinesDropsCarriageReturnsAndRefusesOverlongLines) {
    SocketPair pair;
    LineChannel channel(pair.take(), 16);
    pair.write("first\r\nsecond\n\nexactly-16-chars\n");
    std::string_view line;
    for (const char* expected : {"first", "second", "", "exactly-16-chars"}) {
        ASSERT_EQ(channel.readLine(line), LineChannel::Read::Line);
        EXPECT_EQ(line, expected);
    }
    pair.write("seventeen-chars!!\n");
    EXPECT_EQ(channel.readLine(line), LineChannel::Read::TooLong);

    SocketPair other;
    LineChannel last(other.take());
    other.write("unfinished");
    other.closeWriter();
    EXPECT_EQ(last.readLine(line), LineChannel::Read::Closed) << "a last line without newline is dropped";
}

TEST(LineChannel, APinLineLeavesNothingInFreedMemory) {
    freedscan::makeCanary();
    const std::string pin(reinterpret_cast<const char*>(freedscan::g_canary), freedscan::kCanaryLength);
    // Built in place: a temporary holding the canary would leave it in freed memory itself.
    auto lineOf = [&](const char* before, const char* after) {
        std::string line;
        line.reserve(128);
        line.append(before).append(pin).append(after);
        return line;
    };
    const std::string lines[] = {
        lineOf(R"({"pin":")", R"(","op":"pin"})"),  // the value in a block of its own
        lineOf(R"({"op":"pin","pin":")", R"("})"),  // short enough to live in the string itself
        lineOf(R"({"op":"pin","pin":"\u0041)", R"("})"),
    };
    for (const std::string& line : lines) {
        SocketPair pair;
        freedscan::Armed scan;
        {
            LineChannel writer(pair.fds[0]);
            pair.fds[0] = -1;
            ASSERT_TRUE(writer.writeLine(line));
            LineChannel channel(pair.take());
            std::string_view text;
            ASSERT_EQ(channel.readLine(text), LineChannel::Read::Line);
            std::string error;
            const std::optional<RequestFields> fields = RequestFields::parse(text, &error);
            ASSERT_TRUE(fields) << error;
            EXPECT_NE(fields->text("pin")->find(pin), std::string::npos);
        }
        EXPECT_EQ(scan.leaks(), 0) << line;
    }
}

}  // namespace
