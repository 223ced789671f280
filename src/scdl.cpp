#include "scdl.h"

#include <dlfcn.h>

#include "logger.h"

namespace {
constexpr const char* kLogFile = "scdl";
constexpr unsigned long kLogMask = gc_log::kScdl;
}  // namespace

void* GC_Scdl::dl_open(const char* path) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Open library: %s", path != nullptr ? path : "");
    void* handle = dlopen(path, RTLD_LAZY);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return handle;
}

void* GC_Scdl::dl_sym(void* handle, const char* name) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask | gc_log::kDetail, "Get symbol library: %s",
                     name != nullptr ? name : "");
    void* symbol = handle != nullptr && name != nullptr ? dlsym(handle, name) : nullptr;
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return symbol;
}

int GC_Scdl::dl_close(void* handle) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    int result = handle != nullptr ? dlclose(handle) : -1;
    GC_LoggerC::end2(__func__, kLogFile, __LINE__, kLogMask, "Close library");
    return result;
}
