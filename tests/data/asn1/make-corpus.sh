#!/bin/sh
# Regenerates the DER corpus of the BER-TLV codec tests with the OpenSSL command line, and records
# `openssl asn1parse` of every file beside it (<name>.der -> <name>.asn1parse.txt).
# Usage: tests/data/asn1/make-corpus.sh   (writes into the directory that holds this script)
set -eu

out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

rm -f "$out"/*.der "$out"/*.asn1parse.txt

# Keys.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ca.key 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out rsa4096.key 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa2048.key 2>/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out p256.key
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out p384.key
openssl genpkey -algorithm ED25519 -out ed25519.key

cat > ca.cnf <<'CNF'
[ ca ]
default_ca = testca
[ testca ]
dir = .
database = index.txt
new_certs_dir = .
serial = serial
crlnumber = crlnumber
default_md = sha256
default_crl_days = 30
policy = anything
[ anything ]
commonName = supplied
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = Corpus Test CA
[ v3_ca ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ v3_leaf ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment
extendedKeyUsage = clientAuth, emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = email:holder@example.org, DNS:card.example.org
certificatePolicies = 1.3.6.1.4.1.99999.1.2
crlDistributionPoints = URI:http://crl.example.org/test.crl
authorityInfoAccess = OCSP;URI:http://ocsp.example.org/, caIssuers;URI:http://ca.example.org/ca.der
[ v3_big ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = clientAuth, emailProtection, codeSigning, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
subjectAltName = email:holder@example.org, email:holder.alias@example.org, DNS:card.example.org, DNS:token.example.org, DNS:signature.token.example.org, URI:https://holder.example.org/profile
certificatePolicies = 1.3.6.1.4.1.99999.1.2, 1.3.6.1.4.1.99999.1.3
crlDistributionPoints = URI:http://crl.example.org/test.crl, URI:http://crl2.example.org/test.crl
authorityInfoAccess = OCSP;URI:http://ocsp.example.org/, caIssuers;URI:http://ca.example.org/ca.der
CNF
touch index.txt
echo 1000 > serial
echo 01 > crlnumber

openssl req -new -x509 -config ca.cnf -extensions v3_ca -key ca.key -days 3650 -out ca.pem
openssl x509 -in ca.pem -outform DER -out "$out/cert-ca-rsa2048.der"

# A self-signed RSA-4096 certificate with many extensions (about 2 KB, the benchmark's input).
openssl req -new -x509 -config ca.cnf -extensions v3_big -key rsa4096.key -days 825 -set_serial 0x4d2f0b1c99 \
    -subj "/C=DE/ST=Berlin/L=Berlin/O=Corpus Test Organisation/OU=Signature Cards/CN=Holder With A Fairly Long Common Name/emailAddress=holder@example.org" \
    -outform DER -out "$out/cert-rsa4096.der"

# Leaf certificates signed by the CA: RSA-2048, P-256, Ed25519.
leaf() {  # key name subject [extension section]
    openssl req -new -key "$1" -subj "$3" -out "$2.csr"
    openssl x509 -req -in "$2.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 825 \
        -extfile ca.cnf -extensions "${4:-v3_leaf}" -out "$2.pem" 2>/dev/null
    openssl x509 -in "$2.pem" -outform DER -out "$out/cert-$2.der"
}
leaf rsa2048.key rsa2048 "/C=CZ/O=Corpus Test/CN=RSA Holder"
leaf p256.key p256 "/C=SK/O=Corpus Test/CN=EC Holder"
leaf ed25519.key ed25519 "/CN=EdDSA Holder"
openssl req -in rsa2048.csr -outform DER -out "$out/csr-rsa2048.der"
openssl req -new -key p384.key -subj "/CN=P-384 Request" -outform DER -out "$out/csr-p384.der"

# Keys in their DER forms.
openssl pkcs8 -topk8 -nocrypt -in rsa2048.key -outform DER -out "$out/key-rsa2048-pkcs8.der"
openssl rsa -in rsa2048.key -traditional -outform DER -out "$out/key-rsa2048-pkcs1.der" 2>/dev/null
openssl pkey -in p256.key -pubout -outform DER -out "$out/pub-p256-spki.der"
openssl pkey -in rsa4096.key -pubout -outform DER -out "$out/pub-rsa4096-spki.der"
openssl rsa -in rsa2048.key -RSAPublicKey_out -outform DER -out "$out/pub-rsa2048-pkcs1.der" 2>/dev/null
openssl ec -in p384.key -outform DER -out "$out/key-p384-sec1.der" 2>/dev/null
openssl pkey -in ed25519.key -outform DER -out "$out/key-ed25519-pkcs8.der"
openssl ecparam -name brainpoolP256r1 -param_enc explicit -outform DER -out "$out/ecparams-bp256r1-explicit.der"

# A CRL that revokes two of the leaves.
openssl ca -config ca.cnf -keyfile ca.key -cert ca.pem -revoke rsa2048.pem -crl_reason keyCompromise 2>/dev/null
openssl ca -config ca.cnf -keyfile ca.key -cert ca.pem -revoke p256.pem -crl_reason superseded 2>/dev/null
openssl ca -config ca.cnf -keyfile ca.key -cert ca.pem -gencrl -crlexts crl_ext -out ca.crl 2>/dev/null || \
    openssl ca -config ca.cnf -keyfile ca.key -cert ca.pem -gencrl -out ca.crl 2>/dev/null
openssl crl -in ca.crl -outform DER -out "$out/crl-ca.der"

# PKCS#7: a certificate bag with the CRL, and a signed message.
openssl crl2pkcs7 -in ca.crl -certfile ca.pem -certfile rsa2048.pem -outform DER -out "$out/p7-certs-crl.der"
printf 'Corpus test message inside a PKCS#7 signature.' > msg.txt
openssl smime -sign -in msg.txt -signer rsa2048.pem -inkey rsa2048.key -certfile ca.pem -nodetach \
    -binary -outform DER -out p7-signed.der
cp p7-signed.der "$out/p7-signed.der"

for f in "$out"/*.der; do
    openssl asn1parse -inform DER -in "$f" > "${f%.der}.asn1parse.txt"
done
