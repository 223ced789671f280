#include "common.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Data/wipe.h"
#include "platform/thread_id.h"

namespace {
constexpr size_t kFormatBufferSize = 5000;
constexpr unsigned long kPaceDigestHexLength = 40;

std::string formatHex(unsigned long value) {
    char text[32];
    int n = snprintf(text, sizeof text, "%lX", value);
    return std::string(text, static_cast<size_t>(n > 8 ? 8 : n));
}
}  // namespace

int fopen_s(FILE** file, const char* path, const char* mode) {
    *file = fopen(path, mode);
    return *file == nullptr ? errno : 0;
}

void memcpy_s(void* dst, unsigned long dstSize, const void* src, unsigned long count) {
    if (dstSize == 0 || count == 0 || dst == nullptr || src == nullptr) return;
    memcpy(dst, src, dstSize < count ? dstSize : count);
}

unsigned long long byte2ULong(std::vector<unsigned char> bytes, bool bigEndian, unsigned long initial) {
    unsigned long long accumulator = initial;
    if (bigEndian) {
        for (unsigned char b : bytes) accumulator = (accumulator << 8) | b;
    } else {
        for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) accumulator = (accumulator << 8) | *it;
    }
    return accumulator;
}

std::vector<unsigned char> ULong2Byte(unsigned long long value) {
    std::vector<unsigned char> bytes;
    for (int shift = 56; shift >= 0; shift -= 8) {
        auto b = static_cast<unsigned char>(value >> shift);
        if (b != 0 || !bytes.empty()) bytes.push_back(b);
    }
    if (bytes.empty()) bytes.push_back(0);
    return bytes;
}

std::vector<unsigned char> cstr2Bytes(const char* format, ...) {
    std::vector<unsigned char> result;
    char work[kFormatBufferSize];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(work, sizeof work, format, args);
    va_end(args);
    if (n > 0 && static_cast<size_t>(n) < sizeof work) result.assign(work, work + n);
    return result;
}

std::vector<unsigned char> ulongToHexString(unsigned long value) {
    std::string digits = formatHex(value);
    std::vector<unsigned char> result(9, 0);
    memcpy(result.data(), digits.data(), digits.size());
    return result;
}

int getDateTime(char* dst, unsigned long dstSize) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char seconds[32];
    strftime(seconds, sizeof seconds, "%Y-%m-%d %H:%M:%S", &local);
    return snprintf(dst, dstSize, "%s.%03d", seconds, static_cast<int>(now.tv_usec / 1000));
}

uint64_t currThreadId() {
    return plat::currentThreadId();
}

int dirCreate(const char* path) {
    return mkdir(path, 0766);
}

bool dirExists(const char* path) {
    if (path == nullptr || strlen(path) < 2) return false;
    struct stat status {};
    return stat(path, &status) == 0;
}

char pathSep() {
    return '/';
}
bool isDebug() {
    return false;
}
bool sdkMode() {
    return false;
}

std::string GC_CommonStr::byte2Str(std::vector<unsigned char> bytes) {
    return {bytes.begin(), bytes.end()};
}

std::vector<unsigned char> GC_CommonStr::str2Bytes(std::string text) {
    return {text.begin(), text.end()};
}

std::string GC_CommonStr::byte2HexStr(std::vector<unsigned char> bytes, bool spaces, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (unsigned char b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
        if (spaces) text.push_back(' ');
    }
    return text;
}

std::string GC_CommonStr::ulongToHexString(unsigned long value) {
    return formatHex(value);
}

std::string GC_CommonStr::toLower(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string GC_CommonStr::tail(const std::string& text, unsigned long n) {
    return n >= text.size() ? text : text.substr(text.size() - n);
}

std::string GC_CommonStr::wchar_t2str(const wchar_t* text) {
    std::string result;
    if (text == nullptr) return result;
    for (; *text != L'\0'; ++text) result.push_back(static_cast<char>(static_cast<unsigned>(*text) & 0xFF));
    return result;
}

bool GC_CommonStr::isPACEprohibited(unsigned char** block, unsigned long& blockLength) {
    if (sdkMode()) return false;
    if (block == nullptr || *block == nullptr || blockLength == 0) return true;
    const unsigned long total = (*block)[0];
    if (blockLength != total || total < kPaceDigestHexLength + 2) return true;

    const unsigned long contentLength = total - kPaceDigestHexLength - 1;
    std::vector<unsigned char> content(*block + 1, *block + 1 + contentLength);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool hashed = EVP_Digest(content.data(), content.size(), digest, &digestLength, EVP_sha1(), nullptr) == 1;
    gc_wipe(content);
    if (!hashed) return true;

    std::string expected = byte2HexStr(std::vector<unsigned char>(digest, digest + digestLength), false, false);
    if (memcmp(*block + 1 + contentLength, expected.data(), kPaceDigestHexLength) != 0) return true;
    *block += 1;
    blockLength = contentLength;
    return false;
}
