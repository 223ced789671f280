#pragma once

#include <spdlog/logger.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Mask bits of a log line: one bit per source file or family of files, plus the kinds of line.
namespace gc_log {
inline constexpr unsigned long kMessage = 0x1;
inline constexpr unsigned long kDetail = 0x2;
inline constexpr unsigned long kCard = 0x4;
inline constexpr unsigned long kCardController = 0x8;
inline constexpr unsigned long kController = 0x10;
inline constexpr unsigned long kPaceController = 0x20;
inline constexpr unsigned long kPace = 0x40;
inline constexpr unsigned long kSecureMessaging = 0x80;
inline constexpr unsigned long kApdu = 0x100;
inline constexpr unsigned long kFile = 0x200;
inline constexpr unsigned long kReader = 0x400;
inline constexpr unsigned long kFactory = 0x800;
inline constexpr unsigned long kAsn1 = 0x1000;
inline constexpr unsigned long kCache = 0x8000;
inline constexpr unsigned long kQueue = 0x10000;
inline constexpr unsigned long kScdl = 0x80000;
inline constexpr unsigned long kSecurity = 0x100000;
inline constexpr unsigned long kTrace = 0x200000;
inline constexpr unsigned long kError = 0x400000;
inline constexpr unsigned long kPkcs1 = 0x800000;
inline constexpr unsigned long kData = 0x1000000;
inline constexpr unsigned long kObjects = 0x2000000;
inline constexpr unsigned long kContainer = 0x4000000;
inline constexpr unsigned long kDriver = 0x8000000;
inline constexpr unsigned long kSettings = 0x10000000;
inline constexpr unsigned long kBytes = 0x20000000;

// What a trace line carries on top of the caller's family bit.
inline constexpr unsigned long kTraceLine = kTrace | kMessage;

// Build-time defaults (there is no run-time log setting).
inline constexpr unsigned long long kReleaseOptions = 0x0C;
inline constexpr unsigned long long kReleaseLevelMask = 0x18606D1D;
inline constexpr unsigned long long kDebugOptions = 0x2E;
inline constexpr unsigned long long kDebugLevelMask = 0x1C61E91F;
}  // namespace gc_log

// The process-wide log back end: where the log file lives, which options shape the lines,
// which mask bits are enabled; writes finished lines through one synchronous spdlog logger.
class GC_Logger {
public:
    // Option bits.
    static constexpr unsigned long long kOptionFullFileDump = 0x1;
    static constexpr unsigned long long kOptionDebugLevel = 0x2;
    static constexpr unsigned long long kOptionTimeStamp = 0x4;
    static constexpr unsigned long long kOptionProcessThread = 0x8;
    static constexpr unsigned long long kOptionLevelPrefix = 0x10;
    static constexpr unsigned long long kOptionSourcePath = 0x20;

    // The instance, created once on first use (thread-safe).
    static GC_Logger* get();

    // Fills the fields from the log directory and the build's defaults, then calls init.
    GC_Logger();
    // Same, with an explicit directory (with its trailing "/", or empty), options and mask.
    GC_Logger(const std::string& logDir, unsigned long long options, unsigned long long levelMask,
              bool debugWriter = false);
    ~GC_Logger();

    GC_Logger(const GC_Logger&) = delete;
    GC_Logger& operator=(const GC_Logger&) = delete;

    int init();
    bool logDirExists() const;
    bool optionEnabled(unsigned long long bits) const;
    bool levelEnabled(unsigned long long mask) const;
    void log(const char* line);
    bool logFileExists() const;
    int logFileRecreate() const;
    FILE* logFileOpen(const char* mode) const;

    std::string logFilePath() const;
    unsigned long long options() const { return options_; }
    unsigned long long levelMask() const { return levelMask_; }

    // Test seam: replaces the process-wide instance (after it was created once); returns the old one.
    static std::shared_ptr<GC_Logger> installForTesting(std::shared_ptr<GC_Logger> logger);

private:
    void writeDebugLine(const char* line);

    static constexpr size_t kLogDirMax = 149;
    static constexpr size_t kLogPathMax = 198;

    std::string logDir_;
    const char* logFileName_ = "spdlog.log";
    unsigned long long options_ = 0;
    unsigned long long levelMask_ = 0;
    bool debugWriter_ = false;
    std::shared_ptr<spdlog::logger> logger_;
};

// The log directory of the extension's container ("…/Documents/logs/"), empty when it is missing.
std::string mac_log_dir();
// Path of a file in the container's Documents directory, empty when that directory is missing.
std::string mac_setting_file(const char* name);
// Writes "log file: <text>" to the system log.
void mac_log(const char* text);

// The logging front end: builds fixed-layout lines and hands them to GC_Logger.
// func: the calling function's name; file: the calling source file's path; line: source line.
class GC_LoggerC {
public:
    static void log(const char* func, const char* file, int line, unsigned long mask, const char* msg);
    static void logf(const char* func, const char* file, int line, unsigned long mask, const char* fmt, ...)
        __attribute__((format(printf, 5, 6)));
    static void call(const char* func, const char* file, int line);
    static void call1(const char* func, const char* file, int line, unsigned long mask);
    static void end1(const char* func, const char* file, int line, unsigned long mask);
    static void end2(const char* func, const char* file, int line, unsigned long mask, const char* msg);
    static void end2f(const char* func, const char* file, int line, unsigned long mask, const char* fmt, ...)
        __attribute__((format(printf, 5, 6)));
    static void ret(const char* func, const char* file, int line, int result);
    static void ret1(const char* func, const char* file, int line, unsigned long mask, int result);
    static void ret2(const char* func, const char* file, int line, unsigned long mask, int result, const char* msg);
    static void ret2f(const char* func, const char* file, int line, unsigned long mask, int result, const char* fmt,
                      ...) __attribute__((format(printf, 6, 7)));
    // A failure in one line: the same lines as ret2f (or ret1 without a text) and the code back.
    static int fail(const char* func, const char* file, int line, unsigned long mask, int result);
    static int fail(const char* func, const char* file, int line, unsigned long mask, int result, const char* fmt, ...)
        __attribute__((format(printf, 6, 7)));
    static void retPtr(const char* func, const char* file, int line, bool isNull, unsigned long mask);
    static void retPtr2(const char* func, const char* file, int line, bool isNull, unsigned long mask, const char* msg);

    static bool levelEnabled(unsigned long mask);

    static void apdu(const char* func, int line, unsigned long mask, std::vector<unsigned char> apdu, bool response,
                     bool isProtected, bool withText);
    static void file(const char* func, int line, unsigned long mask, std::vector<unsigned char> fid, unsigned long idx,
                     std::vector<unsigned char> data, bool withText);
    static void logHex(const char* func, int line, unsigned long mask, std::vector<unsigned char> data, bool withText,
                       bool cut);
    static void logHex(const char* func, const char* file, int line, unsigned long mask, const char* title,
                       const unsigned char* data, unsigned long len, bool withText, bool shorten);

    // Blank-fills buf, writes the header and " : ", returns the column of the last character written.
    static unsigned long prepareHeader(char*& buf, unsigned long size, const char* func, const char* file, int line,
                                       unsigned long long mask);
};

// Logs a failed result under the calling function, its file's kLogFile and line, and returns the
// code, so that a failure is one line:  if (x == nullptr) return GC_FAIL(kErrMask, -1102, "Param is nullptr");
// Without a text only the result line is written:  return GC_FAIL(kErrMask, rc);
#define GC_FAIL(mask, ...) GC_LoggerC::fail(__func__, kLogFile, __LINE__, (mask), __VA_ARGS__)
