#!/bin/sh
# Makes the test code-signing PKI in DIR (created if missing). Idempotent: a complete DIR is left
# alone. EC P-256 keys, SHA-256 signatures, certificates valid for ten years.
#
# Files written (fixed names):
#   root.key, root.pem               the test code-signing root; the sandbox installs root.pem as
#                                    the platform anchor (/etc/codesign/anchor.pem)
#   intermediate.key, intermediate.pem
#                                    an issuing CA under root.pem
#   team.key, team.pem               leaf of team OU "Q4TZ7WMR2K", issued by intermediate.pem
#   team-chain.pem                   the intermediates to ship with team.pem (intermediate.pem)
#   otherteam.key, otherteam.pem     leaf of another team (OU "7QX2LMN4PA"), issued directly by
#                                    root.pem
#   otherroot.key, otherroot.pem     a second, unrelated root
#   rogue.key, rogue.pem             leaf of OU "Q4TZ7WMR2K" issued by otherroot.pem
#
# Every leaf has keyUsage digitalSignature and extendedKeyUsage codeSigning.
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
dir=$1
stamp="$dir/.complete-v1"
if [ -f "$stamp" ]; then
  exit 0
fi

mkdir -p "$dir"
work=$(mktemp -d "$dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
umask 077

cat >"$work/ca.ext" <<'EXT'
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EXT
cat >"$work/leaf.ext" <<'EXT'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EXT

newkey() {
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/$1.key" 2>/dev/null
}

# selfsigned NAME SUBJECT
selfsigned() {
  newkey "$1"
  openssl req -x509 -new -key "$work/$1.key" -sha256 -days 3650 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" \
    -out "$work/$1.pem"
}

# issue NAME SUBJECT ISSUER EXTFILE
issue() {
  newkey "$1"
  openssl req -new -key "$work/$1.key" -subj "$2" -out "$work/$1.csr"
  openssl x509 -req -in "$work/$1.csr" -CA "$work/$3.pem" -CAkey "$work/$3.key" \
    -set_serial "0x$(openssl rand -hex 12)" -sha256 -days 3650 \
    -extfile "$work/$4" -out "$work/$1.pem" 2>/dev/null
  rm -f "$work/$1.csr"
}

selfsigned root "/C=US/O=Tamsel Test PKI/OU=Code Signing/CN=Tamsel Test Code Signing Root"
issue intermediate "/C=US/O=Tamsel Test PKI/OU=Code Signing/CN=Tamsel Test Developer CA" \
  root ca.ext
issue team "/C=US/ST=California/L=Cupertino/O=Tamsel Test Team/OU=Q4TZ7WMR2K/CN=Tamsel Test Team (Q4TZ7WMR2K)" \
  intermediate leaf.ext
cp "$work/intermediate.pem" "$work/team-chain.pem"
issue otherteam "/C=US/O=Other Test Team/OU=7QX2LMN4PA/CN=Other Test Team (7QX2LMN4PA)" \
  root leaf.ext
selfsigned otherroot "/C=US/O=Unrelated Test PKI/OU=Code Signing/CN=Unrelated Test Root"
issue rogue "/C=US/O=Tamsel Test Team/OU=Q4TZ7WMR2K/CN=Tamsel Test Team (Q4TZ7WMR2K)" \
  otherroot leaf.ext

# Certificates are public; keys stay private to the owner.
chmod 0644 "$work"/*.pem
rm -f "$work"/*.ext
for f in "$work"/*.key "$work"/*.pem; do
  mv -f "$f" "$dir/"
done
: >"$stamp"
