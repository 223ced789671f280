#pragma once

// Run-time loading of shared libraries, with trace logging. Results are the loader's, unchanged.
class GC_Scdl {
public:
    // dlopen(path, RTLD_LAZY): the handle, or null.
    static void* dl_open(const char* path);
    // dlsym: the symbol's address, or null when it is missing.
    static void* dl_sym(void* handle, const char* name);
    // dlclose: 0 on success.
    static int dl_close(void* handle);
};
