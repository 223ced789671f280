#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "CardController/Card/card.h"

// Command set of the card operating system ChipDoc 3.0 (second card generation, Varnel 2.0).
//
// Differences from the generic card: the master file is selected by its identifier, paths and
// DF names by P1 08, 04 or 01; CHANGE REFERENCE DATA sends the new PIN only; logout is a PUT DATA
// of a 16-bit PIN mask; MANAGE SECURITY ENVIRONMENT SET carries one data object 91 (algorithm,
// key reference); and the card's own commands for PIN activation, key deletion, key-pair object
// creation (class 80, INS E0), key-pair generation, the serial number and curve parameters.
class GC_CardChipdoc_3_0 : public GC_Card {
public:
    // Record for manageSecurityEnvironment SET (passed as const void*).
    struct mse_data {
        unsigned char keyRef;  // key reference of the private key
        uint32_t algorithm;    // algorithm reference (see manageSecurityEnvironment)
        bool flag;             // sets bit 8 of the key reference byte
    };

    // The card's own status words, looked up before the ISO table.
    static const std::array<sw_error, 15> chipdoc_3_0_errors;

    GC_CardChipdoc_3_0() = default;
    ~GC_CardChipdoc_3_0() override = default;

    // 1024 bytes of command data, 1792 bytes of response data.
    unsigned long getMaxApduSize(bool send) override;
    int select(std::vector<unsigned char> path, std::vector<unsigned char>& apdu, bool fci, bool df, bool aid) override;
    // PUT DATA of the mask with bit (reference - 1) set, for references 1 to 16.
    int logoutPassword(unsigned char reference, std::vector<unsigned char>& apdu) override;
    // oldPin is not sent.
    int changePassword(unsigned char reference, std::vector<unsigned char> oldPin, std::vector<unsigned char> newPin,
                       std::vector<unsigned char>& apdu) override;
    int activePassword(std::vector<unsigned char>& apdu, std::vector<unsigned char> data) override;
    // Deletes the key-pair object id; only the private half (privateKey true) can be named.
    int deleteObject(unsigned char id, int objectType, bool privateKey, std::vector<unsigned char>& apdu) override;
    int createKeyPair(unsigned char reference, unsigned char pinReference, unsigned long keyBits, key_type type,
                      std::vector<unsigned char>& apdu) override;
    int generateKeyPair(unsigned char reference, key_type type, unsigned long keyBits,
                        std::vector<unsigned char>& apdu) override;
    // Algorithm references: RSA PKCS#1 v1.5 with SHA-1 0A, SHA-224 27, SHA-256 28, SHA-384 29,
    // SHA-512 2A; ECDSA with SHA-1 11, SHA-224 25, SHA-256 21, SHA-384 22, SHA-512 26.
    int manageSecurityEnvironment(operation_SE op, template_SE tpl, std::vector<unsigned char>& apdu,
                                  unsigned long long usage, const void* data) override;
    int getSerialNumber(std::vector<unsigned char>& apdu) override;
    int checkSW(operation op, std::vector<unsigned char> response) override;

    // Loads the domain parameters of an EC key type (1 to 9) into key object reference:
    // 0 built, -8 for RSA, -12 for an unknown key type.
    int loadECKeyParam(unsigned char reference, key_type type, std::vector<unsigned char>& apdu);
};
