#!/bin/sh
# Writes the seed corpora of asn1_fuzz, objects_fuzz and pkcs15_fuzz from the test fixtures in
# tests/data (the other targets' corpora were written by hand). Run from anywhere; it replaces
# those three folders under fuzz/corpus.
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
