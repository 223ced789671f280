#include "Controller/controller.h"

#include "logger.h"

namespace {

constexpr const char* kLogFile = "Controller/controller";
constexpr unsigned long kLogMask = gc_log::kController;

// No reader is bound to a session that was never opened.
constexpr int kReaderMissing = -1901;

}  // namespace

int GC_Controller::read(std::vector<unsigned char>& /*out*/, const std::vector<unsigned char>& /*aid*/,
                        const std::vector<unsigned char>& /*path*/, unsigned long /*offset*/, unsigned long /*length*/,
                        unsigned long* /*size*/, bool /*selectApplication*/, bool /*selectPath*/, read_mode /*mode*/,
                        std::vector<unsigned char> /*tag*/) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::ret2(__func__, kLogFile, __LINE__, gc_log::kError, kReaderMissing, "Reader is nullptr");
    return kReaderMissing;
}

int GC_Controller::update(std::vector<unsigned char>& /*data*/, const std::vector<unsigned char>& /*aid*/,
                          const std::vector<unsigned char>& /*path*/, unsigned long /*offset*/,
                          bool /*selectApplication*/, bool /*selectPath*/) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_LoggerC::ret2(__func__, kLogFile, __LINE__, gc_log::kError, kReaderMissing, "Reader is nullptr");
    return kReaderMissing;
}
