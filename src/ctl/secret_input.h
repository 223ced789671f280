#pragma once

#include <cstddef>
#include <string>

namespace ctl {

// A secret the user gives (PIN, CAN): held in a buffer reserved once, so that reading never
// moves it, and wiped when it goes.
class Secret {
public:
    static constexpr size_t kMaxLength = 256;

    Secret() { text_.reserve(kMaxLength + 1); }
    ~Secret();
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    const std::string& text() const { return text_; }

    // Asks on the controlling terminal with `prompt`, without echo. False, with the reason, when
    // there is no terminal, nothing was typed, or the text is too long.
    bool readFromTerminal(const std::string& prompt, std::string* error);
    // One line of standard input (without its line end). False, with the reason, at the end of
    // input or for a line that is too long.
    bool readFromStdin(std::string* error);

private:
    // Reads one line from `fd` into the buffer; false when it is too long or input ended first.
    bool readLine(int fd, std::string* error);

    std::string text_;
};

}  // namespace ctl
