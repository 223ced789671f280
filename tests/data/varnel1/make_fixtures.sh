#!/usr/bin/env bash
# Builds the files of a first-generation card (Varnel 1.0) whose structures take the discovery
# through its corners, with the OpenSSL command line only (asn1parse -genconf; the shared
# functions are in ../pkcs15/fixture_lib.sh). The test lays out the object directory files
# itself: each directory region padded to 1024 bytes at its fixed offset.
#
#   TokenInfo without token label.
#   AODF: "Authentication" (authId 01, parent 09, reference 8A), "Authentication1" (authId 02, a
#   label the card's table does not know), "Qualified" (authId 03, parent 09, reference 8C) and
#   "PUK" (authId 09, reference 94).
#   5081 (Authentication): private key ID 01 (owner 01); public keys ID 01 (no owner), ID 07
#   (owner 01) and ID 08 (no owner, no private key); certificates ID 01 (no owner), ID 03 (owner
#   01, but the Qualified private key has ID 03), ID 07 (no owner) and ID 0A (no owner, no key).
#   5083 (Qualified): an RSA private key ID 03 (owner 03).
#   5300: COM with the path 3F00 011E and its length as a two-byte INTEGER (500), DG1 with 81 90
#   (144), DG2 with 82 01 2C (300); no SOD.
#   Broken AODFs: an entry with one attribute sequence, an entry without PIN lengths.
set -euo pipefail

out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=../pkcs15/fixture_lib.sh
. "$out/../pkcs15/fixture_lib.sh"

gen "$out/tokeninfo.der" <<'END'
asn1=SEQUENCE:ti
[ti]
version=INT:1
serial=FORMAT:HEX,OCT:C100000000000002
manufacturer=UTF8:GC Test Cards
flags=FORMAT:BITLIST,BITSTR:1
END

pin_entry "$work/a1" Authentication 09 01 6 8 8 8A 3F00
pin_entry "$work/a2" Authentication1 09 02 6 8 8 8B 3F00
pin_entry "$work/a3" Qualified 09 03 6 8 8 8C 3F00
pin_entry "$work/a4" PUK - 09 8 8 8 94 3F00
cat_to "$out/aodf.der" "$work/a1" "$work/a2" "$work/a3" "$work/a4"

# One attribute sequence only (no common authentication attributes).
gen "$out/aodf_one_sequence.der" <<'END'
asn1=SEQUENCE:entry
[entry]
common=SEQUENCE:common
attrs=EXP:1,SEQUENCE:attrs
[common]
label=UTF8:Authentication
[attrs]
minLength=INT:6
END
# Both sequences, but no PIN lengths.
gen "$out/aodf_no_lengths.der" <<'END'
asn1=SEQUENCE:entry
[entry]
common=SEQUENCE:common
auth=SEQUENCE:auth
attrs=EXP:1,SEQUENCE:attrs
[common]
label=UTF8:Authentication
[auth]
authId=FORMAT:HEX,OCT:01
[attrs]
reference=IMP:0,FORMAT:HEX,OCT:8A
END

usage="FORMAT:BITLIST,BITSTR:2"
key_entry "$work/k1" ec "Authentication key" 01 01 "$usage" - - 10 DF0A 0 0 256
cat_to "$out/5081_prkdf.der" "$work/k1"
key_entry "$work/u1" ec "Public key 01" - 01 "$usage" - - - 5791 0 91 256
key_entry "$work/u7" ec "Public key 07" 01 07 "$usage" - - - 5797 0 91 256
key_entry "$work/u8" ec "Public key 08" - 08 "$usage" - - - 5798 0 91 256
cat_to "$out/5081_pukdf.der" "$work/u1" "$work/u7" "$work/u8"
cert_entry "$work/c1" "Certificate 01" - 01 5781 0 500
cert_entry "$work/c3" "Certificate 03" 01 03 5783 0 500
cert_entry "$work/c7" "Certificate 07" - 07 5787 0 500
cert_entry "$work/ca" "Certificate 0A" - 0A 578A 0 500
cat_to "$out/5081_cdf.der" "$work/c1" "$work/c3" "$work/c7" "$work/ca"

key_entry "$work/k3" rsa "Qualified key" 03 03 "FORMAT:BITLIST,BITSTR:9" - - 12 DF0C 0 0 2048
cat_to "$out/5083_prkdf.der" "$work/k3"

# lds_entry <file> <label> <path hex> <length conf>
lds_entry() {
    gen "$1" <<END
asn1=SEQUENCE:entry
[entry]
common=SEQUENCE:common
attrs=EXP:1,SEQUENCE:path
[common]
label=UTF8:$2
[path]
path=FORMAT:HEX,OCT:$3
index=INT:0
length=IMP:0,$4
END
}
lds_entry "$work/l1" COM 3F00011E "INT:500"
lds_entry "$work/l2" DG1 0101 "FORMAT:HEX,OCT:8190"
lds_entry "$work/l3" DG2 0102 "FORMAT:HEX,OCT:82012C"
cat_to "$out/5300.der" "$work/l1" "$work/l2" "$work/l3"
