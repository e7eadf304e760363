#!/usr/bin/env bash
# Makes the signed PE files the signature tests check: a test root and
# intermediate valid for a century, signing certificates for the cases the
# checks tell apart (and a few whose own signature is SHA-1), small 32- and
# 64-bit programs built with the MinGW cross compilers, and those programs
# signed with osslsigncode.
#   make_fixtures.sh OUTDIR
# OUTDIR/roots holds the trusted root only (the tests point the library's
# roots folder there); OUTDIR/*.exe are the signed and unsigned files;
# OUTDIR/stamper the time-stamp authority's certificate and key, and those
# of a certificate without usages and of a time-stamp authority under a
# server-only intermediate (its chain); OUTDIR/limited/*.exe are signed
# through intermediates that limit their usages.
set -euo pipefail
out=$1
rm -rf "$out.tmp"
mkdir -p "$out.tmp/roots" "$out.tmp/pki"
cd "$out.tmp/pki"

# A CA database, so that certificates can carry explicit validity dates.
cat > ca.cnf <<'CNF'
[ca]
default_ca = test_ca
[test_ca]
dir = .
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = optional
organizationName = optional
organizationalUnitName = optional
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server_ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[code_ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
extendedKeyUsage = codeSigning, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[root_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[code_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[tls_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
[plain_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
[tsa_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
CNF
century_start=20200101000000Z
century_end=21191231000000Z
: > index.txt
echo 1000 > serial

# A self-signed CA certificate valid for a century from 2020, so that time
# stamps from the past chain to it: NAME SUBJECT.
make_root() {
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  openssl ca -batch -notext -selfsign -config ca.cnf -keyfile "$1.key" -in "$1.csr" \
    -out "$1.pem" -extensions root_ext -startdate "$century_start" -enddate "$century_end" \
    2>/dev/null
}

# A certificate issued by ISSUER: NAME SUBJECT ISSUER EXTENSION START END
# [DIGEST], signed with SHA-256 unless DIGEST is named.
issue() {
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  openssl ca -batch -notext -config ca.cnf -md "${7:-sha256}" -cert "$3.pem" -keyfile "$3.key" \
    -in "$1.csr" -out "$1.pem" -extensions "$4" -startdate "$5" -enddate "$6" 2>/dev/null
}

make_root root "/CN=Signature Test Root/O=Signature Tests"
issue inter "/CN=Signature Test Intermediate/O=Signature Tests" root ca_ext "$century_start" "$century_end"
issue vantrel "/CN=Vantrel Software Ltd/O=Vantrel" inter code_ext "$century_start" "$century_end"
issue orgonly "/O=Vantrel Systems" inter code_ext "$century_start" "$century_end"
issue acme "/CN=Acme Tools/O=Acme" inter code_ext "$century_start" "$century_end"
issue expired "/CN=Vantrel Expired Signer" inter code_ext 20200101000000Z 20210101000000Z
issue web "/CN=Vantrel Web Server" inter tls_ext "$century_start" "$century_end"
issue tsa "/CN=Signature Test Time Stamps" inter tsa_ext "$century_start" "$century_end"
issue plain "/CN=Vantrel No Usage" inter plain_ext "$century_start" "$century_end"
# Intermediates limited by their usages: one for servers only, one for
# code and time stamps.
issue serverca "/CN=Signature Test Server CA/O=Signature Tests" root server_ca_ext "$century_start" "$century_end"
issue serverca_signer "/CN=Vantrel Signer Under Server CA" serverca code_ext "$century_start" "$century_end"
issue serverca_tsa "/CN=Time Stamps Under Server CA" serverca tsa_ext "$century_start" "$century_end"
issue codeca "/CN=Signature Test Code CA/O=Signature Tests" root code_ca_ext "$century_start" "$century_end"
issue codeca_signer "/CN=Vantrel Signer Under Code CA" codeca code_ext "$century_start" "$century_end"
make_root other "/CN=Other Root"
issue stranger "/CN=Vantrel Stranger" other code_ext "$century_start" "$century_end"
openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 36500 \
  -subj "/CN=Vantrel Self Signed" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
# Signers whose own certificates are signed with SHA-1.
issue legacy "/CN=Vantrel Legacy Signer" inter code_ext "$century_start" "$century_end" sha1
issue legacy_expired "/CN=Vantrel Legacy Expired" inter code_ext 20200101000000Z 20210101000000Z sha1
issue legacy_web "/CN=Vantrel Legacy Web Server" inter tls_ext "$century_start" "$century_end" sha1
issue legacy_stranger "/CN=Vantrel Legacy Stranger" other code_ext "$century_start" "$century_end" sha1

cp root.pem ../roots/root.pem
for c in vantrel orgonly acme expired web tsa; do cat "$c.pem" inter.pem > "$c.chain"; done
cat stranger.pem other.pem > stranger.chain
# The legacy signers carry their whole chain, root included, so that a
# system that does not trust the root finds it and says so.
for c in legacy legacy_expired legacy_web; do cat "$c.pem" inter.pem root.pem > "$c.chain"; done
cat legacy_stranger.pem other.pem > legacy_stranger.chain
for c in serverca_signer serverca_tsa; do cat "$c.pem" serverca.pem > "$c.chain"; done
cat codeca_signer.pem codeca.pem > codeca_signer.chain
cp self.pem self.chain

# The programs: one small one per word size, and one of several megabytes
# for timing.
cat > hello.c <<'C'
#include <stdio.h>
int main(void) { puts("signed hello"); return 0; }
C
cat > big.c <<'C'
#include <stdio.h>
static const volatile unsigned char payload[6 << 20] = {1, 2, 3};
int main(void) { return payload[0] + payload[sizeof payload - 1]; }
C
x86_64-w64-mingw32-gcc -O2 -s -o hello64.exe hello.c
i686-w64-mingw32-gcc -O2 -s -o hello32.exe hello.c
x86_64-w64-mingw32-gcc -O2 -s -o big.exe big.c
cp hello64.exe ../unsigned.exe

# sign INPUT OUTPUT CERT DIGEST [extra osslsigncode arguments]
sign() {
  local in=$1 outfile=$2 cert=$3 digest=$4
  shift 4
  osslsigncode sign -certs "$cert.chain" -key "$cert.key" -h "$digest" -n "Signature test" \
    "$@" -in "$in" -out "../$outfile" >/dev/null
}
# A time stamp made by the built-in time-stamp authority at a moment when the
# expired signer was still valid (2020-06-01).
stamp=(-TSA-certs tsa.chain -TSA-key tsa.key -TSA-time 1590969600)

sign hello64.exe good64.exe vantrel sha256
sign hello32.exe good32.exe vantrel sha256
sign hello64.exe sha1.exe vantrel sha1
sign hello64.exe orgonly.exe orgonly sha256
sign hello64.exe acme.exe acme sha256
sign hello64.exe expired.exe expired sha256 -time 1590969600
sign hello64.exe expired_stamped.exe expired sha256 -time 1590969600 "${stamp[@]}"
sign hello64.exe stamped.exe vantrel sha256 "${stamp[@]}"
sign hello64.exe self.exe self sha256
sign hello64.exe web.exe web sha256
sign hello64.exe stranger.exe stranger sha256
sign big.exe big.exe vantrel sha256
# Chains through the limited intermediates, kept apart from the files above:
# the comparison program does not look at an issuer's usages, so these are
# held to the rule alone (a chain serves only what each certificate allows).
mkdir ../limited
sign hello64.exe limited/server_ca.exe serverca_signer sha256
sign hello64.exe limited/code_ca.exe codeca_signer sha256
sign hello64.exe limited/expired_stamped_server_ca.exe expired sha256 -time 1590969600 \
  -TSA-certs serverca_tsa.chain -TSA-key serverca_tsa.key -TSA-time 1590969600
mkdir ../legacy
sign hello64.exe legacy/good.exe legacy sha256
sign hello64.exe legacy/expired.exe legacy_expired sha256 -time 1590969600
sign hello64.exe legacy/web.exe legacy_web sha256
sign hello64.exe legacy/stranger.exe legacy_stranger sha256
cp ../good64.exe nested_base.exe
osslsigncode sign -certs acme.chain -key acme.key -h sha256 -nest -in nested_base.exe \
  -out ../nested.exe >/dev/null

# The time-stamp authority's key stays, for tests that counter-sign, and so
# does that of a certificate that names no usage at all.
mkdir ../stamper
cp tsa.pem tsa.key plain.pem plain.key ../stamper/
cp serverca_tsa.chain ../stamper/server_ca_tsa.pem
cp serverca_tsa.key ../stamper/server_ca_tsa.key
cd ..
rm -rf pki
cd ..
rm -rf "$out"
mv "$out.tmp" "$out"
