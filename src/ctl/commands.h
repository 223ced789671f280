#pragma once

#include <string>

#include "ctl/command_line.h"
#include "platform/printable.h"

// The commands of gc-token-ctl. Each returns the exit status: 0 on success, 1 after one line
// "gc-token-ctl: COMMAND: REASON" on standard error.
namespace ctl {

int version(const CommandLine& line);
int checkCan(const CommandLine& line);
int waitToken(const CommandLine& line);
int list(const CommandLine& line);
int sign(const CommandLine& line);

// Writes the error line; returns 1.
int failure(const char* command, const std::string& text);
// The --timeout option in milliseconds (fallback when absent); -1 when it is not a positive
// number of seconds.
long long timeoutMs(const CommandLine& line, long long fallback);

// Text from the card, the bus or the host as one line of our output.
using plat::printable;

}  // namespace ctl
