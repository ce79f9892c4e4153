#!/usr/bin/env bash
# The HTTPS tests' certificates, and the system trust store change they need.
#
#   scripts/test-ca.sh setup   DIR   make the certificates in DIR and, as root,
#                                    add the test CA to the system trust store
#   scripts/test-ca.sh cleanup DIR   take the test CA out of the trust store
#                                    again (as root) and forget DIR's state
#
# Made fresh for every run, never committed:
#   ca.crt/ca.key         "kivHttp test CA", valid only for localhost and
#                         127.0.0.1 (name constraints), so that a copy left
#                         behind by a killed run vouches for nothing else
#   server.crt/server.key localhost + 127.0.0.1, issued by the test CA
#   self.crt/self.key     localhost, self-signed: trusted by nobody
#   trusted               present while the CA is in the trust store
#
# The CA goes to /usr/local/share/ca-certificates under a name derived from
# DIR, so that runs from different build trees do not undo each other's, and
# update-ca-certificates runs under a lock. Its hooks (the Java keystore)
# are skipped: libcurl reads only /etc/ssl/certs, and the hooks' own stores
# are then never touched. Clean-up removes the file and rebuilds with
# --fresh. The CTest fixture in cmake/KivReliability.cmake calls both steps;
# clean-up also runs when tests fail.
set -euo pipefail

usage() {
  echo "usage: $0 setup|cleanup DIR" >&2
  exit 2
}
(($# == 2)) || usage
action=$1
dir=$2

local_certs=/usr/local/share/ca-certificates
tag=$(printf '%s' "$(cd "$(dirname "$dir")" 2>/dev/null && pwd)/$(basename "$dir")" | cksum | cut -d' ' -f1)
trusted_name="kivhttp-test-ca-$tag.crt"
lock=/run/lock/kivhttp-test-ca.lock
[[ -d /run/lock ]] || lock=/tmp/kivhttp-test-ca.lock

update_store() {
  local hooks
  hooks=$(mktemp -d)
  # One update at a time, so that concurrent runs never lose each other's CA.
  local out status=0
  out=$(flock "$lock" update-ca-certificates --hooksdir "$hooks" "$@" 2>&1) || status=$?
  rmdir "$hooks"
  if ((status != 0)); then
    echo "$out" >&2
    return "$status"
  fi
}

make_certs() {
  rm -rf "$dir"
  mkdir -p "$dir"
  cd "$dir"
  cat >ca.cnf <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = kivHttp test CA
O = kivHttp tests
[ca]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
nameConstraints = critical, permitted;DNS:localhost, permitted;IP:127.0.0.1/255.255.255.255
[leaf]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
authorityKeyIdentifier = keyid
[self]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
EOF
  openssl req -x509 -new -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 \
    -config ca.cnf -extensions ca 2>/dev/null
  openssl req -new -newkey rsa:2048 -nodes -keyout server.key -out server.csr \
    -subj "/CN=localhost/O=kivHttp tests" 2>/dev/null
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt \
    -days 2 -extfile ca.cnf -extensions leaf 2>/dev/null
  openssl req -x509 -new -newkey rsa:2048 -nodes -keyout self.key -out self.crt -days 2 \
    -subj "/CN=localhost/O=kivHttp tests, self-signed" -config ca.cnf -extensions self 2>/dev/null
  openssl verify -CAfile ca.crt server.crt >/dev/null
  rm -f server.csr ca.srl
}

case "$action" in
setup)
  if ! command -v openssl >/dev/null; then
    echo "test-ca: no openssl; the HTTPS tests will skip" >&2
    exit 0
  fi
  (make_certs)
  if ((EUID != 0)); then
    echo "test-ca: not root, the test CA is not trusted; the tests that need it will skip"
    exit 0
  fi
  if ! command -v update-ca-certificates >/dev/null; then
    echo "test-ca: no update-ca-certificates; the tests that need the CA will skip"
    exit 0
  fi
  install -m 0644 "$dir/ca.crt" "$local_certs/$trusted_name"
  update_store
  if ! grep -q "$(sed -n 2p "$dir/ca.crt")" /etc/ssl/certs/ca-certificates.crt; then
    echo "test-ca: the CA did not reach /etc/ssl/certs/ca-certificates.crt" >&2
    rm -f "$local_certs/$trusted_name"
    update_store --fresh
    exit 1
  fi
  echo "$local_certs/$trusted_name" >"$dir/trusted"
  echo "test-ca: trusted $local_certs/$trusted_name"
  ;;
cleanup)
  rm -f "$dir/trusted"
  if ((EUID == 0)) && [[ -e "$local_certs/$trusted_name" ]]; then
    rm -f "$local_certs/$trusted_name"
    update_store --fresh
    echo "test-ca: removed $local_certs/$trusted_name"
  fi
  ;;
*)
  usage
  ;;
esac
