#!/usr/bin/env bash
# Regenerates the EF.CardAccess fixtures with the openssl command line (DER from -genconf).
#   tests/data/pace/make_cardaccess.sh
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# id-PACE-ECDH-GM-* = 0.4.0.127.0.7.2.2.4.2.{1 3DES, 2 AES-128, 3 AES-192, 4 AES-256}
make() {  # make NAME, config on stdin
  cat > "$tmp/$1.cnf"
  openssl asn1parse -genconf "$tmp/$1.cnf" -out "$1.der" -noout
}

# The ICAO worked example: ECDH-GM-AES-128 on brainpoolP256r1 (id 13).
make icao <<'CNF'
asn1=SET:infos
[infos]
pace=SEQUENCE:pace
[pace]
protocol=OID:0.4.0.127.0.7.2.2.4.2.2
version=INTEGER:2
parameterId=INTEGER:13
CNF

# AES-128 on P-256 (id 12) and AES-256 on brainpoolP256r1 (id 13).
make two_ciphers <<'CNF'
asn1=SET:infos
[infos]
a=SEQUENCE:aes128
b=SEQUENCE:aes256
[aes128]
protocol=OID:0.4.0.127.0.7.2.2.4.2.2
version=INTEGER:2
parameterId=INTEGER:12
[aes256]
protocol=OID:0.4.0.127.0.7.2.2.4.2.4
version=INTEGER:2
parameterId=INTEGER:13
CNF

# What a card lists besides PACE: chip authentication with its domain parameters (curve OID
# inside), terminal authentication, a DH-GM PACE entry and the ECDH-GM one to pick.
make mixed <<'CNF'
asn1=SET:infos
[infos]
ta=SEQUENCE:ta
ca=SEQUENCE:ca
cadp=SEQUENCE:cadp
dh=SEQUENCE:dh
pace=SEQUENCE:pace
[ta]
protocol=OID:0.4.0.127.0.7.2.2.2
version=INTEGER:2
[ca]
protocol=OID:0.4.0.127.0.7.2.2.3.2.2
version=INTEGER:2
keyId=INTEGER:6
[cadp]
protocol=OID:0.4.0.127.0.7.2.2.3.2
domain=SEQUENCE:algid
keyId=INTEGER:6
[algid]
algorithm=OID:1.2.840.10045.2.1
parameters=OID:1.3.36.3.3.2.8.1.1.7
[dh]
protocol=OID:0.4.0.127.0.7.2.2.4.1.4
version=INTEGER:2
parameterId=INTEGER:2
[pace]
protocol=OID:0.4.0.127.0.7.2.2.4.2.3
version=INTEGER:2
parameterId=INTEGER:16
CNF

# Domain parameter ids outside the standardised curves this system runs.
make id9 <<'CNF'
asn1=SET:infos
[infos]
pace=SEQUENCE:pace
[pace]
protocol=OID:0.4.0.127.0.7.2.2.4.2.2
version=INTEGER:2
parameterId=INTEGER:9
CNF
make id19 <<'CNF'
asn1=SET:infos
[infos]
pace=SEQUENCE:pace
[pace]
protocol=OID:0.4.0.127.0.7.2.2.4.2.2
version=INTEGER:2
parameterId=INTEGER:19
CNF

# No PACE at all: chip authentication only.
make no_pace <<'CNF'
asn1=SET:infos
[infos]
ca=SEQUENCE:ca
[ca]
protocol=OID:0.4.0.127.0.7.2.2.3.2.2
version=INTEGER:2
keyId=INTEGER:1
CNF
