#pragma once

// ICAO Doc 9303 Part 11 worked example "PACE - Generic Mapping" (ECDH, brainpoolP256r1,
// id-PACE-ECDH-GM-AES-CBC-CMAC-128): the published values, the terminal's private keys to inject,
// and a card that answers the run of the example as the document does.

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_card.h"
#include "support/hex.h"

namespace icao {

inline const char* kCardAccess = "31 14 30 12 06 0A 04 00 7F 00 07 02 02 04 02 02 02 01 02 02 01 0D";
inline const char* kEncNonce = "95A3A016522EE98D01E76CB6B98B42C3";
inline const char* kNonce = "3F00C4D39D153F2B2A214A078D899B22";
inline const char* kSkMapPcd = "7F4EF07B9EA82FD78AD689B38D0BC78CF21F249D953BC46F4C6E19259C010F99";
inline const char* kPkMapPcd =
    "04 7ACF3EFC982EC45565A4B155129EFBC74650DCBFA6362D896FC70262E0C2CC5E"
    "544552DCB6725218799115B55C9BAA6D9F6BC3A9618E70C25AF71777A9C4922D";
inline const char* kPkMapIc =
    "04 824FBA91C9CBE26BEF53A0EBE7342A3BF178CEA9F45DE0B70AA601651FBA3F57"
    "30D8C879AAA9C9F73991E61B58F4D52EB87A0A0C709A49DC63719363CCD13C54";
inline const char* kMappedG =
    "04 8CED63C91426D4F0EB1435E7CB1D74A46723A0AF21C89634F65A9AE87A9265E2"
    "8C879506743F8611AC33645C5B985C80B5F09A0B83407C1B6A4D857AE76FE522";
inline const char* kSkDhPcd = "A73FB703AC1436A18E0CFA5ABB3F7BEC7A070E7A6788486BEE230C4A22762595";
inline const char* kPkDhPcd =
    "04 2DB7A64C0355044EC9DF190514C625CBA2CEA48754887122F3A5EF0D5EDD301C"
    "3556F3B3B186DF10B857B58F6A7EB80F20BA5DC7BE1D43D9BF850149FBB36462";
inline const char* kPkDhIc =
    "04 9E880F842905B8B3181F7AF7CAA9F0EFB743847F44A306D2D28C1D9EC65DF6DB"
    "7764B22277A2EDDC3C265A9F018F9CB852E111B768B326904B59A0193776F094";
inline const char* kShared = "28768D20701247DAE81804C9E780EDE582A9996DB4A315020B2733197DB84925";
inline const char* kKenc = "F5F0E35C0D7161EE6724EE513A0D9A7F";
inline const char* kKmac = "FE251C7858B356B24514B3BD5F4297D1";
inline const char* kTpcd = "C2B0BD78D94BA866";
inline const char* kTic = "3ABB9674BCE93C08";
// SHA-1 of the MRZ information "T22000129364081251010318" (openssl sha1 of that text).
inline const char* kMrzHash = "7E2D2A41C74EA0B38CD36F863939BFA8E9032AAD";

// TD3 MRZ: line 2 carries the document number, birth and expiry fields of the example.
inline std::string td3Mrz() {
    std::string line1 = "P<D<<MUSTERMANN<<ERIKA";
    line1.resize(44, '<');
    std::string line2 = "T220001293D<<6408125F1010318";
    line2.resize(44, '<');
    return line1 + line2;
}

// Hands out the private keys of `keys` in order, taking each off the front; `keys` must outlive
// the source.
inline std::function<bool(const EC_GROUP*, BIGNUM*)> scalarsFrom(std::deque<std::string>& keys) {
    return [&keys](const EC_GROUP*, BIGNUM* scalar) {
        if (keys.empty()) return false;
        const auto k = gctest::unhex(keys.front());
        keys.pop_front();
        return BN_bin2bn(k.data(), static_cast<int>(k.size()), scalar) != nullptr;
    };
}

// The example's two terminal private keys (the mapping key, then the ephemeral key), as often as
// `runs` runs need them.
inline std::function<bool(const EC_GROUP*, BIGNUM*)> terminalScalars(int runs = 1) {
    auto keys = std::make_shared<std::deque<std::string>>();
    for (int i = 0; i < runs; ++i) keys->insert(keys->end(), {kSkMapPcd, kSkDhPcd});
    return [keys, source = scalarsFrom(*keys)](const EC_GROUP* group, BIGNUM* scalar) { return source(group, scalar); };
}

inline std::vector<unsigned char> answer(const std::string& head, const std::string& value) {
    return gctest::unhex(head + value);
}

// The run of the example as the card session sends it to a second-generation card (password
// type 1, the MRZ), and the card's answers: the example's for the four General Authenticate
// steps, which it gives only to exactly the example's terminal values.
struct Exchange {
    std::string command;
    std::string answer;
};
inline std::vector<Exchange> paceRun() {
    const std::string cardAccess = gctest::hex(gctest::unhex(kCardAccess));
    return {
        {"00A40000023F00", "9000"},
        {"00A4020002011C00", "6F04800200169000"},
        {"00B0000016", cardAccess + "9000"},
        {"0022C1A412800A04007F0007020204020283010184010D", "9000"},
        {"10860000027C0000", "7C128010" + std::string(kEncNonce) + "9000"},
        {"10860000457C438141" + gctest::hex(gctest::unhex(kPkMapPcd)) + "00",
         "7C438241" + gctest::hex(gctest::unhex(kPkMapIc)) + "9000"},
        {"10860000457C438341" + gctest::hex(gctest::unhex(kPkDhPcd)) + "00",
         "7C438441" + gctest::hex(gctest::unhex(kPkDhIc)) + "9000"},
        {"008600000C7C0A8508" + std::string(kTpcd) + "00", "7C0A8608" + std::string(kTic) + "9000"},
    };
}

// A second-generation card that knows the example's run (and its serial number); anything else
// is answered 6D 00. The table is in bytes, so that answering costs the card next to nothing.
inline std::shared_ptr<gctest::FakeCard> exampleCard() {
    using Bytes = std::vector<unsigned char>;
    auto table = std::make_shared<std::vector<std::pair<Bytes, Bytes>>>();
    for (const Exchange& e : paceRun()) table->emplace_back(gctest::unhex(e.command), gctest::unhex(e.answer));
    table->emplace_back(gctest::unhex("00CB7FFF08"), gctest::unhex("C2000000000000019000"));
    return std::make_shared<gctest::FakeCard>(gctest::kVarnel20Atr, [table](const Bytes& apdu) {
        for (const auto& [command, answer] : *table)
            if (command == apdu) return answer;
        return Bytes{0x6D, 0x00};
    });
}

}  // namespace icao
