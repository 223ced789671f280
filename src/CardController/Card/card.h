#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ec_params.h"

// The command set of a card operating system: a stateless builder that turns one card-level
// request into the bytes of one ISO 7816-4 command APDU, and that interprets the status word of
// the card's answer. It never sends anything.
//
// GC_Card itself is the generic ISO 7816-4 card; GC_CardChipdoc_2_0 and GC_CardChipdoc_3_0 override
// what their card operating systems do differently.
//
// Every builder clears the output vector, appends the command and returns 0, or a negative
// card-layer code (see below); on a non-zero result the output is not a command to send.
// Input byte strings are taken by value; PIN copies are wiped before a builder returns.
//
// Card-layer codes: 0 success; -1 status word in no table; -2 warning or general error;
// -3 returned data may be corrupted; -4 end of file reached early; -5 memory or execution error;
// -6 function, channel or secure messaging not supported; -7 wrong length; -8 command not allowed
// or invalid builder argument; -9 security status not satisfied; -10 authentication method
// blocked; -11 referenced data not usable; -12 wrong parameters or index out of range;
// -13 secure messaging data object incorrect; -14 file not found; -15 record not found;
// -16 not enough memory in the file; -17 referenced data not found; -18 file or DF name exists;
// -19 instruction not supported; -20 class not supported; -21 wrong Le; -22 wrong path size;
// -23 count or data too long; -24 not supported by this command set; -25 file terminated;
// -26 not enough RAM; -27 not enough EEPROM; -28 crypto processor error; -29 applet selection
// failed; -30 file deactivated; -31 data signature verification failed; -32 file holds no valid
// data; -33 given or card data invalid; -34 conditions of use not satisfied.
class GC_Card {
public:
    // The command a status word answers (what checkSW is told).
    enum operation : uint32_t {
        OP_SELECT = 1,
        OP_READ = 2,  // READ BINARY and GET RESPONSE
        OP_UPDATE = 3,
        OP_VERIFY = 4,
        OP_LOGOUT = 5,
        OP_CHANGE = 6,
        OP_UNBLOCK = 7,
        OP_ACTIVATE = 8,
        OP_DELETE = 10,     // object and key deletion, container initialisation
        OP_MSE = 11,        // MANAGE SECURITY ENVIRONMENT
        OP_SIGNATURE = 12,  // PERFORM SECURITY OPERATION: COMPUTE DIGITAL SIGNATURE
        OP_KEY = 13,        // key creation, key-pair generation, public-key read
    };

    // MANAGE SECURITY ENVIRONMENT operation: SET builds P1 from the usage; any other value is
    // written as P1 (its low byte).
    enum operation_SE : uint32_t {
        SE_SET = 1,
    };

    // Control-reference template tag, written as P2.
    enum template_SE : uint32_t {
        TEMPLATE_DST = 0xB6,  // digital signature template
    };

    // Key algorithm of the key commands (not the card objects' key type).
    enum key_type : uint32_t {
        KEY_RSA = 0,
        KEY_SECP224R1 = 1,
        KEY_PRIME256V1 = 2,
        KEY_SECP384R1 = 3,
        KEY_SECP521R1 = 4,
        KEY_BRAINPOOLP224R1 = 5,
        KEY_BRAINPOOLP256R1 = 6,
        KEY_BRAINPOOLP320R1 = 7,
        KEY_BRAINPOOLP384R1 = 8,
        KEY_BRAINPOOLP512R1 = 9,
    };

    // One row of a status-word table.
    struct sw_error {
        std::vector<unsigned char> sw;  // SW1 SW2
        int code;
        std::string message;
    };

    // ISO 7816-4 status words, searched in this order.
    static const std::array<sw_error, 40> iso7816_errors;

    GC_Card() = default;
    virtual ~GC_Card();

    // Largest data field the card takes (send true) or returns (send false).
    virtual unsigned long getMaxApduSize(bool send);

    // SELECT. path: a 2-byte file identifier, or with aid a DF name (1 to 255 bytes).
    // fci asks for the file control information; df selects a dedicated file.
    virtual int select(std::vector<unsigned char> path, std::vector<unsigned char>& apdu, bool fci, bool df, bool aid);
    // READ BINARY of count bytes (0: Le 00) at a 15-bit offset.
    virtual int read(std::vector<unsigned char>& apdu, unsigned long count, unsigned long offset);
    // UPDATE BINARY of data at a 15-bit offset.
    virtual int update(std::vector<unsigned char>& apdu, std::vector<unsigned char> data, unsigned long offset);
    // VERIFY; an empty PIN asks for the PIN's state only.
    virtual int verifyPassword(unsigned char reference, std::vector<unsigned char> pin,
                               std::vector<unsigned char>& apdu);
    // Resets the verification status of the PIN.
    virtual int logoutPassword(unsigned char reference, std::vector<unsigned char>& apdu);
    // CHANGE REFERENCE DATA.
    virtual int changePassword(unsigned char reference, std::vector<unsigned char> oldPin,
                               std::vector<unsigned char> newPin, std::vector<unsigned char>& apdu);
    // RESET RETRY COUNTER; withPin sends pin as the new reference data. With a non-empty
    // newPin as well, pin is the resetting code and newPin the new reference data (P1 00).
    virtual int unblockPassword(unsigned char reference, std::vector<unsigned char> pin,
                                std::vector<unsigned char>& apdu, bool withPin, std::vector<unsigned char> newPin);
    virtual int activePassword(std::vector<unsigned char>& apdu, std::vector<unsigned char> data);
    virtual int deleteObject(unsigned char id, int objectType, bool privateKey, std::vector<unsigned char>& apdu);
    virtual int createPrivateKey(unsigned char reference, unsigned long keyBits, key_type type,
                                 std::vector<unsigned char>& apdu);
    virtual int createPublicKey(unsigned char reference, unsigned long keyBits, key_type type,
                                std::vector<unsigned char>& apdu);
    virtual int createKeyPair(unsigned char reference, unsigned char pinReference, unsigned long keyBits, key_type type,
                              std::vector<unsigned char>& apdu);
    virtual int generateKeyPair(unsigned char reference, key_type type, unsigned long keyBits,
                                std::vector<unsigned char>& apdu);
    virtual int getPublicKey(unsigned char reference, key_type type, std::vector<unsigned char>& apdu);
    // MANAGE SECURITY ENVIRONMENT; data is the command set's own record (or null).
    virtual int manageSecurityEnvironment(operation_SE op, template_SE tpl, std::vector<unsigned char>& apdu,
                                          unsigned long long usage, const void* data);
    // PERFORM SECURITY OPERATION: COMPUTE DIGITAL SIGNATURE over data (at most 65535 bytes).
    virtual int signatureData(std::vector<unsigned char> data, unsigned long keyBits, std::vector<unsigned char>& apdu);
    // GET RESPONSE for le bytes (at most 65535; 0 gives Le 00).
    virtual int getResponse(unsigned long le, std::vector<unsigned char>& apdu);
    virtual int getSerialNumber(std::vector<unsigned char>& apdu);
    // Card-layer code of the status word that ends response (op names the command).
    virtual int checkSW(operation op, std::vector<unsigned char> response);
    // Size of the selected file from the answer to a SELECT with fci (status word included).
    virtual int parseFilesize(std::vector<unsigned char>& response, unsigned long* size);

protected:
    // The curve of an EC key type (1 to 9); false for RSA and unknown values.
    static bool curveOf(key_type type, GC_EC_Params::ec_nid& nid);
    // The end of every SELECT once P1 and P2 are settled: appends header, Lc, path and (with fci)
    // Le 00 to apdu and returns 0, or -22 for a path that a one-byte Lc cannot carry; the result
    // line goes out under the caller's name and source file.
    static int selectCommand(const char* func, const char* logFile, const std::vector<unsigned char>& path,
                             unsigned char p1, unsigned char p2, bool fci, std::vector<unsigned char>& apdu);
    // Empties apdu and writes the MANAGE SECURITY ENVIRONMENT header 00 22 P1 P2, P1 being
    // (usage << 4) | 1 for SET and the operation itself otherwise; false, with only 00 22
    // written, for SET without usage.
    static bool mseHeader(operation_SE op, template_SE tpl, unsigned long long usage, std::vector<unsigned char>& apdu);
};
