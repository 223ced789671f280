#!/bin/sh
# Regenerates des_vectors.txt with the OpenSSL command line (single DES from the legacy provider,
# so the retail MAC reference does not share the equal-key trick of the code under test).
# Usage: sh make_des_vectors.sh > des_vectors.txt
set -eu

hex2bin() { printf '%s' "$1" | xxd -r -p; }
bin2hex() { xxd -p | tr -d '\n' | tr 'a-f' 'A-F'; }
des() { openssl enc -provider legacy -provider default "$@" -nopad; }

# Two-key triple DES in CBC mode (K1 K2 K1), three blocks and one block.
KEY=0123456789ABCDEFFEDCBA9876543210
IV=A0A1A2A3A4A5A6A7
PLAIN=4E6F77206973207468652074696D6520666F7220616C6C20676F6F64206D656E
CIPHER=$(hex2bin $PLAIN | openssl enc -des-ede-cbc -K $KEY -iv $IV -nopad | bin2hex)
echo "des3_key=$KEY"
echo "des3_iv=$IV"
echo "des3_plain=$PLAIN"
echo "des3_cipher=$CIPHER"

# ISO/IEC 9797-1 MAC algorithm 3: single-DES CBC under K1 over all blocks, then the last block
# decrypted under K2 and encrypted under K1.
MKEY=7962D9ECE03D1ACD4C76089DCE131543
K1=$(printf '%s' $MKEY | cut -c1-16)
K2=$(printf '%s' $MKEY | cut -c17-32)
MIV=0011223344556677
MDATA=0CA4020C800000008709016375432908C044F6800000000000000000DEADBEEF
CBC=$(hex2bin $MDATA | des -des-cbc -K $K1 -iv $MIV | bin2hex)
LAST=$(printf '%s' $CBC | tail -c 16)
MAC=$(hex2bin $LAST | des -d -des-ecb -K $K2 | des -des-ecb -K $K1 | bin2hex)
echo "mac_key=$MKEY"
echo "mac_iv=$MIV"
echo "mac_data=$MDATA"
echo "mac_last_block=$LAST"
echo "mac=$MAC"
