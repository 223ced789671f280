#include "Data/data.h"

#include "logger.h"

namespace {

constexpr const char* kLogFile = "Data/data";
constexpr unsigned long kLogMask = gc_log::kData;
constexpr int kNotSupported = -1101;

int notSupported(const char* func, int line) {
    GC_LoggerC::call1(func, kLogFile, line, kLogMask);
    GC_LoggerC::ret1(func, kLogFile, line, gc_log::kError, kNotSupported);
    return kNotSupported;
}

}  // namespace

GC_Data::GC_Data(GC_Controller* controller) : controller(controller) {}

GC_Data::~GC_Data() = default;

int GC_Data::getContainers(std::vector<std::shared_ptr<GC_Container>>& /*containers*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Data::readObjects(std::vector<GC_Object*>& /*objects*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Data::deleteObject(GC_Object* /*object*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Data::createObject(GC_Object* /*templ*/, GC_Container* /*container*/, GC_Object** /*out*/) {
    return notSupported(__func__, __LINE__);
}

int GC_Data::initContainer(std::shared_ptr<GC_Container>& /*container*/, std::string /*text*/) {
    return notSupported(__func__, __LINE__);
}
