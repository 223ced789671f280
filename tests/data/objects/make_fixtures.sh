#!/bin/sh
# Regenerates the certificate fixtures with the OpenSSL command line. For every certificate
# <name>.der the expected values come from openssl itself:
#   <name>.txt           `openssl x509 -noout -serial -startdate -enddate` (ISO 8601 dates)
#   <name>.subject.der   the subject Name, cut out of the DER at the offsets asn1parse reports
#   <name>.issuer.der    the issuer Name, likewise
#   <name>.spki.der      the public key as SubjectPublicKeyInfo (`openssl x509 -pubkey`)
# Certificates:
#   rsa_ca        self-signed RSA-2048 (openssl req -x509), random 20-byte serial
#   ec_leaf       P-384 key signed by rsa_ca, serial 255 (DER 00 FF)
#   times_utc     UTCTime validity 991231235959Z .. 491231235959Z (years 1999 and 2049), serial 0
#   times_gen     GeneralizedTime validity 19991231235959Z .. 20991231235959Z, serial 1
#   short_time    notBefore is the 5-character UTCTime "9912Z" (too short for a date)
# The last three are assembled with asn1parse -genconf (openssl req cannot set such times)
# and signed with openssl dgst by the key of rsa_ca.
# Usage: sh make_fixtures.sh (from anywhere)
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Subject and issuer Names: the 4th and 6th children of the TBSCertificate when it starts with
# the explicit version [0], else the 3rd and 5th (depth-2 items in document order).
cut_names() {
    openssl asn1parse -inform DER -in "$1.der" > "$tmp/parsed"
    sed -n 's/^ *\([0-9]*\):d=2 *hl= *\([0-9]*\) *l= *\([0-9]*\).*/\1 \2 \3/p' "$tmp/parsed" > "$tmp/items"
    skip=0
    grep -m1 ':d=2 ' "$tmp/parsed" | grep -q 'cont \[ 0 \]' && skip=1
    set -- "$1" "$(sed -n "$((3 + skip))p" "$tmp/items")" "$(sed -n "$((5 + skip))p" "$tmp/items")"
    for pair in "issuer:$2" "subject:$3"; do
        kind=${pair%%:*}
        set -- "$1" ${pair#*:}
        tail -c +"$(($2 + 1))" "$1.der" | head -c "$(($3 + $4))" > "$1.$kind.der"
        openssl asn1parse -inform DER -in "$1.$kind.der" > /dev/null
    done
}

record() {
    openssl x509 -inform DER -in "$1.der" -noout -serial -dateopt iso_8601 -startdate -enddate \
        > "$1.txt" 2>/dev/null || true
    openssl x509 -inform DER -in "$1.der" -noout -pubkey | openssl pkey -pubin -outform DER -out "$1.spki.der"
    cut_names "$1"
}

# rsa_ca
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/ca.key" -sha256 -days 3650 \
    -subj "/C=DE/O=Object Test/CN=Object Test RSA CA" -outform DER -out rsa_ca.der
openssl x509 -inform DER -in rsa_ca.der -out "$tmp/ca.pem"
record rsa_ca

# ec_leaf
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out "$tmp/leaf.key"
openssl req -new -key "$tmp/leaf.key" -subj "/C=DE/O=Object Test/OU=Leaves/CN=EC Leaf" -out "$tmp/leaf.csr"
openssl x509 -req -in "$tmp/leaf.csr" -CA "$tmp/ca.pem" -CAkey "$tmp/ca.key" -set_serial 255 -days 700 \
    -sha256 -outform DER -out ec_leaf.der
record ec_leaf

# Hand-made certificates: $1 name, $2 serial, $3 notBefore line, $4 notAfter line.
genconf_cert() {
    point=$(openssl pkey -in "$tmp/hand.key" -pubout -outform DER | tail -c 65 | xxd -p | tr -d '\n')
    cat > "$tmp/body.cnf" <<CNF
[tbs]
version=EXPLICIT:0,INTEGER:2
serial=INTEGER:$2
sigalg=SEQUENCE:sigalg
issuer=SEQUENCE:issuer
validity=SEQUENCE:validity
subject=SEQUENCE:subject
spki=SEQUENCE:spki
[spki]
alg=SEQUENCE:spki_alg
key=FORMAT:HEX,BITSTRING:$point
[spki_alg]
oid=OID:id-ecPublicKey
curve=OID:prime256v1
[sigalg]
oid=OID:sha256WithRSAEncryption
null=NULL
[issuer]
c=SET:c
cn=SET:cn_issuer
[subject]
cn=SET:cn_subject
[c]
seq=SEQUENCE:c_seq
[c_seq]
oid=OID:countryName
val=PRINTABLESTRING:DE
[cn_issuer]
seq=SEQUENCE:cn_issuer_seq
[cn_issuer_seq]
oid=OID:commonName
val=UTF8:Object Test RSA CA
[cn_subject]
seq=SEQUENCE:cn_subject_seq
[cn_subject_seq]
oid=OID:commonName
val=UTF8:$1
[validity]
nb=$3
na=$4
CNF
    { echo "asn1=SEQUENCE:tbs"; cat "$tmp/body.cnf"; } > "$tmp/tbs.cnf"
    openssl asn1parse -genconf "$tmp/tbs.cnf" -noout -out "$tmp/tbs.der"
    openssl dgst -sha256 -sign "$tmp/ca.key" -out "$tmp/sig.bin" "$tmp/tbs.der"
    {
        echo "asn1=SEQUENCE:cert"
        echo "[cert]"
        echo "tbs=SEQUENCE:tbs"
        echo "alg=SEQUENCE:sigalg"
        echo "sig=FORMAT:HEX,BITSTRING:$(xxd -p "$tmp/sig.bin" | tr -d '\n')"
        cat "$tmp/body.cnf"
    } > "$tmp/cert.cnf"
    openssl asn1parse -genconf "$tmp/cert.cnf" -noout -out "$1.der"
    record "$1"
}

# The subject key of the hand-made certificates: P-256, whose SPKI ends in the 65-byte point.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$tmp/hand.key"
genconf_cert times_utc 0 UTCTIME:991231235959Z UTCTIME:491231235959Z
genconf_cert times_gen 1 GENTIME:19991231235959Z GENTIME:20991231235959Z
genconf_cert short_time 2 IMPLICIT:23U,VISIBLESTRING:9912Z UTCTIME:301231235959Z

