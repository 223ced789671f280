#!/usr/bin/env bash
# Builds the files of a test card with two PKCS#15 applications, with the OpenSSL command line
# only (asn1parse -genconf for every directory file, req/pkey for certificates and public keys;
# the shared functions are in fixture_lib.sh).
# Writes the files next to this script and card.map, which says under which directory (as the
# data layout names it: 3F00, an application path or an AID) each file is read.
#
#   Application 1 "Authentication" (AID D2 76 00 01 78 01 01, path 3F00 5015), token label
#   "Test Token": PIN (authId 01, parent 02) and PUK (authId 02); an RSA and an EC private key,
#   their public keys, their certificates and a certificate without key.
#   Application 2 "Signature" (AID D2 76 00 01 78 01 02, path 3F00 5016), no token label:
#   "Qualified" (authId 01, parent 03), a biometric entry, "Signature PUK" (authId 03) and
#   "Open" (no authId, no lengths); RSA and EC keys, certificates, an attribute certificate,
#   a CA certificate and two data objects, one at 01 03.
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=fixture_lib.sh
. "$out/fixture_lib.sh"

# ---- Keys and certificates (fresh keys each run; only certificates and public keys are kept) ----
cert app1_rsa "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" "/CN=Test Authentication RSA"
cert app1_ec "-algorithm EC -pkeyopt ec_paramgen_curve:prime256v1" "/CN=Test Authentication EC"
cert app1_other "-algorithm EC -pkeyopt ec_paramgen_curve:prime256v1" "/CN=Test Other"
cert app2_rsa "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" "/CN=Test Qualified RSA"
cert app2_ec "-algorithm EC -pkeyopt ec_paramgen_curve:secp384r1" "/CN=Test Qualified EC"
cert app2_ca "-algorithm EC -pkeyopt ec_paramgen_curve:prime256v1" "/CN=Test CA"
rm -f "$out/app1_other.pub.der" "$out/app2_ca.pub.der" "$out/app2_rsa.pub.der" "$out/app2_ec.pub.der"

# ---- EF.DIR (3F00 / 2F00): two application templates (tag 61) ----
dir_record "$work/dir1" D2760001780101 Authentication 3F005015
dir_record "$work/dir2" D2760001780102 Signature 3F005016
cat_to "$out/ef_dir.der" "$work/dir1" "$work/dir2"
# A variant whose second record names no TokenInfo file.
gen "$work/dir3" <<'EOF'
asn1=IMP:1A,SEQUENCE:rec
[rec]
aid=IMP:15A,FORMAT:HEX,OCT:D2760001780103
label=IMP:16A,UTF8:Broken
path=IMP:17A,FORMAT:HEX,OCT:3F005017
dd=IMP:19A,SEQUENCE:dd
[dd]
odf=SEQUENCE:odf
[odf]
path=FORMAT:HEX,OCT:5031
EOF
cat_to "$out/ef_dir_no_tokeninfo.der" "$work/dir1" "$work/dir3"

# ---- TokenInfo ----
gen "$out/app1_tokeninfo.der" <<'EOF'
asn1=SEQUENCE:ti
[ti]
version=INT:0
serial=FORMAT:HEX,OCT:1234567890
manufacturer=UTF8:Test Maker
label=IMP:0,UTF8:Test Token
flags=FORMAT:BITLIST,BITSTR:1
EOF
gen "$out/app2_tokeninfo.der" <<'EOF'
asn1=SEQUENCE:ti
[ti]
version=INT:1
serial=FORMAT:HEX,OCT:ABCD
manufacturer=UTF8:Test Maker 2
flags=FORMAT:BITLIST,BITSTR:1
EOF

# ---- AODF entries ----
pin_entry "$work/a1_pin" PIN 02 01 4 8 8 81 3F005015
pin_entry "$work/a1_puk" PUK - 02 8 12 - 82 3F00
cat_to "$out/app1_aodf.der" "$work/a1_pin" "$work/a1_puk"

pin_entry "$work/a2_qual" Qualified 03 01 6 8 8 85 3F005016
bio_entry "$work/a2_bio"
pin_entry "$work/a2_puk" "Signature PUK" - 03 8 8 - 86 3F005016
pin_entry "$work/a2_open" Open - - 0 0 - - 3F00
cat_to "$out/app2_aodf.der" "$work/a2_qual" "$work/a2_bio" "$work/a2_puk" "$work/a2_open"

# ---- Key entries ----
# Usage: sign and non-repudiation; access: sensitive, alwaysSensitive, neverExtractable, local.
sign_usage="FORMAT:BITLIST,BITSTR:2,9"
key_access="FORMAT:BITLIST,BITSTR:0,2,3,4"
key_entry "$work/a1_prk_rsa" rsa "Auth RSA key" 01 01 "$sign_usage" BOOL:TRUE "$key_access" 1 3F0050154B01 0 0 2048
# Usage bits 2, 5 and 8 written as raw content 06 24 80; native BOOLEAN with content 01; the ID is
# wrapped in an inner OCTET STRING header (04 01 02).
key_entry "$work/a1_prk_ec" ec "Auth EC key" 01 040102 "IMP:3U,FORMAT:HEX,OCT:062480" \
    "IMP:1U,FORMAT:HEX,OCT:01" - 2 3F0050154B02 0 0 256 1
# The PrKDF is stored with zero padding after its entries, as a directory file with room to grow.
head -c 16 /dev/zero > "$work/zeros"
cat_to "$out/app1_prkdf.der" "$work/a1_prk_rsa" "$work/a1_prk_ec" "$work/zeros"

verify_usage="FORMAT:BITLIST,BITSTR:6"
key_entry "$work/a1_puk_rsa" rsa "Auth RSA public key" - 01 "$verify_usage" - - - 4501 0 "$(size "$out/app1_rsa.pub.der")" 2048
key_entry "$work/a1_puk_ec" ec "Auth EC public key" - 02 "$verify_usage" - - - 4502 0 "$(size "$out/app1_ec.pub.der")" 256
cat_to "$out/app1_pukdf.der" "$work/a1_puk_rsa" "$work/a1_puk_ec"

key_entry "$work/a2_prk_rsa" rsa "Qualified RSA key" 01 01 "$sign_usage" - "$key_access" 3 3F0050164B01 0 0 2048
key_entry "$work/a2_prk_ec" ec "Qualified EC key" 01 02 "$sign_usage" - "$key_access" 4 3F0050164B02 0 0 384
cat_to "$out/app2_prkdf.der" "$work/a2_prk_rsa" "$work/a2_prk_ec"

# ---- Certificate entries ----
cert_entry "$work/a1_cert_rsa" "Auth RSA certificate" - 01 C001 0 "$(size "$out/app1_rsa.der")"
cert_entry "$work/a1_cert_ec" "Auth EC certificate" - 02 C002 0 "$(size "$out/app1_ec.der")"
cert_entry "$work/a1_cert_other" "Other certificate" - 0A C00A 0 "$(size "$out/app1_other.der")"
# The CDF of application 1 starts six bytes into its file; the ODF gives the offset and length.
printf '\xff\xff\xff\xff\xff\xff' > "$work/prefix"
cat_to "$work/a1_cdf" "$work/a1_cert_rsa" "$work/a1_cert_ec" "$work/a1_cert_other"
cat_to "$out/app1_cdf.der" "$work/prefix" "$work/a1_cdf"

cert_entry "$work/a2_cert_rsa" "Qualified RSA certificate" - 01 C001 0 "$(size "$out/app2_rsa.der")"
cert_entry "$work/a2_cert_attr" "Attribute certificate" - 01 C0A0 0 100 attribute
cert_entry "$work/a2_cert_ec" "Qualified EC certificate" - 02 C002 0 "$(size "$out/app2_ec.der")"
cert_entry "$work/a2_cert_ca" "Test CA" - 0F C00F 0 "$(size "$out/app2_ca.der")"
cat_to "$out/app2_cdf.der" "$work/a2_cert_rsa" "$work/a2_cert_attr" "$work/a2_cert_ec" "$work/a2_cert_ca"

# ---- Data objects (application 2) ----
gen "$out/app2_data_0103.der" <<'EOF'
asn1=SEQUENCE:data
[data]
serial=UTF8:T0000001
issued=UTF8:20240101
EOF
printf 'plain text content' > "$out/app2_data_d001.bin"
gen "$work/a2_do_card" <<EOF
asn1=SEQUENCE:entry
[entry]
common=SEQUENCE:common
data=SEQUENCE:data
attrs=EXP:1,SEQUENCE:path
[common]
label=UTF8:Card data
[data]
appName=UTF8:Card application
oid=OID:1.2.3.4.5
[path]
path=FORMAT:HEX,OCT:0103
index=INT:0
length=IMP:0,INT:$(size "$out/app2_data_0103.der")
EOF
# No label in the common attributes: the label search finds the application name instead.
gen "$work/a2_do_info" <<EOF
asn1=SEQUENCE:entry
[entry]
common=SEQUENCE:common
data=SEQUENCE:data
attrs=EXP:1,SEQUENCE:path
[common]
flags=FORMAT:BITLIST,BITSTR:1
[data]
appName=UTF8:Info application
[path]
path=FORMAT:HEX,OCT:D001
index=INT:0
length=IMP:0,INT:$(size "$out/app2_data_d001.bin")
EOF
cat_to "$out/app2_dodf.der" "$work/a2_do_card" "$work/a2_do_info"

# ---- ODFs ----
# Application 1 lists the CDF first (with its offset and length), then PrKDF, AODF, PuKDF.
odf_entry "$work/o1_cdf" 4 4404 6 "$(size "$work/a1_cdf")"
odf_entry "$work/o1_prkdf" 0 4402
odf_entry "$work/o1_aodf" 8 4401
odf_entry "$work/o1_pukdf" 1 4403
cat_to "$out/app1_odf.der" "$work/o1_cdf" "$work/o1_prkdf" "$work/o1_aodf" "$work/o1_pukdf"
# Application 2: CDF, a trusted-public-key directory ([2], not read), PrKDF, AODF, DODF.
odf_entry "$work/o2_cdf" 4 4404
odf_entry "$work/o2_trusted" 2 4409
odf_entry "$work/o2_prkdf" 0 4402
odf_entry "$work/o2_aodf" 8 4401
odf_entry "$work/o2_dodf" 7 4405
cat_to "$out/app2_odf.der" "$work/o2_cdf" "$work/o2_trusted" "$work/o2_prkdf" "$work/o2_aodf" "$work/o2_dodf"

# ---- Card map ----
cat > "$out/card.map" <<'EOF'
# <directory> <file id> <file>: where the data layout finds each file of the test card.
3F00 2F00 ef_dir.der
# Application 1: TokenInfo under the application path, everything else under the AID.
3F005015 5032 app1_tokeninfo.der
D2760001780101 5031 app1_odf.der
D2760001780101 4401 app1_aodf.der
D2760001780101 4402 app1_prkdf.der
D2760001780101 4403 app1_pukdf.der
D2760001780101 4404 app1_cdf.der
D2760001780101 4501 app1_rsa.pub.der
D2760001780101 4502 app1_ec.pub.der
D2760001780101 C001 app1_rsa.der
D2760001780101 C002 app1_ec.der
D2760001780101 C00A app1_other.der
# Application 2.
3F005016 5032 app2_tokeninfo.der
D2760001780102 5031 app2_odf.der
D2760001780102 4401 app2_aodf.der
D2760001780102 4402 app2_prkdf.der
D2760001780102 4404 app2_cdf.der
D2760001780102 4405 app2_dodf.der
D2760001780102 C001 app2_rsa.der
D2760001780102 C002 app2_ec.der
D2760001780102 C00F app2_ca.der
D2760001780102 0103 app2_data_0103.der
D2760001780102 D001 app2_data_d001.bin
EOF
echo "fixtures written to $out"
