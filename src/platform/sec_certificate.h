#pragma once

#include <memory>
#include <string>
#include <vector>

// The security framework's certificate object: an X.509 certificate made from its DER encoding,
// immutable once made.
namespace sec {

// Type of the certified public key.
enum class KeyType { Other, RSA, EC };

class Certificate {
public:
    // Null unless the bytes are exactly one DER-encoded certificate (trailing bytes refused).
    static std::shared_ptr<const Certificate> createWithData(const std::vector<unsigned char>& der);

    // The DER encoding, as given.
    const std::vector<unsigned char>& data() const { return der_; }
    // A short readable name of the subject: its common name, else its e-mail address,
    // organisation or organisational unit; empty when it has none of them.
    const std::string& subjectSummary() const { return summary_; }
    KeyType keyType() const { return keyType_; }
    // Size of the public key (RSA modulus, EC group order) in bits; 0 for other key types.
    int keySizeInBits() const { return keyBits_; }

private:
    Certificate() = default;

    std::vector<unsigned char> der_;
    std::string summary_;
    KeyType keyType_ = KeyType::Other;
    int keyBits_ = 0;
};

}  // namespace sec
