#!/usr/bin/env bash
# Certificates for DICOM over TLS in tests, benchmarks and the demo, made
# with openssl into a folder (RSA 2048, SHA-256, as the BCP 195 profile
# asks):
#
#   certs.sh <dir>
#
#   ca.crt                     the certificate authority both sides trust
#   archive.crt / archive.key  the archive's, signed by it
#   station.crt / station.key  the station's, signed by it
#   expired.crt / expired.key  an archive certificate signed by it, expired in 2020
#   future.crt / future.key    one signed by it, valid only from 2090
#   rogue-ca.crt               a certificate authority nobody trusts
#   rogue.crt / rogue.key      a certificate signed by that one
#   trusted.crt                ca.crt (the file of trusted certificates)
set -euo pipefail

dir=${1:?usage: certs.sh <dir>}
mkdir -p "$dir"
cd "$dir"
export OPENSSL_CONF=/dev/null

authority() { # name
  openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 3650 -subj "/CN=Brevant test $1" \
    -keyout "$1.key" -out "$1.crt" 2>/dev/null
}

request() { # name common-name
  openssl req -new -newkey rsa:2048 -sha256 -nodes -subj "/CN=$2" \
    -keyout "$1.key" -out "$1.csr" 2>/dev/null
}

signed() { # name common-name authority
  request "$1" "$2"
  openssl x509 -req -sha256 -days 825 -in "$1.csr" -CA "$3.crt" -CAkey "$3.key" \
    -set_serial "0x$(openssl rand -hex 8)" -out "$1.crt" 2>/dev/null
  rm -f "$1.csr"
}

# Signed with a validity period of its own: openssl ca takes explicit dates.
dated() { # name common-name start end
  request "$1" "$2"
  rm -rf ca-db && mkdir ca-db && : >ca-db/index.txt && echo 01 >ca-db/serial
  cat >ca-db/ca.cnf <<EOF
[ca]
default_ca = dated
[dated]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
default_md = sha256
policy = anything
[anything]
commonName = supplied
EOF
  openssl ca -batch -config ca-db/ca.cnf -cert ca.crt -keyfile ca.key -in "$1.csr" \
    -out "$1.crt" -startdate "$3" -enddate "$4" -notext 2>/dev/null
  rm -rf ca-db "$1.csr"
}

authority ca
authority rogue-ca
signed archive ORTHANC ca
signed station BREVANT ca
signed rogue BREVANT rogue-ca
dated expired ORTHANC 20200101000000Z 20200201000000Z
dated future ORTHANC 20900101000000Z 20910101000000Z
cp ca.crt trusted.crt
echo "certs: made in $(pwd)"
