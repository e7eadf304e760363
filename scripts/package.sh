#!/usr/bin/env bash
# Builds the Debian packages libqmcore0, libqmcore-dev and qmcore-tools into
# build/package/ (dpkg-buildpackage -us -uc -b over debian/).
#
# The build runs on a copy of the checkout's files under build/package/, so
# the checkout gets no build leftovers and the build sees no stray files.
# Through ccache (when installed) a rebuild of unchanged sources compiles
# nothing, from this checkout or any other.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
out=$PWD/build/package
src=$out/qmcore
rm -rf "$out"
mkdir -p "$src"
# The files git knows (with their uncommitted edits) and new ones it does
# not ignore.
git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$src"
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$src" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-20G}"
fi
# Without -dbgsym packages unless DEB_BUILD_OPTIONS asks for them: they cost
# most of the build.
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-nocheck noautodbgsym parallel=$(nproc)}"
(cd "$src" && dpkg-buildpackage -us -uc -b)
rm -rf "$src"
ls "$out"/*.deb
