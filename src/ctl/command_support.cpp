#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ctl/commands.h"

namespace ctl {

int failure(const char* command, const std::string& text) {
    // The reason may carry a peer's text: one line, nothing for the terminal to act on.
    std::string line = text;
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '.';
    }
    std::fprintf(stderr, "gc-token-ctl: %s: %s\n", command, line.c_str());
    return 1;
}

long long timeoutMs(const CommandLine& line, long long fallback) {
    const std::optional<std::string> text = line.value("--timeout");
    if (!text) return fallback;
    char* end = nullptr;
    const double seconds = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86'400) return -1;
    return static_cast<long long>(seconds * 1000);
}

}  // namespace ctl
