#!/bin/sh
# Makes test certificates in folder $1: ca.pem/ca.key, server.pem/key (CN
# 127.0.0.2, signed by the CA), expired.pem/key (signed, ended in 2020),
# other.pem/key (signed, another name), self.pem/key (self-signed).
set -e
d=$1
cd "$d"
q() { "$@" >/dev/null 2>&1; }
q openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Test Root CA"
q openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 30 -subj "/CN=127.0.0.2"
mkdir -p db
: > db/index.txt
echo 1000 > db/serial
cat > ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = db/index.txt
serial = db/serial
new_certs_dir = db
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
CNF
sign() {  # name cn start end
  q openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$2" -addext "subjectAltName=$5"
  q openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in "$1.csr" -out "$1.pem" -startdate "$3" -enddate "$4" -notext
}
sign server 127.0.0.2 20240101000000Z 20990101000000Z "IP:127.0.0.2,DNS:localhost"
sign expired 127.0.0.2 20190101000000Z 20200101000000Z "IP:127.0.0.2"
sign other other.example 20240101000000Z 20990101000000Z "DNS:other.example"
