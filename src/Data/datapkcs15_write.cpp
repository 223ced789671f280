#include "Data/datapkcs15.h"
#include "Data/datapkcs15_internal.h"
#include "logger.h"

// Reading object contents and the writing side of the layout. Not available yet: each answers
// -1101 like the base layout, without touching its arguments.

using namespace gc_pkcs15;

namespace {

int notSupported(const char* func, int line) {
    GC_LoggerC::call1(func, kLogFile, line, gc_log::kData);
    GC_LoggerC::ret1(func, kLogFile, line, gc_log::kError, kNotSupported);
    return kNotSupported;
}

}  // namespace

int GC_DataPKCS15::readObjects(std::vector<GC_Object*>& /*objects*/) { return notSupported(__func__, __LINE__); }

int GC_DataPKCS15::deleteObject(GC_Object* /*object*/) { return notSupported(__func__, __LINE__); }

int GC_DataPKCS15::createObject(GC_Object* /*templ*/, GC_Container* /*container*/, GC_Object** /*out*/) {
    return notSupported(__func__, __LINE__);
}

int GC_DataPKCS15::initContainer(std::shared_ptr<GC_Container>& /*container*/, std::string /*text*/) {
    return notSupported(__func__, __LINE__);
}
