#include "platform/sec_certificate.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>

#include "openssl_ptr.h"

namespace sec {

namespace {

// The first entry of the name with the given NID as UTF-8; empty when there is none.
std::string nameEntry(X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return {};
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string summaryOf(X509* x509) {
    X509_NAME* subject = X509_get_subject_name(x509);
    if (subject == nullptr) return {};
    for (int nid : {NID_commonName, NID_pkcs9_emailAddress, NID_organizationName, NID_organizationalUnitName}) {
        std::string text = nameEntry(subject, nid);
        if (!text.empty()) return text;
    }
    return {};
}

}  // namespace

std::shared_ptr<const Certificate> Certificate::createWithData(const std::vector<unsigned char>& der) {
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
    // A fresh object each time: d2i_X509 frees an object handed in when parsing fails.
    const unsigned char* cursor = der.data();
    gc_ossl::X509Ptr x509(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!x509 || cursor != der.data() + der.size()) return nullptr;

    std::shared_ptr<Certificate> certificate(new Certificate());
    certificate->der_ = der;
    certificate->summary_ = summaryOf(x509.get());
    if (EVP_PKEY* key = X509_get0_pubkey(x509.get())) {
        const int id = EVP_PKEY_get_base_id(key);
        certificate->keyType_ = id == EVP_PKEY_RSA ? KeyType::RSA : id == EVP_PKEY_EC ? KeyType::EC : KeyType::Other;
        if (certificate->keyType_ != KeyType::Other) certificate->keyBits_ = EVP_PKEY_get_bits(key);
    }
    return certificate;
}

}  // namespace sec
