#!/usr/bin/env bash
# Creates the certificates of one test run in the folder given as $1:
#   ca.pem / ca.der        test CA, added to the Wine prefix's Root store
#   server.pem/server.key  "localhost" + 127.0.0.1, issued by the test CA
#                          (127.0.0.1 also as a DNS name: Wine matches only DNS
#                          names of the subject alternative name)
#   badca.pem/badca.key    self-signed "localhost" that chains to nothing trusted
#   codesign.pem/.key/.der code signing "QLN Test Code Signing", issued by the
#                          test CA: signs the run's packages (make-package.sh
#                          takes it from its --cert-dir) and daemon
#   othersign.pem/.key/.der code signing "QLN Other Code Signing", issued by
#                          the test CA: another company's genuine certificate
# Keys never leave the run's temporary folder.
set -euo pipefail

dir=${1:?usage: make-certs.sh <output dir>}
mkdir -p "$dir"
cd "$dir"

cat > ca.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca_ext
[dn]
CN = QLN Test Root CA
O = QLN Test
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF

cat > server.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = localhost
O = QLN Test
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, DNS:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

cat > badca.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = leaf_ext
[dn]
CN = localhost
O = QLN Untrusted
[leaf_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, DNS:127.0.0.1
CNF

for name in codesign othersign; do
    cn="QLN Test Code Signing"
    [ "$name" = othersign ] && cn="QLN Other Code Signing"
    cat > "$name.cnf" <<CNF
[req]
distinguished_name = dn
prompt = no
[dn]
CN = $cn
O = QLN Test
[sign_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
done

quiet() {
    local out
    out=$("$@" 2>&1) || { echo "make-certs: failed: $*" >&2; echo "$out" >&2; exit 1; }
}

quiet openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3 \
    -keyout ca.key -out ca.pem -config ca.cnf
quiet openssl x509 -in ca.pem -outform DER -out ca.der

quiet openssl req -new -newkey rsa:2048 -nodes -sha256 \
    -keyout server.key -out server.csr -config server.cnf
quiet openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
    -sha256 -days 2 -extfile server.cnf -extensions server_ext -out server.pem

quiet openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 \
    -keyout badca.key -out badca.pem -config badca.cnf

for name in codesign othersign; do
    quiet openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout "$name.key" -out "$name.csr" -config "$name.cnf"
    quiet openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
        -sha256 -days 2 -extfile "$name.cnf" -extensions sign_ext -out "$name.pem"
    quiet openssl x509 -in "$name.pem" -outform DER -out "$name.der"
    rm -f "$name.csr"
done

chmod 600 ./*.key
rm -f server.csr ca.srl
