#pragma once

#include <array>
#include <vector>

#include "CardController/Card/card.h"

// Command set of the card operating system ChipDoc 2.0 (first card generation, Varnel 1.0).
//
// Differences from the generic card: SELECT asks for the FCP template, READ and UPDATE BINARY are
// limited to 1792 bytes, CHANGE REFERENCE DATA always has P1 00, RESET RETRY COUNTER keeps the
// reference as given, and the card's proprietary key-object commands (create with INS E1,
// delete with class 80 INS E5, generate, read the public key) and data objects of MANAGE
// SECURITY ENVIRONMENT.
//
// A key object is named by a kind byte and the low four bits of the key reference:
//   private key: RSA 90, elliptic curve 92; public key: RSA A0, elliptic curve A2.
class GC_CardChipdoc_2_0 : public GC_Card {
public:
    // Record for manageSecurityEnvironment SET (passed as const void*).
    struct mse_data {
        unsigned char keyRef;     // key reference of the private key (low four bits are sent)
        unsigned char algorithm;  // algorithm reference: CC ECDSA, 8A RSA PKCS#1 v1.5, 8C RSA raw
    };

    // The card's own status words, looked up before the ISO table.
    static const std::array<sw_error, 15> chipdoc_2_0_errors;

    GC_CardChipdoc_2_0() = default;
    ~GC_CardChipdoc_2_0() override = default;

    // 512 bytes of command data, 1792 bytes of response data.
    unsigned long getMaxApduSize(bool send) override;
    int select(std::vector<unsigned char> path, std::vector<unsigned char>& apdu, bool fci, bool df, bool aid) override;
    int read(std::vector<unsigned char>& apdu, unsigned long count, unsigned long offset) override;
    int update(std::vector<unsigned char>& apdu, std::vector<unsigned char> data, unsigned long offset) override;
    int changePassword(unsigned char reference, std::vector<unsigned char> oldPin, std::vector<unsigned char> newPin,
                       std::vector<unsigned char>& apdu) override;
    // The last argument is not sent (it is wiped like the PIN).
    int unblockPassword(unsigned char reference, std::vector<unsigned char> pin, std::vector<unsigned char>& apdu,
                        bool withPin, std::vector<unsigned char> newPin) override;
    // ACTIVATE FILE of the selected file; data is not used.
    int activePassword(std::vector<unsigned char>& apdu, std::vector<unsigned char> data) override;
    // objectType is the card objects' key type (2 RSA, anything else elliptic curve).
    int deleteObject(unsigned char id, int objectType, bool privateKey, std::vector<unsigned char>& apdu) override;
    int createPrivateKey(unsigned char reference, unsigned long keyBits, key_type type,
                         std::vector<unsigned char>& apdu) override;
    int createPublicKey(unsigned char reference, unsigned long keyBits, key_type type,
                        std::vector<unsigned char>& apdu) override;
    // keyBits is not sent: the size travels in the key objects created beforehand.
    int generateKeyPair(unsigned char reference, key_type type, unsigned long keyBits,
                        std::vector<unsigned char>& apdu) override;
    int getPublicKey(unsigned char reference, key_type type, std::vector<unsigned char>& apdu) override;
    // data: a mse_data, or null for the header alone.
    int manageSecurityEnvironment(operation_SE op, template_SE tpl, std::vector<unsigned char>& apdu,
                                  unsigned long long usage, const void* data) override;
    int getSerialNumber(std::vector<unsigned char>& apdu) override;
    int checkSW(operation op, std::vector<unsigned char> response) override;

private:
    int createKeyObject(const char* func, bool privateKey, unsigned char reference, unsigned long keyBits,
                        key_type type, std::vector<unsigned char>& apdu);
};
