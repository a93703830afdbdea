#!/bin/bash
# Makes a test CA and the server certificates the TLS tests present, in DIR:
#   ca.pem                 the CA the tests trust (key: ca.key)
#   NAME.pem / NAME.key    a certificate and its key, for NAME in:
#     good      for 127.0.0.1 and localhost, from the CA, valid now
#     other-ca  the same, from a CA nobody trusts
#     wrong-name  from the CA, for mail.other.test only
#     expired   from the CA, for 127.0.0.1, valid in January 2020 only
#     not-yet   from the CA, for 127.0.0.1, valid from 2090 on
#     controls  self-signed, for 127.0.0.1, its common name holding a line
#               break and U+202E (which turns the text after it around)
# Usage: make-test-certificates.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"

quiet() { "$@" >/dev/null 2>&1 || { echo "make-test-certificates: failed: $*" >&2; exit 1; }; }

# A CA: NAME.key, NAME.pem, and what "openssl ca" keeps beside it.
make_ca() {
    local name=$1 subject=$2
    quiet openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "$subject" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$name.key" -out "$name.pem"
    mkdir -p "$name.db"
    : >"$name.db/index.txt"
    cat >"$name.cnf" <<CNF
[ca]
default_ca = this
[this]
dir = $name.db
database = $name.db/index.txt
new_certs_dir = $name.db
serial = $name.db/serial
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[anything]
commonName = supplied
CNF
    openssl rand -hex 8 >"$name.db/serial"
}

# A server certificate NAME from CA with these names and dates.
issue() {
    local ca=$1 name=$2 subject=$3 names=$4 start=$5 end=$6
    quiet openssl req -new -newkey rsa:2048 -nodes -utf8 -subj "$subject" -addext "subjectAltName=$names" \
        -keyout "$name.key" -out "$name.csr"
    quiet openssl ca -batch -utf8 -config "$ca.cnf" -cert "$ca.pem" -keyfile "$ca.key" -in "$name.csr" \
        -out "$name.pem" -notext -startdate "$start" -enddate "$end"
}

make_ca ca "/CN=Korvelin test CA"
make_ca other "/CN=Unknown test CA"
now=$(date -u -d '1 hour ago' +%Y%m%d%H%M%SZ)
soon=$(date -u -d '2 days' +%Y%m%d%H%M%SZ)
issue ca good "/CN=127.0.0.1" "IP:127.0.0.1,DNS:localhost" "$now" "$soon"
issue other other-ca "/CN=127.0.0.1" "IP:127.0.0.1,DNS:localhost" "$now" "$soon"
issue ca wrong-name "/CN=mail.other.test" "DNS:mail.other.test" "$now" "$soon"
issue ca expired "/CN=127.0.0.1" "IP:127.0.0.1" 20200101000000Z 20200102000000Z
issue ca not-yet "/CN=127.0.0.1" "IP:127.0.0.1" 20900101000000Z 20900102000000Z
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -utf8 \
    -subj "/CN=$(printf 'Posten\nFalskt avsnitt \xe2\x80\xaeabc')" -addext "subjectAltName=IP:127.0.0.1" \
    -keyout controls.key -out controls.pem
chmod 600 ./*.key
