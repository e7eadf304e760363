#!/usr/bin/env bash
# Gathers Authenticode-signed files that others made: Debian's signed EFI
# binaries (GRUB, the shim helpers, fwupd) and, as their root, the Secure
# Boot CA that shim carries as its vendor certificate.
#   fetch_debian_efi.sh OUTDIR
# Uses the installed packages' files when they are there, else downloads
# the packages with apt-get download and unpacks them without installing.
# Exits non-zero (leaving no OUTDIR) when neither works, e.g. offline.
set -euo pipefail
out=$1
rm -rf "$out" "$out.tmp"
mkdir -p "$out.tmp/roots"
cd "$out.tmp"

files=(
  /usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed
  /usr/lib/shim/mmx64.efi.signed
  /usr/lib/shim/fbx64.efi.signed
  /usr/libexec/fwupd/efi/fwupdx64.efi.signed
  /usr/lib/shim/shimx64.efi.signed
)
root=/
if ! ls "${files[@]}" >/dev/null 2>&1; then
  mkdir debs
  (cd debs && apt-get download grub-efi-amd64-signed shim-signed shim-helpers-amd64-signed \
     fwupd-amd64-signed >/dev/null 2>&1)
  for d in debs/*.deb; do dpkg-deb -x "$d" unpacked; done
  root=unpacked
fi
for f in "${files[@]}"; do cp "$root/$f" "$(basename "$f" .signed)"; done

# shim's .vendor_cert section: four 32-bit words (sizes and offsets of the
# allowed and the denied lists), the allowed DER certificate at its offset.
x86_64-w64-mingw32-objcopy -O binary --only-section=.vendor_cert shimx64.efi vendor_cert.bin
read -r size _ offset _ < <(od -An -t u4 -N 16 vendor_cert.bin)
dd if=vendor_cert.bin of=vendor.der bs=1 skip="$offset" count="$size" 2>/dev/null
openssl x509 -inform der -in vendor.der -out roots/debian-secure-boot-ca.pem
rm -rf debs unpacked vendor_cert.bin vendor.der shimx64.efi
cd ..
mv "$out.tmp" "$out"
