#include "host/line_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "Data/wipe.h"

namespace host {

namespace {

enum class Wait { Ready, TimedOut, Failed };

// Waits for input (or the end of the stream) on the socket until the deadline.
Wait awaitInput(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Wait::TimedOut;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT32_MAX)));
        if (ready > 0) return Wait::Ready;
        if (ready < 0 && errno != EINTR) return Wait::Failed;
    }
}

}  // namespace

LineChannel::LineChannel(int fd, size_t maxLine) : fd_(fd), buffer_(maxLine + 1) {}

LineChannel::~LineChannel() {
    gc_wipe(buffer_.data(), buffer_.size());
    if (fd_ >= 0) close(fd_);
}

void LineChannel::consumeLine() {
    if (lineEnd_ == 0) return;
    std::memmove(buffer_.data(), buffer_.data() + lineEnd_, filled_ - lineEnd_);
    filled_ -= lineEnd_;
    gc_wipe(buffer_.data() + filled_, lineEnd_);
    lineEnd_ = 0;
}

LineChannel::Read LineChannel::readLine(std::string_view& line, Deadline deadline) {
    consumeLine();
    size_t searched = 0;
    for (;;) {
        const void* newline = std::memchr(buffer_.data() + searched, '\n', filled_ - searched);
        if (newline != nullptr) {
            size_t length = static_cast<size_t>(static_cast<const char*>(newline) - buffer_.data());
            lineEnd_ = length + 1;
            if (length > 0 && buffer_[length - 1] == '\r') --length;
            line = std::string_view(buffer_.data(), length);
            return Read::Line;
        }
        searched = filled_;
        if (filled_ == buffer_.size()) {
            // No newline within the limit: the rest of this line cannot be told from the next.
            gc_wipe(buffer_.data(), buffer_.size());
            filled_ = 0;
            return Read::TooLong;
        }
        if (deadline) {
            const Wait wait = awaitInput(fd_, *deadline);
            if (wait != Wait::Ready) return wait == Wait::TimedOut ? Read::TimedOut : Read::Failed;
        }
        const ssize_t n = recv(fd_, buffer_.data() + filled_, buffer_.size() - filled_, 0);
        if (n == 0) return Read::Closed;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == ECONNRESET || errno == ESHUTDOWN ? Read::Closed : Read::Failed;
        }
        filled_ += static_cast<size_t>(n);
    }
}

bool LineChannel::writeLine(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 1);
    out.append(text);
    out.push_back('\n');
    size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    gc_wipe(out);  // the tool's lines carry the PIN
    return sent == out.size();
}

void LineChannel::shutdownRead() {
    shutdown(fd_, SHUT_RD);
}

void LineChannel::wipe() {
    gc_wipe(buffer_.data(), buffer_.size());
    filled_ = 0;
    lineEnd_ = 0;
}

bool LineChannel::holds(std::string_view bytes) const {
    return !bytes.empty() && memmem(buffer_.data(), buffer_.size(), bytes.data(), bytes.size()) != nullptr;
}

}  // namespace host
