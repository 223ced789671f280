#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Data/bytes.h"
#include "Data/wipe.h"
#include "logger.h"

namespace {

constexpr unsigned long kLineSize = 5000;

bool lineWanted(unsigned long mask) {
    GC_Logger* logger = GC_Logger::get();
    return logger->levelEnabled(mask) && logger->logDirExists();
}

// One line: header, then the text (cut at the line's end), handed to the back end.
void writeLine(const char* func, const char* file, int line, unsigned long mask, const char* text) {
    if (!lineWanted(mask)) return;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kLineSize]);
    if (!buffer) return;
    char* buf = buffer.get();
    unsigned long last = GC_LoggerC::prepareHeader(buf, kLineSize, func, file, line, mask);
    unsigned long start = last + 1;
    if (start >= kLineSize) start = kLineSize - 1;
    snprintf(buf + start, kLineSize - start, "%s", text);
    GC_Logger::get()->log(buf);
}

// One line from a format, expanded into a heap buffer of one line's size (cut at 4999
// characters); nothing is expanded when the line is not wanted.
__attribute__((format(printf, 5, 0))) void writeLinef(const char* func, const char* file, int line, unsigned long mask,
                                                      const char* fmt, va_list args) {
    if (!lineWanted(mask)) return;
    std::unique_ptr<char[]> text(new (std::nothrow) char[kLineSize]);
    if (!text) return;
    vsnprintf(text.get(), kLineSize, fmt, args);
    writeLine(func, file, line, mask, text.get());
}

}  // namespace

unsigned long GC_LoggerC::prepareHeader(char*& buf, unsigned long size, const char* func, const char* file, int line,
                                        unsigned long long mask) {
    GC_Logger* logger = GC_Logger::get();
    memset(buf, ' ', size);
    unsigned long p = 0;
    if (logger->optionEnabled(GC_Logger::kOptionLevelPrefix)) {
        char prefix[64];
        int n = snprintf(prefix, sizeof prefix, "LEVEL: %-9llu | ", mask);
        p = static_cast<unsigned long>(n);
        memcpy(buf, prefix, p);
    }
    char header[128];
    unsigned long width;
    int n;
    if (logger->optionEnabled(GC_Logger::kOptionSourcePath)) {
        width = 124;
        n = snprintf(header, width + 1, "%s:%s:%i", file != nullptr ? file : "", func, line);
    } else {
        width = 59;
        n = snprintf(header, width + 1, "%s:%i", func, line);
    }
    unsigned long headerLength = n < 0 ? 0 : std::min<unsigned long>(static_cast<unsigned long>(n), width);
    memcpy(buf + p, header, headerLength);
    memcpy(buf + p + width + 1, " : ", 3);
    return p + width + 3;
}

void GC_LoggerC::log(const char* func, const char* file, int line, unsigned long mask, const char* msg) {
    writeLine(func, file, line, mask, msg);
}

void GC_LoggerC::logf(const char* func, const char* file, int line, unsigned long mask, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    writeLinef(func, file, line, mask, fmt, args);
    va_end(args);
}

void GC_LoggerC::call(const char* func, const char* file, int line) {
    writeLine(func, file, line, gc_log::kTraceLine, "called");
}

void GC_LoggerC::call1(const char* func, const char* file, int line, unsigned long mask) {
    writeLine(func, file, line, mask | gc_log::kTraceLine, "called");
}

void GC_LoggerC::end1(const char* func, const char* file, int line, unsigned long mask) {
    writeLine(func, file, line, mask | gc_log::kTraceLine, "end");
}

void GC_LoggerC::end2(const char* func, const char* file, int line, unsigned long mask, const char* msg) {
    writeLine(func, file, line, mask | gc_log::kMessage, msg);
    writeLine(func, file, line, mask | gc_log::kTraceLine, "end");
}

void GC_LoggerC::end2f(const char* func, const char* file, int line, unsigned long mask, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    writeLinef(func, file, line, mask | gc_log::kMessage, fmt, args);
    va_end(args);
    writeLine(func, file, line, mask | gc_log::kTraceLine, "end");
}

namespace {
void writeResult(const char* func, const char* file, int line, unsigned long mask, int result) {
    if (!lineWanted(mask)) return;
    char text[48];
    snprintf(text, sizeof text, "returning with: %i", result);
    writeLine(func, file, line, mask, text);
}
}  // namespace

void GC_LoggerC::ret(const char* func, const char* file, int line, int result) {
    writeResult(func, file, line, gc_log::kTraceLine, result);
}

void GC_LoggerC::ret1(const char* func, const char* file, int line, unsigned long mask, int result) {
    writeResult(func, file, line, mask | gc_log::kTraceLine, result);
}

void GC_LoggerC::ret2(const char* func, const char* file, int line, unsigned long mask, int result, const char* msg) {
    writeLine(func, file, line, mask | gc_log::kMessage, msg);
    writeResult(func, file, line, mask | gc_log::kTraceLine, result);
}

void GC_LoggerC::ret2f(const char* func, const char* file, int line, unsigned long mask, int result, const char* fmt,
                       ...) {
    va_list args;
    va_start(args, fmt);
    writeLinef(func, file, line, mask | gc_log::kMessage, fmt, args);
    va_end(args);
    writeResult(func, file, line, mask | gc_log::kTraceLine, result);
}

int GC_LoggerC::fail(const char* func, const char* file, int line, unsigned long mask, int result) {
    writeResult(func, file, line, mask | gc_log::kTraceLine, result);
    return result;
}

int GC_LoggerC::fail(const char* func, const char* file, int line, unsigned long mask, int result, const char* fmt,
                     ...) {
    va_list args;
    va_start(args, fmt);
    writeLinef(func, file, line, mask | gc_log::kMessage, fmt, args);
    va_end(args);
    writeResult(func, file, line, mask | gc_log::kTraceLine, result);
    return result;
}

void GC_LoggerC::retPtr(const char* func, const char* file, int line, bool isNull, unsigned long /*mask*/) {
    if (isNull)
        writeLine(func, file, line, gc_log::kMessage, "returning nullptr");
    else
        writeLine(func, file, line, gc_log::kTraceLine, "returning ptr");
}

void GC_LoggerC::retPtr2(const char* func, const char* file, int line, bool isNull, unsigned long mask,
                         const char* msg) {
    writeLine(func, file, line, mask, msg);
    retPtr(func, file, line, isNull, mask);
}

bool GC_LoggerC::levelEnabled(unsigned long mask) {
    return GC_Logger::get()->levelEnabled(mask);
}

void GC_LoggerC::apdu(const char* func, int line, unsigned long mask, std::vector<unsigned char> apdu, bool response,
                      bool isProtected, bool withText) {
    // This copy of the command may carry a PIN (a plain VERIFY): wiped on every path.
    GC_WipeGuard wipe{&apdu};
    if (!levelEnabled(mask)) return;
    const unsigned long lineMask = mask | gc_log::kApdu;
    logf(func, "", line, lineMask, " %s APDU | %sPROTECTED | len: %zu", response ? "<== Recive" : "==> Send",
         isProtected ? "" : "UN", apdu.size());
    const bool detail = GC_Logger::get()->optionEnabled(GC_Logger::kOptionDebugLevel);
    if (response && apdu.size() >= 2) {
        logf(func, "", line, lineMask, "     SW1: %02X | SW2: %02X", apdu[apdu.size() - 2], apdu.back());
    } else if (!response && apdu.size() >= 4) {
        if (detail)
            logf(func, "", line, lineMask, "     CLA: %02X | INS: %02X | P1: %02X | P2: %02X", apdu[0], apdu[1],
                 apdu[2], apdu[3]);
        else
            logf(func, "", line, lineMask, "     CLA: %02X | INS: %02X", apdu[0], apdu[1]);
    } else {
        log(func, "", line, lineMask, " Unsupported format APDU");
    }
    if (!detail) return;
    // The data of an unprotected VERIFY, CHANGE REFERENCE DATA or RESET RETRY COUNTER command is
    // a PIN: the dump stops after Lc and is marked as cut.
    const bool pinCommand =
        !response && !isProtected && apdu.size() > 5 && (apdu[1] == 0x20 || apdu[1] == 0x24 || apdu[1] == 0x2C);
    const size_t shown = pinCommand ? 5 : apdu.size();
    logHex(func, line, lineMask, std::vector<unsigned char>(apdu.begin(), apdu.begin() + static_cast<long>(shown)),
           withText, pinCommand);
}

void GC_LoggerC::file(const char* func, int line, unsigned long mask, std::vector<unsigned char> fid, unsigned long idx,
                      std::vector<unsigned char> data, bool withText) {
    if (!levelEnabled(mask)) return;
    const unsigned long lineMask = mask | gc_log::kFile;
    GC_Bytes fidHex = GC_Bytes(fid, 0).toHex(false, true);
    logf(func, "", line, lineMask, "Read file: %s | size: %zu | idx: %zu", fidHex.c_str(), data.size(),
         static_cast<size_t>(idx));
    GC_Logger* logger = GC_Logger::get();
    if (!logger->optionEnabled(GC_Logger::kOptionDebugLevel)) return;
    bool cut = false;
    if (!logger->optionEnabled(GC_Logger::kOptionFullFileDump) && data.size() > 32) {
        data.resize(32);
        cut = true;
    }
    logHex(func, line, lineMask, std::move(data), withText, cut);
}

void GC_LoggerC::logHex(const char* func, int line, unsigned long mask, std::vector<unsigned char> data, bool withText,
                        bool cut) {
    GC_WipeGuard wipe{&data};
    if (!levelEnabled(mask)) return;
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        size_t count = std::min<size_t>(16, data.size() - offset);
        GC_Bytes bytes(SecureVector<unsigned char>(data.data() + offset, count), 0);
        GC_Bytes hex = bytes.toHex(true, true);
        if (withText) {
            GC_Bytes text = bytes.toPlainText();
            logf(func, "", line, mask, "     %-50s | %s", hex.c_str(), text.c_str());
        } else {
            logf(func, "", line, mask, "     %-50s", hex.c_str());
        }
    }
    if (!data.empty() && cut) log(func, "", line, mask, "     .....");
}

void GC_LoggerC::logHex(const char* func, const char* file, int line, unsigned long mask, const char* title,
                        const unsigned char* data, unsigned long len, bool withText, bool shorten) {
    if (!levelEnabled(mask) || data == nullptr) return;
    const char* suffix = "";
    if (shorten && len > 16) {
        len = 16;
        suffix = "...";
    }
    for (unsigned long offset = 0; offset < len; offset += 16) {
        unsigned long count = std::min<unsigned long>(16, len - offset);
        GC_Bytes bytes(SecureVector<unsigned char>(data + offset, count), 0);
        GC_Bytes hex = bytes.toHex(true, true);
        if (withText) {
            GC_Bytes text = bytes.toPlainText();
            logf(func, file, line, mask, "%s %s%s | %s%s", title, hex.c_str(), suffix, text.c_str(), suffix);
        } else {
            logf(func, file, line, mask, "%s %s%s", title, hex.c_str(), suffix);
        }
    }
}
