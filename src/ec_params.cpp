#include "ec_params.h"

#include <string_view>

namespace {

// Hex digits to bytes. Only used on the literals below, which are well formed.
std::vector<unsigned char> fromHex(std::string_view hex) {
    auto nibble = [](char c) -> unsigned char {
        if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0');
        if (c >= 'A' && c <= 'F') return static_cast<unsigned char>(c - 'A' + 10);
        return static_cast<unsigned char>(c - 'a' + 10);
    };
    std::vector<unsigned char> out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>((nibble(hex[i]) << 4) | nibble(hex[i + 1])));
    }
    return out;
}

GC_EC_Params::ec_param makeParam(std::string_view p, std::string_view a, std::string_view b, std::string_view G,
                                 std::string_view n, int64_t bitLength) {
    GC_EC_Params::ec_param param;
    param.p = fromHex(p);
    param.a = fromHex(a);
    param.b = fromHex(b);
    param.G = fromHex(G);
    param.n = fromHex(n);
    param.h = {0x01};  // every supported curve has cofactor 1
    param.bitLength = bitLength;
    return param;
}

}  // namespace

// Defined before EC_Params: both are filled in this order during static initialisation.
const std::map<GC_EC_Params::ec_nid, std::vector<unsigned char>> GC_EC_Params::ec_OID = {
    // 1.3.132.0.33
    {GC_EC_Params::secp224r1, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x21}},
    // 1.2.840.10045.3.1.7
    {GC_EC_Params::prime256v1, {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}},
    // 1.3.132.0.34
    {GC_EC_Params::secp384r1, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22}},
    // 1.3.132.0.35
    {GC_EC_Params::secp521r1, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23}},
    // 1.3.36.3.3.2.8.1.1.5
    {GC_EC_Params::brainpoolP224r1, {0x06, 0x09, 0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x05}},
    // 1.3.36.3.3.2.8.1.1.7
    {GC_EC_Params::brainpoolP256r1, {0x06, 0x09, 0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07}},
    // 1.3.36.3.3.2.8.1.1.9
    {GC_EC_Params::brainpoolP320r1, {0x06, 0x09, 0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x09}},
    // 1.3.36.3.3.2.8.1.1.11
    {GC_EC_Params::brainpoolP384r1, {0x06, 0x09, 0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B}},
    // 1.3.36.3.3.2.8.1.1.13
    {GC_EC_Params::brainpoolP512r1, {0x06, 0x09, 0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D}},
};

// p, a, b, G (04 || x || y), n; cofactor 1.
const std::map<GC_EC_Params::ec_nid, GC_EC_Params::ec_param> GC_EC_Params::EC_Params = {
    {GC_EC_Params::secp224r1, makeParam(
                                  // p
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000000000000000000001",
                                  // a
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFE",
                                  // b
                                  "B4050A850C04B3ABF54132565044B0B7D7BFD8BA270B39432355FFB4",
                                  // G
                                  "04"
                                  "B70E0CBD6BB4BF7F321390B94A03C1D356C21122343280D6115C1D21"
                                  "BD376388B5F723FB4C22DFE6CD4375A05A07476444D5819985007E34",
                                  // n
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFF16A2E0B8F03E13DD29455C5C2A3D", 224)},
    {GC_EC_Params::prime256v1, makeParam(
                                   // p
                                   "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF",
                                   // a
                                   "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFC",
                                   // b
                                   "5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B",
                                   // G
                                   "04"
                                   "6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
                                   "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5",
                                   // n
                                   "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551", 256)},
    {GC_EC_Params::secp384r1, makeParam(
                                  // p
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFE"
                                  "FFFFFFFF0000000000000000FFFFFFFF",
                                  // a
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFE"
                                  "FFFFFFFF0000000000000000FFFFFFFC",
                                  // b
                                  "B3312FA7E23EE7E4988E056BE3F82D19181D9C6EFE8141120314088F5013875A"
                                  "C656398D8A2ED19D2A85C8EDD3EC2AEF",
                                  // G
                                  "04"
                                  "AA87CA22BE8B05378EB1C71EF320AD746E1D3B628BA79B9859F741E082542A38"
                                  "5502F25DBF55296C3A545E3872760AB7"
                                  "3617DE4A96262C6F5D9E98BF9292DC29F8F41DBD289A147CE9DA3113B5F0B8C0"
                                  "0A60B1CE1D7E819D7A431D7C90EA0E5F",
                                  // n
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC7634D81F4372DDF"
                                  "581A0DB248B0A77AECEC196ACCC52973",
                                  384)},
    {GC_EC_Params::secp521r1, makeParam(
                                  // p
                                  "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                  "FFFF",
                                  // a
                                  "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                  "FFFC",
                                  // b
                                  "0051953EB9618E1C9A1F929A21A0B68540EEA2DA725B99B315F3B8B489918EF1"
                                  "09E156193951EC7E937B1652C0BD3BB1BF073573DF883D2C34F1EF451FD46B50"
                                  "3F00",
                                  // G
                                  "04"
                                  "00C6858E06B70404E9CD9E3ECB662395B4429C648139053FB521F828AF606B4D"
                                  "3DBAA14B5E77EFE75928FE1DC127A2FFA8DE3348B3C1856A429BF97E7E31C2E5"
                                  "BD66"
                                  "011839296A789A3BC0045C8A5FB42C7D1BD998F54449579B446817AFBD17273E"
                                  "662C97EE72995EF42640C550B9013FAD0761353C7086A272C24088BE94769FD1"
                                  "6650",
                                  // n
                                  "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
                                  "FFFA51868783BF2F966B7FCC0148F709A5D03BB5C9B8899C47AEBB6FB71E9138"
                                  "6409",
                                  521)},
    {GC_EC_Params::brainpoolP224r1, makeParam(
                                        // p
                                        "D7C134AA264366862A18302575D1D787B09F075797DA89F57EC8C0FF",
                                        // a
                                        "68A5E62CA9CE6C1C299803A6C1530B514E182AD8B0042A59CAD29F43",
                                        // b
                                        "2580F63CCFE44138870713B1A92369E33E2135D266DBB372386C400B",
                                        // G
                                        "04"
                                        "0D9029AD2C7E5CF4340823B2A87DC68C9E4CE3174C1E6EFDEE12C07D"
                                        "58AA56F772C0726F24C6B89E4ECDAC24354B9E99CAA3F6D3761402CD",
                                        // n
                                        "D7C134AA264366862A18302575D0FB98D116BC4B6DDEBCA3A5A7939F", 224)},
    {GC_EC_Params::brainpoolP256r1, makeParam(
                                        // p
                                        "A9FB57DBA1EEA9BC3E660A909D838D726E3BF623D52620282013481D1F6E5377",
                                        // a
                                        "7D5A0975FC2C3057EEF67530417AFFE7FB8055C126DC5C6CE94A4B44F330B5D9",
                                        // b
                                        "26DC5C6CE94A4B44F330B5D9BBD77CBF958416295CF7E1CE6BCCDC18FF8C07B6",
                                        // G
                                        "04"
                                        "8BD2AEB9CB7E57CB2C4B482FFC81B7AFB9DE27E1E3BD23C23A4453BD9ACE3262"
                                        "547EF835C3DAC4FD97F8461A14611DC9C27745132DED8E545C1D54C72F046997",
                                        // n
                                        "A9FB57DBA1EEA9BC3E660A909D838D718C397AA3B561A6F7901E0E82974856A7", 256)},
    {GC_EC_Params::brainpoolP320r1, makeParam(
                                        // p
                                        "D35E472036BC4FB7E13C785ED201E065F98FCFA6F6F40DEF4F92B9EC7893EC28"
                                        "FCD412B1F1B32E27",
                                        // a
                                        "3EE30B568FBAB0F883CCEBD46D3F3BB8A2A73513F5EB79DA66190EB085FFA9F4"
                                        "92F375A97D860EB4",
                                        // b
                                        "520883949DFDBC42D3AD198640688A6FE13F41349554B49ACC31DCCD88453981"
                                        "6F5EB4AC8FB1F1A6",
                                        // G
                                        "04"
                                        "43BD7E9AFB53D8B85289BCC48EE5BFE6F20137D10A087EB6E7871E2A10A599C7"
                                        "10AF8D0D39E20611"
                                        "14FDD05545EC1CC8AB4093247F77275E0743FFED117182EAA9C77877AAAC6AC7"
                                        "D35245D1692E8EE1",
                                        // n
                                        "D35E472036BC4FB7E13C785ED201E065F98FCFA5B68F12A32D482EC7EE8658E9"
                                        "8691555B44C59311",
                                        320)},
    {GC_EC_Params::brainpoolP384r1, makeParam(
                                        // p
                                        "8CB91E82A3386D280F5D6F7E50E641DF152F7109ED5456B412B1DA197FB71123"
                                        "ACD3A729901D1A71874700133107EC53",
                                        // a
                                        "7BC382C63D8C150C3C72080ACE05AFA0C2BEA28E4FB22787139165EFBA91F90F"
                                        "8AA5814A503AD4EB04A8C7DD22CE2826",
                                        // b
                                        "04A8C7DD22CE28268B39B55416F0447C2FB77DE107DCD2A62E880EA53EEB62D5"
                                        "7CB4390295DBC9943AB78696FA504C11",
                                        // G
                                        "04"
                                        "1D1C64F068CF45FFA2A63A81B7C13F6B8847A3E77EF14FE3DB7FCAFE0CBD10E8"
                                        "E826E03436D646AAEF87B2E247D4AF1E"
                                        "8ABE1D7520F9C2A45CB1EB8E95CFD55262B70B29FEEC5864E19C054FF9912928"
                                        "0E4646217791811142820341263C5315",
                                        // n
                                        "8CB91E82A3386D280F5D6F7E50E641DF152F7109ED5456B31F166E6CAC0425A7"
                                        "CF3AB6AF6B7FC3103B883202E9046565",
                                        384)},
    {GC_EC_Params::brainpoolP512r1, makeParam(
                                        // p
                                        "AADD9DB8DBE9C48B3FD4E6AE33C9FC07CB308DB3B3C9D20ED6639CCA70330871"
                                        "7D4D9B009BC66842AECDA12AE6A380E62881FF2F2D82C68528AA6056583A48F3",
                                        // a
                                        "7830A3318B603B89E2327145AC234CC594CBDD8D3DF91610A83441CAEA9863BC"
                                        "2DED5D5AA8253AA10A2EF1C98B9AC8B57F1117A72BF2C7B9E7C1AC4D77FC94CA",
                                        // b
                                        "3DF91610A83441CAEA9863BC2DED5D5AA8253AA10A2EF1C98B9AC8B57F1117A7"
                                        "2BF2C7B9E7C1AC4D77FC94CADC083E67984050B75EBAE5DD2809BD638016F723",
                                        // G
                                        "04"
                                        "81AEE4BDD82ED9645A21322E9C4C6A9385ED9F70B5D916C1B43B62EEF4D0098E"
                                        "FF3B1F78E2D0D48D50D1687B93B97D5F7C6D5047406A5E688B352209BCB9F822"
                                        "7DDE385D566332ECC0EABFA9CF7822FDF209F70024A57B1AA000C55B881F8111"
                                        "B2DCDE494A5F485E5BCA4BD88A2763AED1CA2B2FA8F0540678CD1E0F3AD80892",
                                        // n
                                        "AADD9DB8DBE9C48B3FD4E6AE33C9FC07CB308DB3B3C9D20ED6639CCA70330870"
                                        "553E5C414CA92619418661197FAC10471DB1D381085DDADDB58796829CA90069",
                                        512)},
};
