#!/usr/bin/env bash
# Builds the signature reader's libFuzzer target with clang (AddressSanitizer
# and UndefinedBehaviorSanitizer on the reader's own sources; the rest of the
# library is linked from a release build's archive of its objects) and runs
# it, seeded with the signed fixtures, for a while.
#   run_fuzz.sh BUILD_DIR [SECONDS]
# BUILD_DIR is a configured build tree that has built qmcore_internal and
# signatures_tests (for the fixtures).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../../krcore" && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-60}
work="$build/tests/signatures/fuzz"
mkdir -p "$work/corpus"
cp "$build"/tests/signatures/fixtures/*.exe "$work/corpus/"
rm -f "$work/corpus/big.exe"  # too large to mutate usefully

clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -DKRCORE_BUILDING_LIBRARY -I"$src/include" -I"$src/src" \
  "$here/signature_reader_fuzz.cpp" \
  "$src/src/signatures/pe_layout.cpp" \
  "$src/src/signatures/linux/pe_signature.cpp" \
  "$src/src/signatures/linux/signed_data.cpp" \
  "$src/src/signatures/linux/authenticode.cpp" \
  "$src/src/signatures/linux/cert_context.cpp" \
  "$src/src/signatures/linux/code_roots.cpp" \
  "$src/src/signatures/linux/x509_bytes.cpp" \
  "$build/krcore/libqmcore_internal.a" -ldw -lcrypto -licuuc -lacl -lcap -lboost_filesystem \
  -ldl -lpthread \
  -o "$work/signature_reader_fuzz"

export KRCORE_CODESIGN_ROOTS="$build/tests/signatures/fixtures/roots"
# OpenSSL keeps per-thread and global state for the process's life.
export ASAN_OPTIONS=detect_leaks=1
"$work/signature_reader_fuzz" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
  "$work/corpus"
