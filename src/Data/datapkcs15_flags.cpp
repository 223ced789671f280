#include <array>

#include "Data/datapkcs15.h"
#include "logger.h"

// Readers of the PKCS#15 flag BIT STRINGs, and the PIN reference look-up by authId.

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

uint8_t GC_DataPKCS15::id2ref(uint8_t authId, const app_info* app) {
    if (app == nullptr) return 0;
    for (const auto& pin : app->pinInfos) {
        if (pin->authId == authId) return pin->pinReference;
    }
    return 0;
}
