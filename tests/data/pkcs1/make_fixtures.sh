#!/bin/sh
# Regenerates the PKCS#1 v1.5 fixtures with the OpenSSL command line:
#   key.pem / pub.pem       a 2048-bit RSA key pair
#   message.bin             the signed data (100 bytes: no digest has that length)
#   sig_<hash>.bin          openssl's PKCS#1 v1.5 signature of message.bin with <hash>
#   block_<hash>.bin        the whole encoded block (00 01 FF..FF 00 DigestInfo) that
#                           "pkeyutl -verifyrecover" without padding recovers from the signature
# Usage: cd tests/data/pkcs1 && sh make_fixtures.sh
set -eu
cd "$(dirname "$0")"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out key.pem
openssl pkey -in key.pem -pubout -out pub.pem
printf '%s' "$(seq -s, 1 40)" | head -c 100 > message.bin
test "$(wc -c < message.bin)" -eq 100

for h in sha1 sha224 sha256 sha384 sha512; do
    openssl dgst -"$h" -sign key.pem -out sig_"$h".bin message.bin
    openssl dgst -"$h" -verify pub.pem -signature sig_"$h".bin message.bin
    openssl pkeyutl -verifyrecover -pubin -inkey pub.pem -pkeyopt rsa_padding_mode:none \
        -in sig_"$h".bin -out block_"$h".bin
done
