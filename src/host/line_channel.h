#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// One connected stream socket carrying lines: reads are bounded (a line longer than the limit is
// refused, not buffered without end) and every byte read is wiped once its line is done with, as
// a line may carry a PIN. Writes never raise SIGPIPE. Owns the descriptor.
class LineChannel {
public:
    // The longest request line the host accepts, newline excluded.
    static constexpr size_t kMaxRequestLine = 64 * 1024;

    enum class Read { Line, Closed, TooLong, Failed, TimedOut };
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    explicit LineChannel(int fd, size_t maxLine = kMaxRequestLine);
    ~LineChannel();
    LineChannel(const LineChannel&) = delete;
    LineChannel& operator=(const LineChannel&) = delete;

    // The next line, without its newline (and a carriage return before it); valid until the next
    // call. Closed at the end of the stream (a last line without newline is dropped); TimedOut
    // when the line is not complete by the deadline (its bytes so far stay buffered).
    Read readLine(std::string_view& line, Deadline deadline = std::nullopt);
    // Writes the text and a newline; false when the peer is gone.
    bool writeLine(std::string_view text);
    // Ends the reading side: a blocked or later readLine answers Closed. Writes still work.
    void shutdownRead();
    // Wipes every byte read, handed out or not, and forgets them.
    void wipe();
    // Whether the buffer holds the bytes anywhere, in use or not (for tests of the wiping).
    bool holds(std::string_view bytes) const;

    int fd() const { return fd_; }

private:
    // Drops the line handed out last, wiping its bytes.
    void consumeLine();

    int fd_;
    std::vector<char> buffer_;  // the longest line and its newline; never reallocated
    size_t filled_ = 0;
    size_t lineEnd_ = 0;  // bytes of the line handed out last, newline included
};

}  // namespace host
