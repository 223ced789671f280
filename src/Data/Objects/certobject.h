#pragma once

#include "openssl_ptr.h"

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Data/Objects/object.h"

// A certificate of a card application (object type 4), held parsed by OpenSSL.
// Results are signed integers, 0 = success.
class GC_CertObject : public GC_Object {
public:
    GC_CertObject();
    // Copy through the DER encoding; a source whose certificate cannot be encoded gives a copy
    // with no certificate, DER length 0 and an empty ID.
    explicit GC_CertObject(GC_CertObject* source);
    ~GC_CertObject() override;

    // The certificate as DER. -1108 no certificate, -2 not encodable, -3 no buffer; out is
    // unchanged on failure.
    int getCert(std::vector<unsigned char>& out);
    // Replaces the certificate by the one parsed from der (trailing bytes are ignored) and
    // records der's size. 0; 1 when der holds no certificate, after which none is held. The
    // argument is wiped.
    int setCert(std::vector<unsigned char> der);

    // Validity start (notBefore) and end (notAfter): day and month as two digits, year as four.
    // -1108 no certificate, -1 no or unusable time; the outputs are unchanged on failure.
    int getStartDate(std::string& day, std::string& month, std::string& year);
    int getEndDate(std::string& day, std::string& month, std::string& year);
    // DDMMYYYYhhmmss from a UTCTime or GeneralizedTime (UTCTime years 50-99 are 19YY, 00-49
    // 20YY); fewer characters when the time text is short; empty for a null time or text.
    static void convertASN1TimetoString(ASN1_TIME* time, std::string& out);

    // DER of the subject or issuer name. -1108 no certificate, -1 failure; out is emptied on
    // failure.
    int getSubject(std::vector<unsigned char>& out);
    int getIssuer(std::vector<unsigned char>& out);
    // Serial number as unsigned big-endian bytes of minimal length. -1108 no certificate,
    // -1 failure or serial number 0; out is emptied on failure.
    int getSerialNumber(std::vector<unsigned char>& out);

    // Identifier shared with the private and public key of the same pair.
    std::vector<unsigned char> ID;
    // Size of the DER last given to setCert.
    uint64_t derLength = 0;
    // The parsed certificate; null while none is held.
    gc_ossl::X509Ptr cert;

private:
    int getDate(bool start, std::string& day, std::string& month, std::string& year);
    int getName(bool subject, std::vector<unsigned char>& out);
};
