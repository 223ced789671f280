// The Driver's container, object and key operations: each forwards to the card session and
// records its result.
#include <utility>

#include "Data/Container/container.h"
#include "Data/wipe.h"
#include "driver.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "driver";
constexpr unsigned long kLogMask = gc_log::kDriver;

}  // namespace

int Driver::activeContainer(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_WipeGuard wipePin{&pin};
    return record(controller.activeContainer(container, pin));
}

int Driver::initContainer(std::shared_ptr<GC_Container> container, std::vector<uint8_t> pin, std::vector<uint8_t> data,
                          bool flag) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_WipeGuard wipePin{&pin};
    // Nothing of the container goes without its PIN.
    if (const int rc = record(controller.verifyPassword(container, pin, flag, false)); rc != 0) return rc;
    return record(controller.initContainer(container, std::move(data)));
}

int Driver::deleteObject(std::shared_ptr<GC_Container> container, GC_Object* object) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    return record(controller.deleteObject(container, object, false));
}

int Driver::createObject(GC_Object* object, std::shared_ptr<GC_Container> container, GC_Object** newObject) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    return record(controller.createObject(object, std::move(container), newObject));
}

int Driver::generateKeyPair(std::shared_ptr<GC_Container> container, GC_Object* privateTemplate,
                            GC_Object* publicTemplate, GC_Object** newPrivate, GC_Object** newPublic) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    return record(
        controller.generateKeyPair(std::move(container), privateTemplate, publicTemplate, newPrivate, newPublic));
}
