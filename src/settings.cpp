#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Data/wipe.h"
#include "common.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "settings";
constexpr unsigned long kLogMask = gc_log::kSettings;
constexpr const char* kFileName = "config.conf";
// A piece of the file is at most this many bytes (a longer line reads as several pieces).
constexpr int kPieceSize = 299;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

GC_Bytes fromRange(const char* begin, size_t length) {
    GC_Bytes bytes;
    bytes.append(begin, length);
    return bytes;
}

GC_Bytes textBytes(const char* text) {
    return text != nullptr ? fromRange(text, strlen(text)) : GC_Bytes();
}

// Leading white space, an optional sign, decimal digits up to the first other character;
// no digits give 0. Values beyond the int range are held at its ends.
int readNumber(const char* text) {
    while (*text != '\0' && isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

// The rename lives in the directory: it is on the disk only once the directory is synced too.
bool syncDirectoryOf(const std::string& path) {
    const size_t separator = path.find_last_of('/');
    const std::string dir = separator == std::string::npos ? "." : path.substr(0, separator == 0 ? 1 : separator);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}

// Writes every entry to a new file beside `path` and renames it over the old one, so that a
// failed write never leaves a truncated settings file behind, then syncs the directory so that
// the new file survives a crash. False when anything failed.
bool writeAtomically(const std::string& path, GC_Settings::entries& entries) {
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) return false;
    fchmod(fd, 0644);
    File file(fdopen(fd, "w"));
    if (!file) {
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "SAVING FILE");
    bool ok = true;
    for (auto& [key, value] : entries) {
        GC_Bytes k = key;
        GC_Bytes v = value;
        const char* keyText = k.c_str();
        const char* valueText = v.c_str();
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "k=(%s), v=(%s)", keyText, valueText);
        if (fprintf(file.get(), "%s=%s\n", keyText, valueText) < 0) ok = false;
    }
    if (fflush(file.get()) != 0 || fsync(fileno(file.get())) != 0) ok = false;
    if (fclose(file.release()) != 0) ok = false;
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    return syncDirectoryOf(path);
}

}  // namespace

bool GC_Settings::cmp_str::operator()(const GC_Bytes& a, const GC_Bytes& b) const {
    GC_Bytes left = a;
    GC_Bytes right = b;
    return strcmp(left.c_str(), right.c_str()) < 0;
}

int GC_Settings::set(const char* section, const char* key, const char* value) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const std::string path = mac_setting_file(kFileName);
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Settings path %s", path.c_str());

    const size_t separator = path.find_last_of(pathSep());
    if (separator != std::string::npos) {
        const std::string dir = path.substr(0, separator);
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Settings dir %s", dir.c_str());
        if (!dirExists(dir.c_str())) dirCreate(dir.c_str());
    }

    entries all;
    getAll(section, all);
    all[textBytes(key)] = textBytes(value);

    if (path.empty() || !writeAtomically(path, all)) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Cannot open file %s", path.c_str());
        return GC_FAIL(gc_log::kError, -1);
    }
    GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kLogMask, 0, "Set key '%s' with value '%s'", key, value);
    return 0;
}

int GC_Settings::getAll(const char* /*section: the file has none*/, entries& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const std::string path = mac_setting_file(kFileName);
    File file(path.empty() ? nullptr : fopen(path.c_str(), "r"));
    if (!file) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, gc_log::kError, "Cannot open file %s", path.c_str());
        return GC_FAIL(gc_log::kError, -1);
    }

    GC_WipedArray<kPieceSize + 1> buffer;
    char* piece = reinterpret_cast<char*>(buffer.b);
    while (fgets(piece, static_cast<int>(buffer.size()), file.get()) != nullptr) {
        // A piece is text up to its first NUL, less its trailing blanks and line ends.
        size_t length = strlen(piece);
        while (length > 0 && (piece[length - 1] == ' ' || piece[length - 1] == '\r' || piece[length - 1] == '\n'))
            --length;
        const char* equals = static_cast<const char*>(memchr(piece, '=', length));
        if (equals == nullptr) continue;

        const size_t keyLength = static_cast<size_t>(equals - piece);
        GC_Bytes key = fromRange(piece, keyLength);
        GC_Bytes value = fromRange(equals + 1, length - keyLength - 1);
        GC_Bytes keyText = key;
        GC_Bytes valueText = value;
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "k=(%s), v=(%s)", keyText.c_str(), valueText.c_str());
        out.emplace(std::move(key), std::move(value));  // the first occurrence of a key wins
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Settings::get(const char* section, const char* key, std::vector<char>& value) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    entries all;
    getAll(section, all);
    auto found = all.find(textBytes(key));
    if (found == all.end()) return GC_FAIL(kLogMask, -2);
    value.insert(value.end(), found->second.begin(), found->second.end());
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

GC_Bytes GC_Settings::readerKey(const char* readerName) {
    const char* name = readerName != nullptr ? readerName : "";
    const char* lastSpace = strrchr(name, ' ');
    return fromRange(name, lastSpace != nullptr ? static_cast<size_t>(lastSpace - name) : strlen(name));
}

int GC_Settings::setReaderMaxAPDUSize(const char* readerName, int size, bool extended) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_Bytes key = readerKey(readerName);
    const char* keyText = key.c_str();

    std::vector<char> stored;
    if (get("ReaderMaxAPDUSize", keyText, stored) == 0) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;  // the first value stored for a reader stays for good
    }

    GC_Bytes value;
    if (size == kExtendedMark || (size < 255 && extended)) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader: %s is extended", readerName);
        value.appendf("E");
    } else {
        if (size > 255 || (size == 255 && extended)) value.appendf("E:");
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Reader: %s  is extended with len APDU %i", readerName,
                         size);
        value.appendf("%i", size);
    }
    set("ReaderMaxAPDUSize", keyText, value.c_str());
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_Settings::getReaderMaxAPDUSize(const char* readerName) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    GC_Bytes key = readerKey(readerName);
    std::vector<char> stored;
    if (get("ReaderMaxAPDUSize", key.c_str(), stored) != 0) return GC_FAIL(kLogMask, -1);
    std::string value(stored.begin(), stored.end());
    value = value.c_str();  // text up to a NUL, as it was read

    int result;
    if (value.find('E') != std::string::npos) {
        const size_t mark = value.find("E:");
        if (value.size() < 2 || mark == std::string::npos)
            result = kExtendedMark;
        else
            result = readNumber(value.c_str() + mark + 2);
    } else {
        result = value.empty() ? 0 : readNumber(value.c_str());
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}
