# Shell functions shared by the PKCS#15 fixture scripts (sourced, not run). The caller sets
# `out` (where the fixtures go) and `work` (a temporary folder) first. Every DER file is made by
# the OpenSSL command line: asn1parse -genconf for directory entries, genpkey/req/pkey for keys
# and certificates.

# gen <file> : DER of the genconf text read from stdin.
gen() {
    cat > "$work/conf"
    openssl asn1parse -genconf "$work/conf" -noout -out "$1"
}
size() { stat -c %s "$1"; }
# cat_to <file> <parts...> : concatenation of the parts.
cat_to() {
    local target=$1
    shift
    cat "$@" > "$target"
}
# pad <target> <size> <parts...>: the parts, then zero bytes up to size.
pad() {
    local target=$1 total=$2
    shift 2
    cat "$@" > "$work/padded"
    local used
    used=$(size "$work/padded")
    if [ "$used" -gt "$total" ]; then
        echo "$target: $used bytes do not fit in $total" >&2
        exit 1
    fi
    { cat "$work/padded"; head -c $((total - used)) /dev/zero; } > "$target"
}

# cert <name> <algorithm options> <subject> : a fresh key (kept in the temporary folder), its
# self-signed certificate <name>.der and public key <name>.pub.der next to the fixtures.
cert() {
    local name=$1 opts=$2 subject=$3
    # shellcheck disable=SC2086
    openssl genpkey $opts -out "$work/$name.key" 2>/dev/null
    openssl req -new -x509 -key "$work/$name.key" -subj "$subject" -days 7300 -sha256 \
        -outform DER -out "$out/$name.der"
    openssl pkey -in "$work/$name.key" -pubout -outform DER -out "$out/$name.pub.der"
}

# dir_record <file> <aid> <label> <path> : an EF.DIR application template (tag 61) naming the
# ODF 5031 and the TokenInfo 5032.
dir_record() {
    gen "$1" <<END
asn1=IMP:1A,SEQUENCE:rec
[rec]
aid=IMP:15A,FORMAT:HEX,OCT:$2
label=IMP:16A,UTF8:$3
path=IMP:17A,FORMAT:HEX,OCT:$4
dd=IMP:19A,SEQUENCE:dd
[dd]
odf=SEQUENCE:odf
tokeninfo=IMP:0,SEQUENCE:tokeninfo
[odf]
path=FORMAT:HEX,OCT:5031
[tokeninfo]
path=FORMAT:HEX,OCT:5032
END
}

# odf_entry <file> <tag number> <fid> [<index> <length>]
odf_entry() {
    if [ $# -eq 5 ]; then
        gen "$1" <<END
asn1=EXP:$2,SEQUENCE:path
[path]
path=FORMAT:HEX,OCT:$3
index=INT:$4
length=IMP:0,INT:$5
END
    else
        gen "$1" <<END
asn1=EXP:$2,SEQUENCE:path
[path]
path=FORMAT:HEX,OCT:$3
END
    fi
}

# pin_entry <file> <label> <parent authId or -> <authId or -> <min> <stored> <max or -> <reference or -> <path>
pin_entry() {
    local file=$1 label=$2 parent=$3 auth=$4 min=$5 stored=$6 max=$7 ref=$8 path=$9
    {
        echo "asn1=SEQUENCE:entry"
        echo "[entry]"
        echo "common=SEQUENCE:common"
        echo "auth=SEQUENCE:auth"
        echo "attrs=EXP:1,SEQUENCE:attrs"
        echo "[common]"
        echo "label=UTF8:$label"
        echo "flags=FORMAT:BITLIST,BITSTR:0"
        [ "$parent" != - ] && echo "authId=FORMAT:HEX,OCT:$parent"
        echo "[auth]"
        [ "$auth" != - ] && echo "authId=FORMAT:HEX,OCT:$auth"
        echo "[attrs]"
        echo "pinFlags=FORMAT:BITLIST,BITSTR:1,4"
        echo "pinType=ENUM:1"
        echo "minLength=INT:$min"
        echo "storedLength=INT:$stored"
        [ "$max" != - ] && echo "maxLength=INT:$max"
        [ "$ref" != - ] && echo "reference=IMP:0,FORMAT:HEX,OCT:$ref"
        echo "padChar=FORMAT:HEX,OCT:FF"
        echo "path=SEQUENCE:path"
        echo "[path]"
        echo "path=FORMAT:HEX,OCT:$path"
    } | gen "$file"
}

# bio_entry <file> : a biometric template ([0]), an authentication object that is not a PIN.
bio_entry() {
    gen "$1" <<'END'
asn1=IMP:0,SEQUENCE:entry
[entry]
common=SEQUENCE:common
auth=SEQUENCE:auth
attrs=EXP:1,SEQUENCE:attrs
[common]
label=UTF8:Fingerprint
[auth]
authId=FORMAT:HEX,OCT:04
[attrs]
flags=FORMAT:BITLIST,BITSTR:1
END
}

# key_entry <file> <rsa|ec> <label> <authId or -> <id content hex> <usage conf> <native conf or -> <access conf or -> <keyref or -> <content path or -> <index> <length> <bits> [userConsent]
key_entry() {
    local file=$1 kind=$2 label=$3 auth=$4 id=$5 usage=$6 native=$7 access=$8 ref=$9
    local path=${10} index=${11} length=${12} bits=${13} consent=${14:-}
    {
        if [ "$kind" = ec ]; then echo "asn1=IMP:0,SEQUENCE:entry"; else echo "asn1=SEQUENCE:entry"; fi
        echo "[entry]"
        echo "common=SEQUENCE:common"
        echo "key=SEQUENCE:key"
        echo "attrs=EXP:1,SEQUENCE:attrs"
        echo "[common]"
        echo "label=UTF8:$label"
        echo "flags=FORMAT:BITLIST,BITSTR:0"
        [ "$auth" != - ] && echo "authId=FORMAT:HEX,OCT:$auth"
        [ -n "$consent" ] && echo "userConsent=INT:$consent"
        echo "[key]"
        echo "id=FORMAT:HEX,OCT:$id"
        echo "usage=$usage"
        [ "$native" != - ] && echo "native=$native"
        [ "$access" != - ] && echo "access=$access"
        [ "$ref" != - ] && echo "keyReference=INT:$ref"
        echo "[attrs]"
        echo "value=SEQUENCE:value"
        echo "bits=INT:$bits"
        echo "[value]"
        [ "$path" != - ] && echo "path=FORMAT:HEX,OCT:$path"
        echo "index=INT:$index"
        echo "length=IMP:0,INT:$length"
    } | gen "$file"
}

# cert_entry <file> <label> <authId or -> <id> <content fid> <index> <length> [x509|attribute]
cert_entry() {
    local file=$1 label=$2 auth=$3 id=$4 fid=$5 index=$6 length=$7 kind=${8:-x509}
    {
        if [ "$kind" = attribute ]; then echo "asn1=IMP:0,SEQUENCE:entry"; else echo "asn1=SEQUENCE:entry"; fi
        echo "[entry]"
        echo "common=SEQUENCE:common"
        echo "cert=SEQUENCE:cert"
        echo "attrs=EXP:1,SEQUENCE:attrs"
        echo "[common]"
        echo "label=UTF8:$label"
        echo "flags=FORMAT:BITLIST,BITSTR:1"
        [ "$auth" != - ] && echo "authId=FORMAT:HEX,OCT:$auth"
        echo "[cert]"
        echo "id=FORMAT:HEX,OCT:$id"
        echo "[attrs]"
        echo "value=SEQUENCE:value"
        echo "[value]"
        echo "path=FORMAT:HEX,OCT:$fid"
        echo "index=INT:$index"
        echo "length=IMP:0,INT:$length"
    } | gen "$file"
}
