#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on each target's own parser sources; the rest
# of the library comes from the release build) and runs them over their seed
# corpora.
#   scripts/fuzz.sh                  every target, 30 s each
#   scripts/fuzz.sh --ci             every target, 15 s each: the short pass
#                                    of the test run
#   scripts/fuzz.sh TARGET [SECONDS [RUNS]]
#                                    one target (SECONDS 0: until stopped;
#                                    RUNS: stop after that many executions)
#   FUZZ_SECONDS=N scripts/fuzz.sh   every target, N s each
# New inputs and crash files go to build/fuzz/<target>/, never into the
# repository's corpora. A target is rebuilt only when this script, its own
# sources or a file of the library is newer than its binary. Exits non-zero
# when a target fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/bootstrap.sh
cxx=$(command -v clang++-16 || command -v clang++)

# name | fuzz source | instrumented library sources | extra flags and libs |
# run options: libFuzzer flags, then ASan options, split by a comma.
# The value files' parser is line by line, so 4 KiB texts reach every path;
# without a cap libFuzzer lets inputs grow to 64 KiB over a long run and each
# execution costs that much more. Its inputs allocate far less than 16 MiB,
# so a 16 MiB quarantine still catches a use after free within one input and
# spares the allocator's page faults.
targets=(
  "base64|fuzz/base64_fuzz.cpp|krcore/src/sysutil/encodings.cpp|"
  "hex|fuzz/hex_fuzz.cpp|krcore/src/sysutil/encodings.cpp|"
  "guid|fuzz/guid_fuzz.cpp|krcore/src/sysutil/encodings.cpp|"
  "utf|fuzz/utf_fuzz.cpp|krcore/src/foundation/utf.cpp|"
  "splitstring|fuzz/splitstring_fuzz.cpp|krcore/src/foundation/exceptions.cpp|"
  "cmdline_split|fuzz/cmdline_split_fuzz.cpp|krcore/src/cmdline/splitting.cpp|"
  "version_reader|fuzz/version_reader_fuzz.cpp|krcore/src/versions/linux/image_resource.cpp krcore/src/versions/version_tree.cpp|"
  "wql_parse|fuzz/wql_parse_fuzz.cpp|krcore/src/processes/wql_parse.cpp|"
  "protection_blob|tests/protection/blob_fuzz.cpp|$(echo krcore/src/protection/*.cpp krcore/src/protection/linux/*.cpp) krcore/src/sysutil/encodings.cpp krcore/src/foundation/utf.cpp|-DKRCORE_FUZZ_MAIN -Itests -lcrypto -lboost_filesystem"
  "log_filter|fuzz/log_filter_fuzz.cpp|krcore/src/logging/log_filter.cpp|"
  "value_file|fuzz/value_file_fuzz.cpp|krcore/src/registry/linux/value_file.cpp||-max_len=4096,quarantine_size_mb=16"
  "regfile|fuzz/regfile_fuzz.cpp|tools/krreg/regfile.cpp krcore/src/registry/linux/value_file.cpp|-Itools/krreg"
  "signature_reader|tests/signatures/fuzz/signature_reader_fuzz.cpp|krcore/src/signatures/pe_layout.cpp $(echo krcore/src/signatures/linux/{pe_signature,signed_data,authenticode,cert_context,code_roots,x509_bytes}.cpp)|-lcrypto"
)
# Seed corpora: the repository's, and for the signature reader the signed
# files the signature tests make.
corpus_of() {
  case $1 in
    protection_blob) echo tests/protection/fuzz_corpus ;;
    signature_reader) echo build/release/tests/signatures/fixtures ;;
    *) echo "fuzz/corpus/$1" ;;
  esac
}

# The rest of the library comes from its objects' archive (the shared
# library exports no internals), with what those objects link.
internal_libs="-ldw -lcrypto -licuuc -lacl -lcap -lboost_filesystem -ldl -lpthread"

only=${1:-}
default_seconds=30
if [[ $only == --ci ]]; then
  only=
  default_seconds=15
fi
seconds=${2:-${FUZZ_SECONDS:-$default_seconds}}
runs=${3:-}
scripts/build.sh release qmcore_internal signatures_tests >/dev/null

failed=()
for entry in "${targets[@]}"; do
  IFS='|' read -r name source sources extra options <<<"$entry"
  IFS=',' read -r fuzz_flags asan_flags <<<"$options"
  [[ -z $only || $only == "$name" ]] || continue
  work=$root/build/fuzz/$name
  mkdir -p "$work/corpus"
  # shellcheck disable=SC2086
  if [[ ! -x $work/$name ]] ||
     [[ -n $(find $source $sources krcore/include krcore/src scripts/fuzz.sh build/release/krcore/libqmcore_internal.a -newer "$work/$name" \
               -type f -print -quit) ]]; then
    "$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
      -DKRCORE_BUILDING_LIBRARY -Ikrcore/include -Ikrcore/src "$source" $sources \
      build/release/krcore/libqmcore_internal.a $extra $internal_libs \
      -o "$work/$name"
  fi
  seeds=$(corpus_of "$name")
  # Seeds under 1 MiB, counted in bytes: find rounds -size -1M up to whole
  # MiB, which would leave out every non-empty file.
  find "$seeds" -maxdepth 1 -type f -size -1048576c -exec cp -n {} "$work/corpus/" \;
  export KRCORE_CODESIGN_ROOTS=$root/build/release/tests/signatures/fixtures/roots
  limit=(-max_total_time="$seconds")
  ((seconds > 0)) || limit=()
  [[ -z $runs ]] || limit+=(-runs="$runs")
  echo "fuzz: $name for ${seconds}s${runs:+ or $runs runs}"
  # shellcheck disable=SC2086
  if ! (cd "$work" && ASAN_OPTIONS=detect_leaks=1${asan_flags:+:$asan_flags} "./$name" "${limit[@]}" \
          -max_len=65536 $fuzz_flags \
          -print_final_stats=1 -artifact_prefix="$work/" corpus 2>"$work/log"); then
    failed+=("$name")
    tail -40 "$work/log"
  fi
  grep -E "stat::number_of_executed_units" "$work/log" | sed "s/^/fuzz: $name /" || true
done
if ((${#failed[@]})); then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: every target ran clean"
