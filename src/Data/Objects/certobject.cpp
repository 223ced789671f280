#include "Data/Objects/certobject.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>

#include <algorithm>
#include <climits>
#include <new>

#include "Data/wipe.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Data/Objects/certobject";
constexpr unsigned long kLogMask = gc_log::kObjects;
constexpr unsigned long kErrMask = gc_log::kError;

// The characters of text from `from` on, at most n of them; empty past the end.
std::string piece(const std::string& text, size_t from, size_t n) {
    return from < text.size() ? text.substr(from, n) : std::string();
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

GC_CertObject::GC_CertObject() : GC_Object(TYPE_CERTIFICATE) {}

GC_CertObject::GC_CertObject(GC_CertObject* source) : GC_Object(static_cast<GC_Object*>(source)) {
    type = TYPE_CERTIFICATE;
    if (source == nullptr) return;
    std::vector<unsigned char> der;
    if (source->getCert(der) != 0 || setCert(std::move(der)) != 0) {
        setCert(std::vector<unsigned char>());
        return;
    }
    derLength = source->derLength;
    ID = source->ID;
}

GC_CertObject::~GC_CertObject() = default;

int GC_CertObject::getCert(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!cert) return GC_FAIL(kErrMask, -1108, "Cert is null");
    const int len = i2d_X509(cert.get(), nullptr);
    if (len < 1) return GC_FAIL(kErrMask, -2, "Len cert is 0");
    std::vector<unsigned char> buffer;
    try {
        buffer.assign(static_cast<size_t>(len), 0);
    } catch (const std::bad_alloc&) {
        return GC_FAIL(kErrMask, -3, "Dest is null");
    }
    unsigned char* p = buffer.data();
    if (i2d_X509(cert.get(), &p) != len) {
        gc_wipe(buffer);
        return GC_FAIL(kErrMask, -2, "Len cert is 0");
    }
    out = buffer;
    gc_wipe(buffer);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CertObject::setCert(std::vector<unsigned char> der) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    cert.reset();
    derLength = der.size();
    // Parse into a fresh object: d2i with a preallocated one frees it on failure.
    X509* parsed = nullptr;
    if (!der.empty() && der.size() <= static_cast<size_t>(LONG_MAX)) {
        const unsigned char* p = der.data();
        parsed = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    }
    gc_wipe(der);
    if (parsed == nullptr) return GC_FAIL(kErrMask, 1, "OpenSSL bio error");
    cert.reset(parsed);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

int GC_CertObject::getStartDate(std::string& day, std::string& month, std::string& year) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const int result = getDate(true, day, month, year);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}

int GC_CertObject::getEndDate(std::string& day, std::string& month, std::string& year) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const int result = getDate(false, day, month, year);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}

int GC_CertObject::getDate(bool start, std::string& day, std::string& month, std::string& year) {
    if (!cert) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cert is null");
        return -1108;
    }
    ASN1_TIME* time = start ? X509_getm_notBefore(cert.get()) : X509_getm_notAfter(cert.get());
    if (time == nullptr) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "OpenSSL error");
        return -1;
    }
    std::string text;
    convertASN1TimetoString(time, text);
    // OpenSSL parses a time without checking its characters: a damaged one has no usable date.
    if (text.size() < 8 || !std::all_of(text.begin(), text.begin() + 8, isDigit)) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "OpenSSL error");
        return -1;
    }
    day = text.substr(0, 2);
    month = text.substr(2, 2);
    year = text.substr(4, 4);
    return 0;
}

void GC_CertObject::convertASN1TimetoString(ASN1_TIME* time, std::string& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (time == nullptr) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kErrMask, "Time is null");
        return;
    }
    const unsigned char* data = ASN1_STRING_get0_data(time);
    const int length = ASN1_STRING_length(time);
    if (data == nullptr) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kErrMask, "Time data is null");
        return;
    }
    const std::string text(reinterpret_cast<const char*>(data), length > 0 ? static_cast<size_t>(length) : 0);

    std::string year;
    size_t rest = 0;
    switch (ASN1_STRING_type(time)) {
        case V_ASN1_GENERALIZEDTIME:
            year = piece(text, 0, 4);
            rest = 4;
            break;
        case V_ASN1_UTCTIME: {
            // Two-digit years name 1950 to 2049 (RFC 5280, 4.1.2.5.1).
            const std::string yy = piece(text, 0, 2);
            const bool before2000 = yy.size() == 2 && isDigit(yy[0]) && isDigit(yy[1]) && yy[0] >= '5';
            year = (before2000 ? "19" : "20") + yy;
            rest = 2;
            break;
        }
        default:
            break;
    }
    const std::string month = piece(text, rest, 2);
    const std::string day = piece(text, rest + 2, 2);
    const std::string timeOfDay = piece(text, rest + 4, 6);
    out = day + month + year + timeOfDay;
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

int GC_CertObject::getSubject(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const int result = getName(true, out);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}

int GC_CertObject::getIssuer(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    const int result = getName(false, out);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, result);
    return result;
}

int GC_CertObject::getName(bool subject, std::vector<unsigned char>& out) {
    out.clear();
    if (!cert) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "Cert is null");
        return -1108;
    }
    const X509_NAME* name = subject ? X509_get_subject_name(cert.get()) : X509_get_issuer_name(cert.get());
    const int len = name != nullptr ? i2d_X509_NAME(name, nullptr) : 0;
    if (len < 1) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "OpenSSL error");
        return -1;
    }
    std::vector<unsigned char> der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    if (i2d_X509_NAME(name, &p) != len) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kErrMask, "OpenSSL error");
        return -1;
    }
    out = std::move(der);
    return 0;
}

int GC_CertObject::getSerialNumber(std::vector<unsigned char>& out) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    out.clear();
    if (!cert) return GC_FAIL(kErrMask, -1108, "Cert is null");
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.get());
    gc_ossl::BnPtr bn(serial != nullptr ? ASN1_INTEGER_to_BN(serial, nullptr) : nullptr);
    const int bits = bn ? BN_num_bits(bn.get()) : 0;
    if (bits <= 0) return GC_FAIL(kErrMask, -1, "OpenSSL error");
    std::vector<unsigned char> bytes(static_cast<size_t>(bits + 7) / 8);
    if (BN_bn2bin(bn.get(), bytes.data()) != static_cast<int>(bytes.size()))
        return GC_FAIL(kErrMask, -1, "OpenSSL error");
    out = std::move(bytes);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}
