#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking qmcore
# need. Idempotent: asks dpkg first and touches apt only when something is
# missing, so it costs well under a second on a machine that has everything.
#   scripts/bootstrap.sh        everything the whole test suite needs
#   scripts/bootstrap.sh demo   only what building and running the demo agent
#                               needs (scripts/demo.sh): no Wine, MinGW,
#                               fuzzing or lint tools, and no new apt source
set -euo pipefail
scope=${1:-all}
case $scope in
  all|demo) ;;
  *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac

# The library and the demo agent: a compiler, the build tools and the
# libraries the library links.
demo_packages=(
  cmake ninja-build g++
  # compiler cache: a rebuild of unchanged sources costs nothing
  ccache
  # Boost: headers plus the compiled Filesystem and System
  libboost-dev libboost-filesystem-dev libboost-system-dev
  # elfutils: symbols, source lines and unwinding for stack traces
  libdw-dev
  # OpenSSL: protection of secrets, signatures
  libssl-dev
  # POSIX access lists
  libacl1-dev
)

packages=(
  "${demo_packages[@]}"
  clang-format
  # clang with libFuzzer and its sanitizer runtimes for the fuzz targets
  clang-16 libfuzzer-16-dev libclang-rt-16-dev
  # test and benchmark harnesses
  libgtest-dev libgmock-dev libbenchmark-dev
  # a real system-log daemon for the event-log tests
  rsyslog
  # the peers of the log file benchmark (libsystemd: the journal's own client)
  libspdlog-dev libsystemd-dev
  # procps' libproc2: the peer of the process listing benchmark
  libproc2-dev
  # MinGW and icoutils: PE fixtures with version resources and the reference
  # reader of their bytes; the MinGW zlib DLLs are real PE files to compare
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  gcc-mingw-w64-x86-64-win32 gcc-mingw-w64-i686-win32 icoutils libz-mingw-w64
  # capabilities for the security family; getfacl for its tests
  libcap-dev acl
  # the MinGW cross compilers build the Authenticode test fixtures
  # (osslsigncode, which signs them, follows below)
  gcc-mingw-w64-x86-64 gcc-mingw-w64-i686
  # the command-line splitter is compared with the system's own: a MinGW
  # program calls it under Wine
  g++-mingw-w64-x86-64-posix wine64
  # the Windows build of the library itself (scripts/build.sh windows and
  # windows-x86) needs both posix-thread cross compilers
  g++-mingw-w64-i686-posix
  # GoogleTest's sources, built with the cross compiler for the Windows tests
  googletest
  # clang-tidy for scripts/tidy.sh, and jq, which picks its files out of
  # the builds' compile databases
  clang-tidy-16 jq
  # the Debian packages (scripts/package.sh) and their test
  # (scripts/package-test.sh): debhelper, lintian, help2man for the manual
  # pages, pkg-config, man and systemd-analyze
  debhelper dpkg-dev lintian help2man pkg-config man-db
  # systemd-analyze, and a real journald with journalctl for the journal
  # copy's tests
  systemd
)

[[ $scope == demo ]] && packages=("${demo_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[[ $scope == demo ]] && exit 0

# osslsigncode signs the Authenticode test fixtures; they need 2.6 or later
# (time stamps made offline), which the release has in its backports only.
# The backports source is made from the archive entry the machine already
# has, so it goes through the same mirror.
have=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null || true)
if ! dpkg --compare-versions "${have:-0}" ge 2.6; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  echo "bootstrap: installing osslsigncode from ${codename}-backports"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  source_text=$("$(dirname "$0")/backports-source.sh" /etc/apt "$codename")
  if [[ -n $source_text ]]; then
    printf '%s\n' "$source_text" |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/qmcore-backports.sources >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends -t "${codename}-backports" osslsigncode
fi
