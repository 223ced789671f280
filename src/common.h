#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Small stateless helpers: numbers and bytes, bounded copying, files, time stamps, build flags.
// None of them logs.

int fopen_s(FILE** file, const char* path, const char* mode);
// Copies min(dstSize, count) bytes; nothing when either is 0.
void memcpy_s(void* dst, unsigned long dstSize, const void* src, unsigned long count);
// Unsigned 64-bit number from the bytes, shifted in after `initial` (bits above 64 are lost).
unsigned long long byte2ULong(std::vector<unsigned char> bytes, bool bigEndian, unsigned long initial);
// Big-endian bytes without leading zeros (0 gives 00); no sign byte is added.
std::vector<unsigned char> ULong2Byte(unsigned long long value);
// printf-style text without its NUL; empty for an empty or failed text or one of 5000 bytes or more.
std::vector<unsigned char> cstr2Bytes(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Exactly 9 bytes: upper-case hex digits (at most 8, the most significant), then zero bytes.
std::vector<unsigned char> ulongToHexString(unsigned long value);
// "YYYY-MM-DD HH:MM:SS.mmm" in local time; returns what snprintf reports.
int getDateTime(char* dst, unsigned long dstSize);
uint64_t currThreadId();
// One level, mode 0766; 0 or -1.
int dirCreate(const char* path);
// False for null or a path shorter than 2 characters; else whether stat succeeds.
bool dirExists(const char* path);
char pathSep();
bool isDebug();
bool sdkMode();

class GC_CommonStr {
public:
    static std::string byte2Str(std::vector<unsigned char> bytes);
    static std::vector<unsigned char> str2Bytes(std::string text);
    static std::string byte2HexStr(std::vector<unsigned char> bytes, bool spaces, bool upper);
    static std::string ulongToHexString(unsigned long value);
    static std::string toLower(const std::string& text);
    static std::string tail(const std::string& text, unsigned long n);
    static std::string wchar_t2str(const wchar_t* text);
    // Checks a block [L][content][40 hex digits of SHA-1(content)] of length L; on success moves
    // *block and blockLength to the content and returns false, else returns true.
    static bool isPACEprohibited(unsigned char** block, unsigned long& blockLength);
};
