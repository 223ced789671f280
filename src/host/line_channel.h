#pragma once

#include <cstddef>
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

    enum class Read { Line, Closed, TooLong, Failed };

    explicit LineChannel(int fd, size_t maxLine = kMaxRequestLine);
    ~LineChannel();
    LineChannel(const LineChannel&) = delete;
    LineChannel& operator=(const LineChannel&) = delete;

    // The next line, without its newline (and a carriage return before it); valid until the next
    // call. Closed at the end of the stream (a last line without newline is dropped).
    Read readLine(std::string_view& line);
    // Writes the text and a newline; false when the peer is gone.
    bool writeLine(std::string_view text);
    // Ends the reading side: a blocked or later readLine answers Closed. Writes still work.
    void shutdownRead();

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
