// PC/SC back-end: the reader's own PIN entry and PACE. Reader features are not asked yet, so no
// reader counts as a pinpad reader and these operations answer "not supported".
#include "Reader/readerpcsc.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Reader/readerpcsc";
constexpr unsigned long kLogMask = gc_log::kReader;
constexpr unsigned long kLogError = gc_log::kReader | gc_log::kError;

// The window switch of the reader (SCARD_CTL_CODE(3105)).
constexpr DWORD kCtlEnableWindow = 0x42000C21;

}  // namespace

void GC_ReaderPCSC::detectReaderFeatures() {}

int GC_ReaderPCSC::enableWindow(unsigned char value) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!data || data->library == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogError, gc_reader::kNotInitialized,
                         "Reader not intitialized");
        return gc_reader::kNotInitialized;
    }
    if (data->hCard == 0) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogError, gc_reader::kFailed, "Card handle is null");
        return gc_reader::kFailed;
    }
    if (data->SCardControl132 == nullptr) {
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogError, gc_reader::kNotSupported, "Function not supported");
        return gc_reader::kNotSupported;
    }
    DWORD returned = 0;
    LONG rv = data->SCardControl132(data->hCard, kCtlEnableWindow, &value, 1, nullptr, 0, &returned);
    if (rv != SCARD_S_SUCCESS) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kLogError, gc_reader::kFailed,
                          "Failed SCardControl function | %ld", static_cast<long>(rv));
        return gc_reader::kFailed;
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

bool GC_ReaderPCSC::isPinpad() {
    if (!data) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogError, "Reader not intitialized");
        return false;
    }
    return (data->features & 0x20) != 0;
}

int GC_ReaderPCSC::verifyPassword(std::vector<unsigned char>, const std::shared_ptr<GC_Container>&,
                                  std::vector<unsigned char>&, unsigned long, unsigned long) {
    return data ? gc_reader::kNotSupported : gc_reader::kNotInitialized;
}

int GC_ReaderPCSC::changePassword(std::vector<unsigned char>, const std::shared_ptr<GC_Container>&,
                                  std::vector<unsigned char>&, unsigned long, unsigned long) {
    return data ? gc_reader::kNotSupported : gc_reader::kNotInitialized;
}

int GC_ReaderPCSC::unblockPassword(std::vector<unsigned char>, const std::shared_ptr<GC_Container>&,
                                   std::vector<unsigned char>&, unsigned long, unsigned long) {
    return data ? gc_reader::kNotSupported : gc_reader::kNotInitialized;
}

int GC_ReaderPCSC::performSecureConnection(std::vector<unsigned char>, int) {
    return data ? gc_reader::kNotSupported : gc_reader::kNotInitialized;
}

int GC_ReaderPCSC::restoreSecureConnection() { return data ? gc_reader::kNotSupported : gc_reader::kNotInitialized; }

int GC_ReaderPCSC::destroySecureConnection() { return data ? gc_reader::kNotSupported : gc_reader::kNotInitialized; }
