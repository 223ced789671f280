// Makes a PC/SC reader object with the environment it was started with and says whether the
// library named on the command line got loaded, and whether the process runs in secure mode
// (set-user-ID or set-group-ID): "secure=<0|1> loaded=<0|1>".
#include <dlfcn.h>
#include <sys/auxv.h>

#include <cstdio>

#include "Reader/readerpcsc.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    GC_ReaderPCSC reader;
    const bool loaded = dlopen(argv[1], RTLD_LAZY | RTLD_NOLOAD) != nullptr;
    std::printf("secure=%d loaded=%d\n", getauxval(AT_SECURE) != 0 ? 1 : 0, loaded ? 1 : 0);
    return 0;
}
