#!/usr/bin/env bash
# Regenerates the personalisation data of the simulated cards (test keys only).
# Everything is made by the OpenSSL command line: keys with genpkey, certificates
# with req/x509, and every PKCS#15 and travel-document structure with
# asn1parse -genconf. The card simulator only loads and places these files.
#
#   tests/data/cardsim/make.sh              (run from anywhere; rewrites the files here)
#   tests/data/cardsim/make.sh --new-keys   (also new keys and certificates; otherwise the
#                                            existing ones are kept, so that the structures can
#                                            change without churning every key)
set -euo pipefail
cd "$(dirname "$0")"
out=$(pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if [ "${1:-}" = --new-keys ]; then rm -rf keys certs pub; fi
rm -rf generic varnel1 varnel2 lds
mkdir -p keys certs pub generic varnel1 varnel2 lds

# genconf NAME OUTFILE: reads an asn1parse configuration on stdin.
genconf() {
  cat >"$tmp/$1.cnf"
  openssl asn1parse -genconf "$tmp/$1.cnf" -noout -out "$2"
}

# ---------------------------------------------------------------- keys and certificates
if [ ! -f keys/ca.pem ] || [ ! -f certs/ca.der ]; then
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:secp384r1 -out keys/ca.pem 2>/dev/null
  openssl req -new -x509 -key keys/ca.pem -subj "/O=GC Test Cards/CN=GC Test Card CA" \
    -days 9000 -set_serial 1 -sha384 -outform DER -out certs/ca.der
fi

serial=100
# key NAME ALGORITHM SUBJECT-CN
key() {
  local name=$1 alg=$2 cn=$3
  serial=$((serial + 1))
  [ -f "keys/$name.pem" ] && [ -f "pub/$name.der" ] && [ -f "certs/$name.der" ] && return
  case $alg in
    rsa2048) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "keys/$name.pem" 2>/dev/null ;;
    *) openssl genpkey -algorithm EC -pkeyopt "ec_paramgen_curve:$alg" -pkeyopt ec_param_enc:named_curve \
         -out "keys/$name.pem" 2>/dev/null ;;
  esac
  openssl pkey -in "keys/$name.pem" -pubout -outform DER -out "pub/$name.der"
  openssl req -new -key "keys/$name.pem" -subj "/O=GC Test Cards/CN=$cn" -out "$tmp/$name.csr"
  openssl x509 -req -in "$tmp/$name.csr" -CA certs/ca.der -CAform DER -CAkey keys/ca.pem \
    -set_serial "$serial" -days 9000 -sha256 -outform DER -out "certs/$name.der" 2>/dev/null
}

key generic_rsa       rsa2048         "Generic card RSA key"
key generic_p256      prime256v1      "Generic card P-256 key"
key v1_auth_p256      prime256v1      "Varnel 1.0 Authentication"
key v1_presence_p521  secp521r1       "Varnel 1.0 Presence"
key v1_qualified_rsa  rsa2048         "Varnel 1.0 Qualified"
key v2_auth_bp256     brainpoolP256r1 "Varnel 2.0 Authentication"
key v2_authz_p384     secp384r1       "Varnel 2.0 Authorization"
key v2_qualified_rsa  rsa2048         "Varnel 2.0 Qualified"

len() { stat -c %s "$1"; }

# ---------------------------------------------------------------- PKCS#15 entries
# Each writes one top-level directory entry; directory files are concatenations.

# prk OUT rsa|ec LABEL AUTHID ID USAGE-BITS KEYREF KEYPATH BITS
prk() {
  local outer="SEQUENCE:entry"
  [ "$2" = ec ] && outer="IMPLICIT:0C,SEQUENCE:entry"
  genconf prk "$1" <<EOF
asn1 = $outer
[entry]
common = SEQUENCE:common
key = SEQUENCE:key
attrs = EXPLICIT:1C,SEQUENCE:attrs
[common]
label = UTF8String:$3
flags = FORMAT:BITLIST,BITSTRING:0
authid = FORMAT:HEX,OCTETSTRING:$4
[key]
id = FORMAT:HEX,OCTETSTRING:$5
usage = FORMAT:BITLIST,BITSTRING:$6
access = FORMAT:BITLIST,BITSTRING:0,2,3,4
ref = INTEGER:$7
[attrs]
value = SEQUENCE:path
bits = INTEGER:$9
[path]
path = FORMAT:HEX,OCTETSTRING:$8
EOF
}

# puk OUT rsa|ec LABEL ID PATH LENGTH BITS
pubk() {
  local outer="SEQUENCE:entry"
  [ "$2" = ec ] && outer="IMPLICIT:0C,SEQUENCE:entry"
  genconf puk "$1" <<EOF
asn1 = $outer
[entry]
common = SEQUENCE:common
key = SEQUENCE:key
attrs = EXPLICIT:1C,SEQUENCE:attrs
[common]
label = UTF8String:$3
[key]
id = FORMAT:HEX,OCTETSTRING:$4
usage = FORMAT:BITLIST,BITSTRING:6
[attrs]
value = SEQUENCE:path
bits = INTEGER:$7
[path]
path = FORMAT:HEX,OCTETSTRING:$5
index = INTEGER:0
length = IMPLICIT:0C,INTEGER:$6
EOF
}

# cert OUT LABEL ID PATH INDEX LENGTH
cert() {
  genconf cert "$1" <<EOF
asn1 = SEQUENCE:entry
[entry]
common = SEQUENCE:common
cert = SEQUENCE:certattr
attrs = EXPLICIT:1C,SEQUENCE:attrs
[common]
label = UTF8String:$2
[certattr]
id = FORMAT:HEX,OCTETSTRING:$3
[attrs]
value = SEQUENCE:path
[path]
path = FORMAT:HEX,OCTETSTRING:$4
index = INTEGER:$5
length = IMPLICIT:0C,INTEGER:$6
EOF
}

# pin OUT LABEL AUTHID PARENT-AUTHID|- REF MIN STORED MAX PINFLAGS PINPATH|-
pin() {
  local parent="" path=""
  [ "$4" != - ] && parent="parent = FORMAT:HEX,OCTETSTRING:$4"
  [ "${10}" != - ] && path="path = SEQUENCE:pinpath"
  genconf pin "$1" <<EOF
asn1 = SEQUENCE:entry
[entry]
common = SEQUENCE:common
auth = SEQUENCE:auth
attrs = EXPLICIT:1C,SEQUENCE:attrs
[common]
label = UTF8String:$2
flags = FORMAT:BITLIST,BITSTRING:0,1
$parent
[auth]
authid = FORMAT:HEX,OCTETSTRING:$3
[attrs]
flags = FORMAT:BITLIST,BITSTRING:$9
type = ENUMERATED:1
min = INTEGER:$6
stored = INTEGER:$7
max = INTEGER:$8
ref = IMPLICIT:0C,INTEGER:$5
$path
[pinpath]
path = FORMAT:HEX,OCTETSTRING:${10}
EOF
}

# tokeninfo OUT SERIAL-HEX LABEL
tokeninfo() {
  genconf ti "$1" <<EOF
asn1 = SEQUENCE:ti
[ti]
version = INTEGER:0
serial = FORMAT:HEX,OCTETSTRING:$2
manufacturer = UTF8String:GC Test Cards
label = IMPLICIT:0C,UTF8String:$3
flags = FORMAT:BITLIST,BITSTRING:1
EOF
}

# odfentry OUT TAG-NUMBER PATH [INDEX LENGTH]
odfentry() {
  local extra=""
  [ $# -ge 5 ] && extra=$'index = INTEGER:'"$4"$'\nlength = IMPLICIT:0C,INTEGER:'"$5"
  genconf odf "$1" <<EOF
asn1 = EXPLICIT:$2C,SEQUENCE:path
[path]
path = FORMAT:HEX,OCTETSTRING:$3
$extra
EOF
}

# dirapp OUT AID LABEL PATH ODF-PATH TOKENINFO-PATH
dirapp() {
  genconf dir "$1" <<EOF
asn1 = IMPLICIT:1A,SEQUENCE:app
[app]
aid = IMPLICIT:15A,FORMAT:HEX,OCTETSTRING:$2
label = IMPLICIT:16A,UTF8String:$3
path = IMPLICIT:17A,FORMAT:HEX,OCTETSTRING:$4
ddo = IMPLICIT:19A,SEQUENCE:ddo
[ddo]
odf = SEQUENCE:odfpath
tokeninfo = IMPLICIT:0C,SEQUENCE:tipath
[odfpath]
path = FORMAT:HEX,OCTETSTRING:$5
[tipath]
path = FORMAT:HEX,OCTETSTRING:$6
EOF
}

# cardaccess OUT CIPHER-BYTE PARAMETER-ID : one PACEInfo with ECDH generic mapping
cardaccess() {
  genconf ca "$1" <<EOF
asn1 = SET:infos
[infos]
pace = SEQUENCE:pace
[pace]
protocol = OID:0.4.0.127.0.7.2.2.4.2.$2
version = INTEGER:2
parameter = INTEGER:$3
EOF
}

sig_aid=A000000167455349474E
p15_aid=A000000063504B43532D3135
lds_aid=A0000002471001

# ---------------------------------------------------------------- generic ISO 7816-4 card
# MF: 2F00 EF.DIR, 011C EF.CardAccess; DF 5015 (PKCS#15 application):
#   5031 ODF, 5032 TokenInfo, 4401 AODF, 4402 PrKDF, 4403 PuKDF, 4404 CDF,
#   4301/4302 certificates, 4311/4312 public keys; keys 01 (RSA) and 02 (P-256) under PIN 01.
g=generic
printf '\xC0\x00\x00\x00\x00\x00\x00\x01' >$g/serial.bin
dirapp $g/efdir.der $p15_aid "GC generic PKCS#15" $p15_aid 5031 5032
tokeninfo $g/tokeninfo.der C000000000000001 "GC generic test card"
odfentry $tmp/o1 0 4402; odfentry $tmp/o2 1 4403; odfentry $tmp/o3 4 4404; odfentry $tmp/o4 8 4401
cat $tmp/o1 $tmp/o2 $tmp/o3 $tmp/o4 >$g/odf.der
pin $tmp/a1 "User PIN" 01 02 0x01 6 8 8 1,4 -
pin $tmp/a2 "PUK" 02 - 0x02 8 8 8 1,4,6 -
cat $tmp/a1 $tmp/a2 >$g/aodf.der
prk $tmp/k1 rsa "Signature key RSA" 01 4501 2 0x01 3F005015 2048
prk $tmp/k2 ec "Signature key EC" 01 4502 2 0x02 3F005015 256
cat $tmp/k1 $tmp/k2 >$g/prkdf.der
pubk $tmp/u1 rsa "Signature key RSA" 4501 4311 "$(len pub/generic_rsa.der)" 2048
pubk $tmp/u2 ec "Signature key EC" 4502 4312 "$(len pub/generic_p256.der)" 256
cat $tmp/u1 $tmp/u2 >$g/pukdf.der
cert $tmp/c1 "Certificate RSA" 4501 4301 0 "$(len certs/generic_rsa.der)"
cert $tmp/c2 "Certificate EC" 4502 4302 0 "$(len certs/generic_p256.der)"
cat $tmp/c1 $tmp/c2 >$g/cdf.der

# ---------------------------------------------------------------- travel-document application (both generations)
genconf com lds/com.der <<'EOF'
asn1 = IMPLICIT:0A,SEQUENCE:com
[com]
version = IMPLICIT:54A,FORMAT:HEX,OCTETSTRING:303130373030
list = IMPLICIT:28A,FORMAT:HEX,OCTETSTRING:616E
EOF
genconf dg1 lds/dg1.der <<'EOF'
asn1 = IMPLICIT:1A,SEQUENCE:dg1
[dg1]
mrz = IMPLICIT:31A,OCTETSTRING:I<UTOD231458907<<<<<<<<<<<<<<<7408122F1204159UTO<<<<<<<<<<<6ERIKSSON<<ANNA<MARIA<<<<<<<<<<
EOF
cardaccess $tmp/ca 2 13
genconf dg14 lds/dg14.der <<EOF
asn1 = IMPLICIT:14A,SEQUENCE:dg14
[dg14]
infos = FORMAT:HEX,OCTETSTRING:$(od -An -v -tx1 $tmp/ca | tr -d ' \n')
EOF
# The document security object: the data-group hashes as an LDS security object, not signed
# (longer than 127 bytes, so that its 53 00 entry carries a long-form length).
sha256() { openssl dgst -sha256 -binary "$1" | od -An -v -tx1 | tr -d ' \n'; }
genconf sod lds/sod.der <<EOF
asn1 = IMPLICIT:23A,SEQUENCE:sod
[sod]
lso = SEQUENCE:lso
note = UTF8String:test document security object (not signed)
[lso]
version = INTEGER:0
algorithm = SEQUENCE:sha256
hashes = SEQUENCE:hashes
[sha256]
oid = OID:sha256
[hashes]
dg1 = SEQUENCE:dg1hash
dg14 = SEQUENCE:dg14hash
[dg1hash]
number = INTEGER:1
hash = FORMAT:HEX,OCTETSTRING:$(sha256 lds/dg1.der)
[dg14hash]
number = INTEGER:14
hash = FORMAT:HEX,OCTETSTRING:$(sha256 lds/dg14.der)
EOF
# 53 00: the list of data objects the first generation reads at a fixed place. A length below
# 128 is an INTEGER; a longer one is written as the card does, in the BER length form 81 xx (82 xx xx).
# ldsentry OUT LABEL PATH LENGTH
ldsentry() {
  local length="INTEGER:$4"
  if [ "$4" -ge 256 ]; then
    length=$(printf 'FORMAT:HEX,OCTETSTRING:82%04X' "$4")
  elif [ "$4" -ge 128 ]; then
    length=$(printf 'FORMAT:HEX,OCTETSTRING:81%02X' "$4")
  fi
  genconf lds "$1" <<EOF
asn1 = SEQUENCE:entry
[entry]
common = SEQUENCE:common
attrs = EXPLICIT:1C,SEQUENCE:path
[common]
label = UTF8String:$2
[path]
path = FORMAT:HEX,OCTETSTRING:$3
index = INTEGER:0
length = IMPLICIT:0C,$length
EOF
}
ldsentry $tmp/l1 COM 011E "$(len lds/com.der)"
ldsentry $tmp/l2 SOD 011D "$(len lds/sod.der)"
ldsentry $tmp/l3 DG1 0101 "$(len lds/dg1.der)"
ldsentry $tmp/l4 DG14 010E "$(len lds/dg14.der)"
cat $tmp/l1 $tmp/l2 $tmp/l3 $tmp/l4 >lds/5300.der

# EF.CardAccess reference (AES-128, brainpoolP256r1) for checking the card's own encoder.
cp $tmp/ca cardaccess_aes128_13.der

# ---------------------------------------------------------------- Varnel 1.0 (ChipDoc 2.0)
# Signature application (no EF.DIR, fixed places): 5032 TokenInfo, 5200 AODF, 5031 ODF (never read),
# object directory files 5081/5088/5082/5083 (PrKDF @0, PuKDF @1024, CDF @2048, 1024 bytes each),
# certificates 5781/5788/5783, public keys 5791/5798/5793, PIN directories DF0A/DF08/DF0B/DF0C
# (PIN reference & 0F) holding the keys. Authorization (5082, 5782, DF0B) holds no objects yet.
v=varnel1
printf '\xC1\x00\x00\x00\x00\x00\x00\x01' >$v/serial.bin
tokeninfo $v/tokeninfo.der C100000000000001 "Varnel 1.0 test card"
odfentry $tmp/o1 8 5200
cp $tmp/o1 $v/odf.der
pin $tmp/a1 "Authentication" 01 04 0x8A 6 8 8 1,4 -
pin $tmp/a2 "Presence" 02 04 0x88 6 8 8 1,4 -
pin $tmp/a3 "Authorization" 05 04 0x8B 6 8 8 1,4 -
pin $tmp/a4 "Qualified" 03 04 0x8C 6 8 8 1,4 -
pin $tmp/a5 "PUK" 04 - 0x94 8 8 8 1,4,6 -
cat $tmp/a1 $tmp/a2 $tmp/a3 $tmp/a4 $tmp/a5 >$v/aodf.der
# dirfiles DIR-FID KIND LABEL AUTHID ID KEYREF KEYDF BITS KEYNAME CERT-FID PUB-FID USAGE
dirfiles() {
  prk $v/dir_$1_prkdf.der "$2" "$3 key" "$4" "$5" "${12}" "$6" "$7" "$8"
  pubk $v/dir_$1_pukdf.der "$2" "$3 public key" "$5" "${11}" "$(len pub/$9.der)" "$8"
  cert $v/dir_$1_cdf.der "$3 certificate" "$5" "${10}" 0 "$(len certs/$9.der)"
}
dirfiles 5081 ec  Authentication 01 4581 0x0A DF0A 256  v1_auth_p256     5781 5791 2
dirfiles 5088 ec  Presence       02 4588 0x08 DF08 521  v1_presence_p521 5788 5798 2
dirfiles 5083 rsa Qualified      03 4583 0x0C DF0C 2048 v1_qualified_rsa 5783 5793 9

# ---------------------------------------------------------------- Varnel 2.0 (ChipDoc 3.0)
# MF 2F00 EF.DIR; signature application: 5031 ODF, 5032 TokenInfo, 5200 AODF;
# PIN directory ADFx / key directory DF0x / CIO 508x (PrKDF @0, PuKDF @1024, CDF @2048) and
# certificate 578x, public key 579x, all inside the key directory.
v=varnel2
printf '\xC2\x00\x00\x00\x00\x00\x00\x01' >$v/serial.bin
dirapp $v/efdir.der $sig_aid "ChipDoc" $sig_aid 5031 5032
tokeninfo $v/tokeninfo.der C200000000000001 "Varnel 2.0 test card"
pin $tmp/a1 "Authentication" 01 04 0x01 6 8 8 1,4 ADF1
pin $tmp/a2 "Authorization" 02 04 0x02 6 8 8 1,4 ADF2
pin $tmp/a3 "Qualified" 03 04 0x0C 6 8 8 1,4 ADFC
pin $tmp/a4 "PUK" 04 - 0x04 8 8 8 1,4,6 -
cat $tmp/a1 $tmp/a2 $tmp/a3 $tmp/a4 >$v/aodf.der
odf=()
# ciofiles N F KIND LABEL AUTHID ID KEYREF BITS KEYNAME USAGE
#   N: PIN reference digit (directories ADFN/DF0N), F: last digit of the CIO 508F, certificate 578F, key 579F
ciofiles() {
  local n=$1 f=$2 dir="ADF$1DF0$1"
  shift 2
  prk $v/cio_508$f\_prkdf.der "$1" "$2 key" "$3" "$4" "$8" "$5" "$dir" "$6"
  pubk $v/cio_508$f\_pukdf.der "$1" "$2 public key" "$4" "${dir}579$f" "$(len pub/$7.der)" "$6"
  cert $v/cio_508$f\_cdf.der "$2 certificate" "$4" "${dir}578$f" 0 "$(len certs/$7.der)"
  # Each directory's region is the whole of what the card pre-allocates for it, so that new
  # entries fit behind the ones there.
  odfentry $tmp/op$f 0 "${dir}508$f" 0 1024
  odfentry $tmp/ou$f 1 "${dir}508$f" 1024 1024
  odfentry $tmp/oc$f 4 "${dir}508$f" 2048 1024
  odf+=($tmp/op$f $tmp/ou$f $tmp/oc$f)
}
ciofiles 1 1 ec  Authentication 01 4501 0x01 256  v2_auth_bp256    2
ciofiles 2 2 ec  Authorization  02 4502 0x02 384  v2_authz_p384    2
ciofiles C 3 rsa Qualified      03 450C 0x13 2048 v2_qualified_rsa 9
odfentry $tmp/oa 8 5200
cat "${odf[@]}" $tmp/oa >$v/odf.der

echo "cardsim data written to $out"
