#include "ctl/secret_input.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Data/wipe.h"
#include "platform/error_text.h"

namespace ctl {

namespace {

using plat::setError;

// The terminal settings to put back when the user interrupts while echo is off.
int g_tty = -1;
termios g_saved;

void restoreAndExit(int signal) {
    tcsetattr(g_tty, TCSANOW, &g_saved);
    _exit(128 + signal);
}

}  // namespace

Secret::~Secret() {
    gc_wipe(text_);
}

bool Secret::readLine(int fd, std::string* error) {
    gc_wipe(text_);
    text_.clear();
    for (;;) {
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (text_.empty()) return setError(error, "no input");
            break;  // the last line without a line end
        }
        if (c == '\n') break;
        if (text_.size() == kMaxLength) {
            gc_wipe(text_);
            text_.clear();
            return setError(error, "the input line is too long");
        }
        text_.push_back(c);
    }
    if (!text_.empty() && text_.back() == '\r') text_.pop_back();
    return true;
}

bool Secret::readFromStdin(std::string* error) {
    return readLine(STDIN_FILENO, error);
}

bool Secret::readFromTerminal(const std::string& prompt, std::string* error) {
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) return setError(error, "there is no terminal to ask on");
    termios saved;
    const bool haveSettings = tcgetattr(tty, &saved) == 0;
    struct sigaction previousInt, previousTerm;
    if (haveSettings) {
        g_tty = tty;
        g_saved = saved;
        struct sigaction restore {};
        restore.sa_handler = restoreAndExit;
        sigaction(SIGINT, &restore, &previousInt);
        sigaction(SIGTERM, &restore, &previousTerm);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSANOW, &quiet);
    }
    [[maybe_unused]] ssize_t written = write(tty, prompt.data(), prompt.size());
    const bool read = readLine(tty, error);
    if (haveSettings) {
        tcsetattr(tty, TCSANOW, &saved);
        sigaction(SIGINT, &previousInt, nullptr);
        sigaction(SIGTERM, &previousTerm, nullptr);
        g_tty = -1;
        written = write(tty, "\n", 1);  // the user's Enter was not echoed
    }
    close(tty);
    return read;
}

}  // namespace ctl
