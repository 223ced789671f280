#include "platform/system_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

extern "C" char* program_invocation_short_name;

namespace plat {

void systemLog(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "%s[%d]: %s\n", program_invocation_short_name, static_cast<int>(getpid()), text);
}

}  // namespace plat
