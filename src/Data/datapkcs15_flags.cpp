#include <array>

#include "Data/datapkcs15.h"
#include "logger.h"

// Readers and writers of the PKCS#15 flag BIT STRINGs, and the PIN reference look-up by authId.

namespace {

constexpr const char* kLogFile = "Data/datapkcs15";
constexpr unsigned long kLogMask = gc_log::kData;

// Library mask value for each bit-string bit, bit 0 first; bits past the table are ignored.
constexpr std::array<uint64_t, 2> kCommonBits = {1, 2};
// Unwrap (bit 5) counts with the signing bits: stored directories are read that way.
constexpr std::array<uint64_t, 10> kUsageBits = {1, 1, 2, 2, 8, 2, 2, 2, 4, 16};
constexpr std::array<uint64_t, 5> kAccessBits = {1, 2, 4, 8, 16};

template <size_t N>
uint64_t readBits(const char* func, const std::vector<unsigned char>& bits, const std::array<uint64_t, N>& table) {
    GC_LoggerC::call1(func, kLogFile, __LINE__, kLogMask);
    if (bits.empty()) {
        GC_LoggerC::ret2(func, kLogFile, __LINE__, gc_log::kError, 0, "Data size is 0");
        return 0;
    }
    // The first octet counts the unused bits of the last one; any value is taken as it is (a
    // value above 7 just shortens the string).
    const long long count = static_cast<long long>(bits.size() - 1) * 8 - bits[0];
    if (count <= 0) {
        GC_LoggerC::ret2(func, kLogFile, __LINE__, gc_log::kError, 0, "Count usage bit size is 0");
        return 0;
    }
    uint64_t mask = 0;
    const size_t last = count < static_cast<long long>(N) ? static_cast<size_t>(count) : N;
    for (size_t k = 0; k < last; ++k) {
        if ((bits[1 + k / 8] & (0x80 >> (k % 8))) != 0) mask |= table[k];
    }
    GC_LoggerC::ret1(func, kLogFile, __LINE__, kLogMask, static_cast<int>(mask));
    return mask;
}

// One bit-string bit that a mask value sets when written.
struct WrittenBit {
    uint64_t mask;
    unsigned bit;
};

// Content octets of a written BIT STRING: the leading octet, then bit-string bits 0 to 15 with
// bit k at 0x80 >> (k % 8) of octet 1 + k / 8.
std::vector<unsigned char> writeBits(const char* func, unsigned char leading, unsigned long long mask,
                                     const WrittenBit* bits, size_t count) {
    GC_LoggerC::call1(func, kLogFile, __LINE__, kLogMask);
    std::vector<unsigned char> out = {leading, 0x00, 0x00};
    for (size_t i = 0; i < count; ++i) {
        if ((mask & bits[i].mask) != 0)
            out[1 + bits[i].bit / 8] |= static_cast<unsigned char>(0x80 >> (bits[i].bit % 8));
    }
    GC_LoggerC::end1(func, kLogFile, __LINE__, kLogMask);
    return out;
}

constexpr WrittenBit kCommonWritten[] = {{1, 0}, {2, 1}};
// Form true: decrypt, sign + signRecover, derive, wrap. Non-repudiation has a bit of its own in
// both forms; written as a signing bit it would read back as plain signing and be lost.
constexpr WrittenBit kUsageWrittenTrue[] = {{1, 1}, {2, 2}, {2, 3}, {4, 8}, {8, 4}, {16, 9}};
// Form false: encrypt, verify + verifyRecover, derive, unwrap.
constexpr WrittenBit kUsageWrittenFalse[] = {{1, 0}, {2, 6}, {2, 7}, {4, 8}, {8, 5}, {16, 9}};
// All five, at the bits where the reader takes them.
constexpr WrittenBit kAccessWritten[] = {{1, 0}, {2, 1}, {4, 2}, {8, 3}, {16, 4}};

}  // namespace

uint64_t GC_DataPKCS15::parseFlags(const std::vector<unsigned char>& bits) {
    return readBits(__func__, bits, kCommonBits);
}

uint64_t GC_DataPKCS15::parseKeyUsageFlags(const std::vector<unsigned char>& bits) {
    return readBits(__func__, bits, kUsageBits);
}

uint64_t GC_DataPKCS15::parseKeyAccessFlags(const std::vector<unsigned char>& bits) {
    return readBits(__func__, bits, kAccessBits);
}

std::vector<unsigned char> GC_DataPKCS15::parseFlags(unsigned long long mask) {
    return writeBits(__func__, 0x06, mask, kCommonWritten, std::size(kCommonWritten));
}

std::vector<unsigned char> GC_DataPKCS15::parseKeyUsageFlags(unsigned long long mask, bool form) {
    if (form) return writeBits(__func__, 0x06, mask, kUsageWrittenTrue, std::size(kUsageWrittenTrue));
    return writeBits(__func__, 0x06, mask, kUsageWrittenFalse, std::size(kUsageWrittenFalse));
}

std::vector<unsigned char> GC_DataPKCS15::parseKeyAccessFlags(unsigned long long mask) {
    return writeBits(__func__, 0x05, mask, kAccessWritten, std::size(kAccessWritten));
}

uint8_t GC_DataPKCS15::id2ref(uint8_t authId, const app_info* app) {
    if (app == nullptr) return 0;
    for (const auto& pin : app->pinInfos) {
        if (pin->authId == authId) return pin->pinReference;
    }
    return 0;
}
