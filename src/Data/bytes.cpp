#include "Data/bytes.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Data/wipe.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Data/bytes";
constexpr unsigned long kLogMask = gc_log::kBytes;
constexpr size_t kFormatBufferSize = 5000;

// Formats into a wiped work buffer; returns the bytes (without NUL), empty on error or empty text.
SecureVector<unsigned char> formatText(const char* format, va_list args) {
    SecureVector<unsigned char> result;
    GC_WipedArray<kFormatBufferSize> work;
    int n = vsnprintf(reinterpret_cast<char*>(work.b), work.size(), format, args);
    if (n > 0) {
        size_t kept = std::min<size_t>(static_cast<size_t>(n), work.size() - 1);
        result.appendRaw(work.b, kept);
    }
    return result;
}

// How many bytes a counted append takes: count when 1..size, else all.
size_t countedLength(size_t size, unsigned long count) {
    return (count >= 1 && count <= size) ? count : size;
}

}  // namespace

GC_Bytes::GC_Bytes(const std::vector<char>& bytes, unsigned long count) {
    append(bytes, count);
}
GC_Bytes::GC_Bytes(const std::vector<unsigned char>& bytes, unsigned long count) {
    append(bytes, count);
}
GC_Bytes::GC_Bytes(const SecureVector<char>& bytes, unsigned long count) {
    append(bytes, count);
}
GC_Bytes::GC_Bytes(const SecureVector<unsigned char>& bytes, unsigned long count) {
    append(bytes, count);
}

GC_Bytes::GC_Bytes(const char* format, ...) {
    GC_LoggerC::call1("GC_Bytes", kLogFile, __LINE__, kLogMask);
    va_list args;
    va_start(args, format);
    SecureVector<unsigned char> text = formatText(format, args);
    va_end(args);
    content_.append(text);
    GC_LoggerC::end1("GC_Bytes", kLogFile, __LINE__, kLogMask);
}

GC_Bytes::GC_Bytes(const GC_Bytes& other) : content_(other.content_), text_(other.text_) {}
GC_Bytes::GC_Bytes(GC_Bytes&& other) : content_(other.content_), text_(other.text_) {}

GC_Bytes& GC_Bytes::operator=(const GC_Bytes& other) {
    if (this == &other) return *this;
    content_.clear();
    content_ = other.content_;
    text_.clear();
    text_ = other.text_;
    return *this;
}

GC_Bytes& GC_Bytes::operator=(GC_Bytes&& other) {
    return *this = static_cast<const GC_Bytes&>(other);
}

GC_Bytes::~GC_Bytes() {
    text_.clear();
    content_.clear();
}

void GC_Bytes::appendSecure(const SecureVector<unsigned char>& bytes) {
    GC_LoggerC::call1("append", kLogFile, __LINE__, kLogMask);
    content_.append(bytes);
    GC_LoggerC::end1("append", kLogFile, __LINE__, kLogMask);
}

void GC_Bytes::append(const std::vector<char>& bytes, unsigned long count) {
    SecureVector<unsigned char> temp(reinterpret_cast<const unsigned char*>(bytes.data()),
                                     countedLength(bytes.size(), count));
    appendSecure(temp);
}

void GC_Bytes::append(const std::vector<unsigned char>& bytes, unsigned long /*count: every byte is taken*/) {
    SecureVector<unsigned char> temp(bytes.data(), bytes.size());
    appendSecure(temp);
}

void GC_Bytes::append(const SecureVector<char>& bytes, unsigned long count) {
    // Exactly count bytes; never more than the argument holds.
    size_t taken = std::min<size_t>(count, bytes.size());
    SecureVector<unsigned char> temp(reinterpret_cast<const unsigned char*>(bytes.data()), taken);
    appendSecure(temp);
}

void GC_Bytes::append(const SecureVector<unsigned char>& bytes, unsigned long count) {
    SecureVector<unsigned char> temp(bytes.data(), countedLength(bytes.size(), count));
    appendSecure(temp);
}

void GC_Bytes::append(const char* bytes, unsigned long count) {
    if (bytes == nullptr) count = 0;
    SecureVector<unsigned char> temp(reinterpret_cast<const unsigned char*>(bytes), count);
    appendSecure(temp);
}

void GC_Bytes::append(const unsigned char& byte) {
    content_.push_back(byte);
}

void GC_Bytes::append(GC_Bytes other) {
    appendSecure(other.content_);
}

void GC_Bytes::push_back(unsigned char byte) {
    GC_LoggerC::call1("push_back", kLogFile, __LINE__, kLogMask);
    content_.push_back(byte);
    GC_LoggerC::end1("push_back", kLogFile, __LINE__, kLogMask);
}

void GC_Bytes::appendf(const char* format, ...) {
    GC_LoggerC::call1("appendf", kLogFile, __LINE__, kLogMask);
    va_list args;
    va_start(args, format);
    SecureVector<unsigned char> text = formatText(format, args);
    va_end(args);
    content_.append(text);
    GC_LoggerC::end1("appendf", kLogFile, __LINE__, kLogMask);
}

std::vector<unsigned char> GC_Bytes::dataVector() const {
    return {content_.begin(), content_.end()};
}

const char* GC_Bytes::c_str() {
    GC_LoggerC::call1("c_str", kLogFile, __LINE__, kLogMask);
    text_.clear();
    text_.append(content_);
    text_.push_back(0);
    GC_LoggerC::end1("c_str", kLogFile, __LINE__, kLogMask);
    return reinterpret_cast<const char*>(text_.data());
}

int GC_Bytes::length() const {
    GC_LoggerC::call1("length", kLogFile, __LINE__, kLogMask);
    int n = static_cast<int>(content_.size());
    GC_LoggerC::ret1("length", kLogFile, __LINE__, kLogMask, n);
    return n;
}

int GC_Bytes::size() const {
    GC_LoggerC::call1("size", kLogFile, __LINE__, kLogMask);
    int n = static_cast<int>(content_.size());
    GC_LoggerC::ret1("size", kLogFile, __LINE__, kLogMask, n);
    return n;
}

int GC_Bytes::find(const char* needle) const {
    GC_LoggerC::call1("find", kLogFile, __LINE__, kLogMask);
    if (needle == nullptr || *needle == '\0') return -1;
    const size_t needleLength = strlen(needle);
    const size_t size = content_.size();
    const unsigned char* bytes = content_.data();
    size_t position = 0;
    for (;;) {
        // Next byte equal to the needle's first one, or the end of the content.
        size_t p = position;
        while (p < size && bytes[p] != static_cast<unsigned char>(needle[0])) ++p;
        size_t remaining = size - p;
        if (remaining >= needleLength && memcmp(bytes + p, needle, needleLength) == 0) {
            GC_LoggerC::ret1("find", kLogFile, __LINE__, kLogMask, static_cast<int>(p));
            return static_cast<int>(p);
        }
        if (remaining <= needleLength) break;
        position = p + 1;
    }
    GC_LoggerC::ret1("find", kLogFile, __LINE__, kLogMask, -1);
    return -1;
}

int GC_Bytes::find_last_of(unsigned char byte) const {
    for (size_t i = content_.size(); i > 0; --i)
        if (content_[i - 1] == byte) return static_cast<int>(i - 1);
    return -1;
}

GC_Bytes GC_Bytes::substr(long long pos, long long len) const {
    GC_LoggerC::call1("substr", kLogFile, __LINE__, kLogMask);
    GC_Bytes result;
    const long long size = static_cast<long long>(content_.size());
    if (size == 0 || pos < 0 || pos > size) return result;
    const long long end = (len < 0 || len > size - pos) ? size : pos + len;
    if (end > pos) result.content_.appendRaw(content_.data() + pos, static_cast<size_t>(end - pos));
    GC_LoggerC::end1("substr", kLogFile, __LINE__, kLogMask);
    return result;
}

GC_Bytes GC_Bytes::subTo(unsigned long from, unsigned long to) const {
    return substr(static_cast<long long>(from), static_cast<long long>(to) - static_cast<long long>(from));
}

GC_Bytes GC_Bytes::rstrip() const {
    size_t end = content_.size();
    while (end > 0) {
        unsigned char c = content_[end - 1];
        if (c != ' ' && c != '\r' && c != '\n') break;
        --end;
    }
    GC_Bytes result;
    result.content_.appendRaw(content_.data(), end);
    return result;
}

GC_Bytes GC_Bytes::toHex(bool spaces, bool upper) const {
    GC_LoggerC::call1("toHex", kLogFile, __LINE__, kLogMask);
    static const char kUpper[] = "0123456789ABCDEF";
    static const char kLower[] = "0123456789abcdef";
    const char* digits = upper ? kUpper : kLower;
    GC_Bytes result;
    for (unsigned char byte : content_) {
        result.content_.push_back(static_cast<unsigned char>(digits[byte >> 4]));
        result.content_.push_back(static_cast<unsigned char>(digits[byte & 0x0F]));
        if (spaces) result.content_.push_back(' ');
    }
    GC_LoggerC::end1("toHex", kLogFile, __LINE__, kLogMask);
    return result;
}

GC_Bytes GC_Bytes::toPlainText() const {
    GC_LoggerC::call1("toPlainText", kLogFile, __LINE__, kLogMask);
    GC_Bytes result;
    for (unsigned char byte : content_) result.content_.push_back(byte >= 0x20 && byte <= 0x7E ? byte : '.');
    GC_LoggerC::end1("toPlainText", kLogFile, __LINE__, kLogMask);
    return result;
}

bool GC_Bytes::operator==(const GC_Bytes& other) const {
    return content_.size() == other.content_.size() &&
           (content_.size() == 0 || memcmp(content_.data(), other.content_.data(), content_.size()) == 0);
}

void GC_Bytes::fill0() {
    GC_LoggerC::call1("fill0", kLogFile, __LINE__, kLogMask);
    content_.wipe();
    GC_LoggerC::end1("fill0", kLogFile, __LINE__, kLogMask);
}

void GC_Bytes::pop_back() {
    GC_LoggerC::call1("pop_back", kLogFile, __LINE__, kLogMask);
    content_.pop_back();
    GC_LoggerC::end1("pop_back", kLogFile, __LINE__, kLogMask);
}
