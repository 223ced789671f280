#!/usr/bin/env bash
# Builds the files of a test card for the writing side of the PKCS#15 layout, with the OpenSSL
# command line only (asn1parse -genconf for every directory entry, req/pkey for certificates and
# public keys; the shared functions are in fixture_lib.sh). Writes the wc_* files next to this
# script and wc_card.map.
#
#   One application "Write Test" (AID D2 76 00 01 78 02 01, path 3F00 5020), token label
#   "Write Token": PIN "User PIN" (authId 01, parent 02, reference 81), a biometric entry, PUK
#   "User PUK" (authId 02, reference 82).
#   Directories with room to grow (zero padding): PrKDF 4402 (RSA and EC key), PuKDF 4403 (RSA
#   public key in C100, EC public key without content path), CDF in 4404 at offset 16 for 1024
#   bytes between 0xFF bytes (RSA certificate, an attribute certificate [0] that yields no
#   object, EC certificate, CA certificate), DODF 4405 (two data objects in D001), AODF 4401.
#   C100: RSA certificate, EC certificate, RSA public key, CA certificate, attribute certificate
#   stand-in, then zero bytes up to 4096. D001: two data contents, zero bytes up to 256.
#   C200: 2048 zero bytes.
#   Variants of the CDF: wc_cdf_overlap.der (a second entry inside the RSA certificate's bytes)
#   and wc_cdf_outside.der (an entry that runs past the end of C100).
#   Material for new objects: wc_new_rsa (RSA 2048) and wc_new_ec224 (secp224r1) certificates and
#   public keys.
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=fixture_lib.sh
. "$out/fixture_lib.sh"

# ---- Keys and certificates (fresh keys each run; private keys stay in the temporary folder) ----
cert wc_rsa "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" "/CN=Write Test RSA"
cert wc_ec "-algorithm EC -pkeyopt ec_paramgen_curve:prime256v1" "/CN=Write Test EC"
cert wc_ca "-algorithm EC -pkeyopt ec_paramgen_curve:prime256v1" "/CN=Write Test CA"
cert wc_new_rsa "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" "/CN=New RSA"
cert wc_new_ec224 "-algorithm EC -pkeyopt ec_paramgen_curve:secp224r1" "/CN=New EC 224"
rm -f "$out/wc_ca.pub.der"

gen "$work/attr" <<'EOF'
asn1=SEQUENCE:attr
[attr]
text=UTF8:attribute certificate stand-in
EOF

# ---- Content files ----
rsa_len=$(size "$out/wc_rsa.der")
ec_len=$(size "$out/wc_ec.der")
pub_len=$(size "$out/wc_rsa.pub.der")
ca_len=$(size "$out/wc_ca.der")
attr_len=$(size "$work/attr")
ec_idx=$rsa_len
pub_idx=$((ec_idx + ec_len))
ca_idx=$((pub_idx + pub_len))
attr_idx=$((ca_idx + ca_len))
pad "$out/wc_c100.bin" 4096 "$out/wc_rsa.der" "$out/wc_ec.der" "$out/wc_rsa.pub.der" "$out/wc_ca.der" "$work/attr"

gen "$work/data1" <<'EOF'
asn1=SEQUENCE:data
[data]
text=UTF8:first data object
EOF
gen "$work/data2" <<'EOF'
asn1=FORMAT:ASCII,OCT:second
EOF
data1_len=$(size "$work/data1")
data2_len=$(size "$work/data2")
pad "$out/wc_d001.bin" 256 "$work/data1" "$work/data2"
head -c 2048 /dev/zero > "$out/wc_c200.bin"

# ---- EF.DIR, TokenInfo ----
dir_record "$out/wc_ef_dir.der" D2760001780201 "Write Test" 3F005020
gen "$out/wc_tokeninfo.der" <<'EOF'
asn1=SEQUENCE:ti
[ti]
version=INT:0
serial=FORMAT:HEX,OCT:0201
manufacturer=UTF8:Test Maker
label=IMP:0,UTF8:Write Token
flags=FORMAT:BITLIST,BITSTR:1
EOF

# ---- AODF ----
pin_entry "$work/pin" "User PIN" 02 01 4 8 8 81 3F005020
bio_entry "$work/bio"
pin_entry "$work/puk" "User PUK" - 02 4 8 8 82 3F005020
pad "$out/wc_aodf.der" 512 "$work/pin" "$work/bio" "$work/puk"

# ---- Key entries ----
# Usage: sign and non-repudiation; access: sensitive, alwaysSensitive, neverExtractable, local.
sign_usage="FORMAT:BITLIST,BITSTR:2,9"
key_access="FORMAT:BITLIST,BITSTR:0,2,3,4"
verify_usage="FORMAT:BITLIST,BITSTR:6"
key_entry "$work/prk_rsa" rsa "RSA key" 01 01 "$sign_usage" - "$key_access" 1 3F0050204B01 0 0 2048
key_entry "$work/prk_ec" ec "EC key" 01 02 "$sign_usage" - "$key_access" 2 3F0050204B02 0 0 256
pad "$out/wc_prkdf.der" 512 "$work/prk_rsa" "$work/prk_ec"

key_entry "$work/puk_rsa" rsa "RSA public key" - 01 "$verify_usage" - - - C100 "$pub_idx" "$pub_len" 2048
key_entry "$work/puk_ec" ec "EC public key" - 02 "$verify_usage" - - - - 0 0 256
pad "$out/wc_pukdf.der" 512 "$work/puk_rsa" "$work/puk_ec"

# ---- Certificate entries ----
cert_entry "$work/cert_rsa" "RSA certificate" - 01 C100 0 "$rsa_len"
cert_entry "$work/cert_attr" "Attribute certificate" - 01 C100 "$attr_idx" "$attr_len" attribute
cert_entry "$work/cert_ec" "EC certificate" - 02 C100 "$ec_idx" "$ec_len"
cert_entry "$work/cert_ca" "CA certificate" - 0F C100 "$ca_idx" "$ca_len"
printf '\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff' > "$work/ff16"
pad "$work/cdf_area" 1024 "$work/cert_rsa" "$work/cert_attr" "$work/cert_ec" "$work/cert_ca"
cat "$work/ff16" "$work/cdf_area" "$work/ff16" > "$out/wc_cdf.der"

# Variants, each an area of 1024 bytes at the same place.
cert_entry "$work/cert_inside" "Inside RSA certificate" - 03 C100 10 20
pad "$work/cdf_overlap" 1024 "$work/cert_rsa" "$work/cert_inside"
cat "$work/ff16" "$work/cdf_overlap" "$work/ff16" > "$out/wc_cdf_overlap.der"
cert_entry "$work/cert_outside" "Outside certificate" - 04 C100 4000 500
pad "$work/cdf_outside" 1024 "$work/cert_rsa" "$work/cert_outside"
cat "$work/ff16" "$work/cdf_outside" "$work/ff16" > "$out/wc_cdf_outside.der"

# ---- Data objects ----
data_entry() {  # data_entry <file> <label> <index> <length>
    gen "$1" <<EOF
asn1=SEQUENCE:entry
[entry]
common=SEQUENCE:common
data=SEQUENCE:data
attrs=EXP:1,SEQUENCE:path
[common]
label=UTF8:$2
[data]
appName=UTF8:Write Test
[path]
path=FORMAT:HEX,OCT:D001
index=INT:$3
length=IMP:0,INT:$4
EOF
}
data_entry "$work/do1" "First data" 0 "$data1_len"
data_entry "$work/do2" "Second data" "$data1_len" "$data2_len"
pad "$out/wc_dodf.der" 256 "$work/do1" "$work/do2"

# ---- ODF ----
odf_entry "$work/o_prkdf" 0 4402
odf_entry "$work/o_pukdf" 1 4403
odf_entry "$work/o_cdf" 4 4404 16 1024
odf_entry "$work/o_dodf" 7 4405
odf_entry "$work/o_aodf" 8 4401
cat "$work/o_prkdf" "$work/o_pukdf" "$work/o_cdf" "$work/o_dodf" "$work/o_aodf" > "$out/wc_odf.der"

cat > "$out/wc_card.map" <<'EOF'
# <directory> <file id> <file>: where the data layout finds each file of the write test card.
3F00 2F00 wc_ef_dir.der
3F005020 5032 wc_tokeninfo.der
D2760001780201 5031 wc_odf.der
D2760001780201 4401 wc_aodf.der
D2760001780201 4402 wc_prkdf.der
D2760001780201 4403 wc_pukdf.der
D2760001780201 4404 wc_cdf.der
D2760001780201 4405 wc_dodf.der
D2760001780201 C100 wc_c100.bin
D2760001780201 C200 wc_c200.bin
D2760001780201 D001 wc_d001.bin
EOF
echo "write fixtures written to $out"
