#!/bin/sh
# Writes the seed corpora of asn1_fuzz, objects_fuzz, pkcs15_fuzz, varnel1_discovery_fuzz,
# pubkey_answer_fuzz and read_tlv_fuzz from the test fixtures in tests/data (the other targets'
# corpora were written by hand). Run from anywhere; it replaces those folders under fuzz/corpus.
# Needs the openssl command line.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
data=$here/../tests/data
corpus=$here/corpus

# One byte given in decimal.
byte() { printf "\\$(printf %03o "$1")"; }
# Hex digits as bytes.
hexbytes() { echo "$1" | sed 's/../& /g' | tr -s ' ' '\n' | while read -r b; do [ -n "$b" ] && byte $((0x$b)); done; true; }

# ASN.1: DER of every kind the codec meets, and the card's own directory files.
rm -rf "$corpus/asn1_fuzz" && mkdir -p "$corpus/asn1_fuzz"
for f in "$data"/asn1/*.der "$data"/pkcs15/app1_*df.der "$data"/pkcs15/app2_*df.der "$data"/pkcs15/ef_dir.der \
    "$data"/pkcs15/app1_tokeninfo.der "$data"/pkcs15/app1_odf.der "$data"/cardsim/cardaccess_aes128_13.der; do
    cp "$f" "$corpus/asn1_fuzz/$(basename "$f")"
done

# Objects: a mode byte (0 certificate, 1 EC key, 2 RSA key, 4 data object), then the content.
rm -rf "$corpus/objects_fuzz" && mkdir -p "$corpus/objects_fuzz"
seed() { { byte "$1"; cat "$2"; } >"$corpus/objects_fuzz/$3"; }
for f in "$data"/objects/ec_leaf.der "$data"/objects/rsa_ca.der "$data"/objects/short_time.der \
    "$data"/objects/times_gen.der "$data"/cardsim/certs/v2_auth_bp256.der; do
    seed 0 "$f" "cert_$(basename "$f" .der)"
done
for f in "$data"/cardsim/pub/generic_p256.der "$data"/cardsim/pub/v1_presence_p521.der \
    "$data"/cardsim/pub/v2_auth_bp256.der "$data"/cardsim/pub/v2_authz_p384.der; do
    seed 1 "$f" "ec_$(basename "$f" .der)"
done
seed 2 "$data"/cardsim/pub/generic_rsa.der rsa_spki
seed 2 "$data"/asn1/pub-rsa2048-pkcs1.der rsa_pkcs1
seed 4 "$data"/pkcs15/app2_data_0103.der data_tlv
seed 4 "$data"/pkcs15/app2_data_d001.bin data_raw

# PKCS#15: two choice bytes, then each file of a test card as [directory length][directory]
# [file id length][file id][content length, 2 bytes][content].
rm -rf "$corpus/pkcs15_fuzz" && mkdir -p "$corpus/pkcs15_fuzz"
card() {
    map=$1 out=$2 choices=$3
    folder=$(dirname "$map")
    {
        hexbytes "$choices"
        grep -v '^#' "$map" | while read -r dir fid name; do
            [ -n "$dir" ] || continue
            case $name in /*) file=$name ;; *) file=$folder/$name ;; esac
            size=$(wc -c <"$file")
            byte $((${#dir} / 2)); hexbytes "$dir"
            byte $((${#fid} / 2)); hexbytes "$fid"
            byte $((size / 256)); byte $((size % 256))
            cat "$file"
        done
    } >"$corpus/pkcs15_fuzz/$out"
}
generic=$(mktemp)
trap 'rm -f "$generic"' EXIT
aid=A000000063504B43532D3135
cat >"$generic" <<MAP
3F00 2F00 $data/cardsim/generic/efdir.der
$aid 5032 $data/cardsim/generic/tokeninfo.der
$aid 5031 $data/cardsim/generic/odf.der
$aid 4401 $data/cardsim/generic/aodf.der
$aid 4402 $data/cardsim/generic/prkdf.der
$aid 4403 $data/cardsim/generic/pukdf.der
$aid 4404 $data/cardsim/generic/cdf.der
$aid 4301 $data/cardsim/certs/generic_rsa.der
$aid 4302 $data/cardsim/certs/generic_p256.der
$aid 4311 $data/cardsim/pub/generic_rsa.der
$aid 4312 $data/cardsim/pub/generic_p256.der
MAP
card "$data/pkcs15/card.map" two_apps_delete 0300
card "$data/pkcs15/card.map" two_apps_init_torn 0406
card "$data/pkcs15/wc_card.map" write_card_delete 0500
card "$data/pkcs15/wc_card.map" write_card_init 0000
card "$generic" generic_card 0100

# Varnel 1.0 discovery: one byte of deactivated directory files, then [file][length, 2 bytes]
# [content] with file 0 TokenInfo, 1 AODF, 2 to 13 the regions of 50 81, 50 88, 50 82, 50 83 (three
# each), 14 the travel document's list.
rm -rf "$corpus/varnel1_discovery_fuzz" && mkdir -p "$corpus/varnel1_discovery_fuzz"
record() {
    size=$(wc -c <"$2")
    byte "$1"; byte $((size / 256)); byte $((size % 256)); cat "$2"
}
v1=$data/cardsim/varnel1
{
    byte 0; record 0 "$v1/tokeninfo.der"; record 1 "$v1/aodf.der"
    n=2
    for fid in 5081 5088 5082 5083; do
        for region in prkdf pukdf cdf; do
            if [ -f "$v1/dir_${fid}_$region.der" ]; then record $n "$v1/dir_${fid}_$region.der"; fi
            n=$((n + 1))
        done
    done
    record 14 "$data/cardsim/lds/5300.der"
} >"$corpus/varnel1_discovery_fuzz/simulated_card"
c=$data/varnel1
{
    byte 0; record 0 "$c/tokeninfo.der"; record 1 "$c/aodf.der"
    record 2 "$c/5081_prkdf.der"; record 3 "$c/5081_pukdf.der"; record 4 "$c/5081_cdf.der"
    record 11 "$c/5083_prkdf.der"; record 14 "$c/5300.der"
} >"$corpus/varnel1_discovery_fuzz/corner_card"
{
    byte 5; record 0 "$c/tokeninfo.der"; record 1 "$c/aodf.der"; record 2 "$c/5081_prkdf.der"
    record 11 "$c/5083_prkdf.der"
} >"$corpus/varnel1_discovery_fuzz/deactivated_no_lds"
{ byte 0; record 0 "$c/tokeninfo.der"; record 1 "$c/aodf_one_sequence.der"; } \
    >"$corpus/varnel1_discovery_fuzz/one_sequence"

# Public-key answers: the key choice (0 RSA, 2 P-256, 3 P-384, 4 P-521, 6 brainpoolP256r1), then
# the answer as the first generation gives it (70 { BF A0|A2 0C { 7F49 { 81 n 82 e | 86 point } } }),
# or the bare modulus or point of the second.
rm -rf "$corpus/pubkey_answer_fuzz" && mkdir -p "$corpus/pubkey_answer_fuzz"
# A TLV of the tag (hex) around the bytes of stdin, with a minimal definite length.
tlv() {
    body=$(mktemp)
    cat >"$body"
    size=$(wc -c <"$body")
    hexbytes "$1"
    if [ "$size" -ge 256 ]; then byte 130; byte $((size / 256)); byte $((size % 256))
    elif [ "$size" -ge 128 ]; then byte 129; byte "$size"
    else byte "$size"; fi
    cat "$body"
    rm -f "$body"
}
pub=$data/cardsim/pub
for key in generic_rsa v1_qualified_rsa; do
    modulus=$(openssl rsa -pubin -inform DER -in "$pub/$key.der" -noout -modulus | sed 's/^Modulus=//')
    { byte 0; { hexbytes "$modulus" | tlv 81; hexbytes 010001 | tlv 82; } | tlv 7F49 | tlv BFA00C | tlv 70; } \
        >"$corpus/pubkey_answer_fuzz/v1_$key"
    { byte 0; hexbytes "$modulus"; } >"$corpus/pubkey_answer_fuzz/v2_$key"
done
# The curve choice, the length of the uncompressed point (the end of the key's DER), the key.
for entry in "2 65 v1_auth_p256" "3 97 v2_authz_p384" "4 133 v1_presence_p521" "6 65 v2_auth_bp256"; do
    set -- $entry
    { byte "$1"; tail -c "$2" "$pub/$3.der" | tlv 86 | tlv 7F49 | tlv BFA20C | tlv 70; } \
        >"$corpus/pubkey_answer_fuzz/v1_$3"
    { byte "$1"; tail -c "$2" "$pub/$3.der"; } >"$corpus/pubkey_answer_fuzz/v2_$3"
done

# One TLV of a file: the tag choice (bit 0: two tag bytes), the offset (2 bytes), the tag, the file.
rm -rf "$corpus/read_tlv_fuzz" && mkdir -p "$corpus/read_tlv_fuzz"
{ hexbytes 00000030; cat "$data/cardsim/certs/v2_auth_bp256.der"; } >"$corpus/read_tlv_fuzz/certificate"
{ hexbytes 00000030; cat "$pub/v1_qualified_rsa.der"; } >"$corpus/read_tlv_fuzz/public_key"
size=$(wc -c <"$pub/generic_p256.der")
{ byte 0; byte $((size / 256)); byte $((size % 256)); hexbytes 30; cat "$pub/generic_p256.der" "$pub/v2_authz_p384.der"; } \
    >"$corpus/read_tlv_fuzz/second_object"
{ hexbytes 0100007F49; hexbytes 0203040506 | tlv 86 | tlv 7F49; } >"$corpus/read_tlv_fuzz/two_byte_tag"
{ hexbytes 00800030; cat "$pub/generic_p256.der"; } >"$corpus/read_tlv_fuzz/offset_too_big"
