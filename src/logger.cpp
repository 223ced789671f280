#include "logger.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common.h"
#include "platform/bundle.h"
#include "platform/filesystem.h"
#include "platform/home.h"
#include "platform/system_log.h"

namespace {

std::shared_ptr<GC_Logger> g_instance;
std::once_flag g_instanceOnce;
std::mutex g_debugWriterLock;

constexpr const char* kLoggerName = "varnel_logger";

// An open stream, closed when it goes.
struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The container directory below the home directory, with the given tail
// ("Documents/logs/" or "Documents/"). A home path inside a container is the container itself.
std::string containerDirectory(const char* documentsTail) {
    std::string home = plat::homeDirectory();
    if (home.find("Containers") != std::string::npos) return home + "/" + documentsTail;
    return home + "/Library/Containers/" + plat::kBundleIdentifier + "/Data/" + documentsTail;
}

}  // namespace

std::string mac_log_dir() {
    std::string dir = containerDirectory("Documents/logs/");
    if (!plat::isDirectory(dir)) return {};
    plat::systemLog("log directory is: %s", dir.c_str());
    return dir;
}

std::string mac_setting_file(const char* name) {
    std::string dir = containerDirectory("Documents/");
    if (!plat::isDirectory(dir)) {
        plat::systemLog("log directory return NULL");
        return {};
    }
    return dir + (name != nullptr ? name : "");
}

void mac_log(const char* text) {
    plat::systemLog("log file: %s", text != nullptr ? text : "");
}

GC_Logger* GC_Logger::get() {
    std::call_once(g_instanceOnce, [] { g_instance = std::make_shared<GC_Logger>(); });
    return g_instance.get();
}

std::shared_ptr<GC_Logger> GC_Logger::installForTesting(std::shared_ptr<GC_Logger> logger) {
    get();
    std::swap(g_instance, logger);
    return logger;
}

GC_Logger::GC_Logger()
    : GC_Logger(mac_log_dir(), isDebug() ? gc_log::kDebugOptions : gc_log::kReleaseOptions,
                isDebug() ? gc_log::kDebugLevelMask : gc_log::kReleaseLevelMask, isDebug()) {}

GC_Logger::GC_Logger(const std::string& logDir, unsigned long long options, unsigned long long levelMask,
                     bool debugWriter)
    : logDir_(logDir.substr(0, kLogDirMax)), options_(options), levelMask_(levelMask), debugWriter_(debugWriter) {
    init();
}

GC_Logger::~GC_Logger() {
    logger_.reset();
}

std::string GC_Logger::logFilePath() const {
    return (logDir_ + logFileName_).substr(0, kLogPathMax);
}

int GC_Logger::init() {
    if (!logDirExists()) return -2;

    const std::string path = logFilePath();
    FilePtr file(fopen(path.c_str(), "r"));
    if (!file) file.reset(fopen(path.c_str(), "w"));
    if (!file) return -1;
    file.reset();

    std::string pattern;
    if (debugWriter_) pattern += "DEBUG LIB | ";
    if (optionEnabled(kOptionDebugLevel)) pattern += "DEBUG LEVEL | ";
    if (optionEnabled(kOptionTimeStamp)) pattern += "[%Y-%m-%d %T:%e]  ";
    if (optionEnabled(kOptionProcessThread)) pattern += "[pid: %4P][tid: %7t]     ";
    pattern += "%v";

    try {
        // A logger of its own, not registered: several instances (tests) may coexist.
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
        logger_ = std::make_shared<spdlog::logger>(kLoggerName, std::move(sink));
        logger_->set_pattern(pattern, spdlog::pattern_time_type::local);
    } catch (const spdlog::spdlog_ex&) {
        logger_.reset();
        return 0;
    }
    return logger_ ? 0 : -1;
}

bool GC_Logger::logDirExists() const {
    return dirExists(logDir_.c_str());
}

bool GC_Logger::optionEnabled(unsigned long long bits) const {
    return (options_ & bits) != 0;
}

bool GC_Logger::levelEnabled(unsigned long long mask) const {
    return (levelMask_ & mask) == mask;
}

void GC_Logger::log(const char* line) {
    if (debugWriter_) {
        writeDebugLine(line);
        return;
    }
    if (!logger_) return;
    try {
        logger_->log(spdlog::source_loc{}, spdlog::level::info, spdlog::string_view_t(line));
        logger_->flush();
    } catch (const spdlog::spdlog_ex&) {
        // A full disk must not take the card session down; the line is lost.
    }
}

void GC_Logger::writeDebugLine(const char* line) {
    std::lock_guard<std::mutex> lock(g_debugWriterLock);
    FilePtr file(logFileOpen("a"));
    if (!file) return;
    setbuf(file.get(), nullptr);

    std::string text = "DEBUG LIB | ";
    if (optionEnabled(kOptionDebugLevel)) text += "DEBUG LEVEL | ";
    if (optionEnabled(kOptionTimeStamp)) {
        char stamp[30];
        getDateTime(stamp, sizeof stamp);
        text += stamp;
        text += " | ";
    }
    if (optionEnabled(kOptionProcessThread)) text += "tid:" + std::to_string(currThreadId()) + " | ";
    text += line;
    if (text.size() > 9999) text.resize(9999);
    fprintf(file.get(), "%s\n", text.c_str());
}

bool GC_Logger::logFileExists() const {
    return FilePtr(logFileOpen("r")) != nullptr;
}

int GC_Logger::logFileRecreate() const {
    return FilePtr(logFileOpen("w")) != nullptr ? 0 : -1;
}

FILE* GC_Logger::logFileOpen(const char* mode) const {
    return fopen(logFilePath().c_str(), mode);
}
