#pragma once

namespace plat {

// The system log: one line on standard error, prefixed with the process name and id.
void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace plat
