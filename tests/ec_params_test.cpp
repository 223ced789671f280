#include "ec_params.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using CtxPtr = std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)>;
using GroupPtr = std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)>;
using PointPtr = std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)>;

struct Curve {
    GC_EC_Params::ec_nid nid;
    int opensslNid;
    size_t fieldBytes;
    int64_t bits;
};

const Curve kCurves[] = {
    {GC_EC_Params::secp224r1, NID_secp224r1, 28, 224},
    {GC_EC_Params::prime256v1, NID_X9_62_prime256v1, 32, 256},
    {GC_EC_Params::secp384r1, NID_secp384r1, 48, 384},
    {GC_EC_Params::secp521r1, NID_secp521r1, 66, 521},
    {GC_EC_Params::brainpoolP224r1, NID_brainpoolP224r1, 28, 224},
    {GC_EC_Params::brainpoolP256r1, NID_brainpoolP256r1, 32, 256},
    {GC_EC_Params::brainpoolP320r1, NID_brainpoolP320r1, 40, 320},
    {GC_EC_Params::brainpoolP384r1, NID_brainpoolP384r1, 48, 384},
    {GC_EC_Params::brainpoolP512r1, NID_brainpoolP512r1, 64, 512},
};

BnPtr newBn() {
    return BnPtr(BN_new(), BN_free);
}
BnPtr bnFrom(const Bytes& b) {
    return BnPtr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr), BN_free);
}
Bytes bnBytes(const BIGNUM* bn, size_t len) {
    Bytes out(len);
    EXPECT_EQ(BN_bn2binpad(bn, out.data(), static_cast<int>(len)), static_cast<int>(len));
    return out;
}

class EcParamsTest : public ::testing::TestWithParam<Curve> {};

// Every parameter equals what OpenSSL's own named curve carries, padded to the field length.
TEST_P(EcParamsTest, EqualsOpenSslNamedCurve) {
    const Curve& c = GetParam();
    ASSERT_EQ(static_cast<int>(c.nid), c.opensslNid);
    auto it = GC_EC_Params::EC_Params.find(c.nid);
    ASSERT_NE(it, GC_EC_Params::EC_Params.end());
    const GC_EC_Params::ec_param& e = it->second;

    CtxPtr ctx(BN_CTX_new(), BN_CTX_free);
    GroupPtr group(EC_GROUP_new_by_curve_name(c.opensslNid), EC_GROUP_free);
    ASSERT_TRUE(group);
    BnPtr p = newBn(), a = newBn(), b = newBn();
    ASSERT_EQ(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), ctx.get()), 1);

    EXPECT_EQ(e.p.size(), c.fieldBytes);
    EXPECT_EQ(e.a.size(), c.fieldBytes);
    EXPECT_EQ(e.b.size(), c.fieldBytes);
    EXPECT_EQ(e.n.size(), c.fieldBytes);
    EXPECT_EQ(e.G.size(), 2 * c.fieldBytes + 1);
    EXPECT_EQ(e.p, bnBytes(p.get(), c.fieldBytes));
    EXPECT_EQ(e.a, bnBytes(a.get(), c.fieldBytes));
    EXPECT_EQ(e.b, bnBytes(b.get(), c.fieldBytes));
    EXPECT_EQ(e.n, bnBytes(EC_GROUP_get0_order(group.get()), c.fieldBytes));
    EXPECT_EQ(e.h, Bytes{0x01});
    EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(group.get())));
    EXPECT_EQ(e.bitLength, c.bits);
    EXPECT_EQ(e.bitLength, EC_GROUP_get_degree(group.get()));

    Bytes g(2 * c.fieldBytes + 1);
    ASSERT_EQ(EC_POINT_point2oct(group.get(), EC_GROUP_get0_generator(group.get()), POINT_CONVERSION_UNCOMPRESSED,
                                 g.data(), g.size(), ctx.get()),
              g.size());
    EXPECT_EQ(e.G, g);
}

// The stored bytes alone describe a sound curve: G lies on y^2 = x^3 + ax + b mod p, and
// n * G is the point at infinity on the curve built from the stored values only.
TEST_P(EcParamsTest, BasePointOnCurveAndOfOrderN) {
    const Curve& c = GetParam();
    const GC_EC_Params::ec_param& e = GC_EC_Params::EC_Params.at(c.nid);
    ASSERT_EQ(e.G.size(), 2 * c.fieldBytes + 1);
    ASSERT_EQ(e.G[0], 0x04);

    CtxPtr ctx(BN_CTX_new(), BN_CTX_free);
    BnPtr p = bnFrom(e.p), a = bnFrom(e.a), b = bnFrom(e.b), n = bnFrom(e.n);
    BnPtr x = bnFrom(Bytes(e.G.begin() + 1, e.G.begin() + 1 + c.fieldBytes));
    BnPtr y = bnFrom(Bytes(e.G.begin() + 1 + c.fieldBytes, e.G.end()));

    BnPtr lhs = newBn(), rhs = newBn(), t = newBn();
    ASSERT_EQ(BN_mod_sqr(lhs.get(), y.get(), p.get(), ctx.get()), 1);
    ASSERT_EQ(BN_mod_sqr(t.get(), x.get(), p.get(), ctx.get()), 1);
    ASSERT_EQ(BN_mod_add(t.get(), t.get(), a.get(), p.get(), ctx.get()), 1);    // x^2 + a
    ASSERT_EQ(BN_mod_mul(rhs.get(), t.get(), x.get(), p.get(), ctx.get()), 1);  // x^3 + ax
    ASSERT_EQ(BN_mod_add(rhs.get(), rhs.get(), b.get(), p.get(), ctx.get()), 1);
    EXPECT_EQ(BN_cmp(lhs.get(), rhs.get()), 0);

    GroupPtr group(EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), ctx.get()), EC_GROUP_free);
    ASSERT_TRUE(group);
    PointPtr gp(EC_POINT_new(group.get()), EC_POINT_free);
    ASSERT_EQ(EC_POINT_oct2point(group.get(), gp.get(), e.G.data(), e.G.size(), ctx.get()), 1);
    PointPtr r(EC_POINT_new(group.get()), EC_POINT_free);
    ASSERT_EQ(EC_POINT_mul(group.get(), r.get(), nullptr, gp.get(), n.get(), ctx.get()), 1);
    EXPECT_EQ(EC_POINT_is_at_infinity(group.get(), r.get()), 1);
}

// The stored OID is exactly what OpenSSL encodes for the curve's object.
TEST_P(EcParamsTest, OidEqualsOpenSslEncoding) {
    const Curve& c = GetParam();
    auto it = GC_EC_Params::ec_OID.find(c.nid);
    ASSERT_NE(it, GC_EC_Params::ec_OID.end());
    const ASN1_OBJECT* obj = OBJ_nid2obj(c.opensslNid);
    ASSERT_NE(obj, nullptr);
    int len = i2d_ASN1_OBJECT(obj, nullptr);
    ASSERT_GT(len, 0);
    Bytes der(static_cast<size_t>(len));
    unsigned char* w = der.data();
    ASSERT_EQ(i2d_ASN1_OBJECT(obj, &w), len);
    EXPECT_EQ(it->second, der);
    ASSERT_GE(it->second.size(), 2u);
    EXPECT_EQ(it->second[0], 0x06);
    EXPECT_EQ(it->second[1], it->second.size() - 2);
}

INSTANTIATE_TEST_SUITE_P(AllCurves, EcParamsTest, ::testing::ValuesIn(kCurves),
                         [](const ::testing::TestParamInfo<Curve>& info) {
                             return std::string(OBJ_nid2sn(info.param.opensslNid));
                         });

}  // namespace
