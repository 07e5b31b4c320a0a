#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang's libFuzzer (and ASan and
# UBSan) in build/fuzz and runs each for FUZZ_SECONDS (default 30) seconds,
# or only the targets named as arguments. Each starts from its saved corpus
# (tests/fuzz/corpus/<name>, kept small) and grows a working copy in
# build/fuzz/corpus/<name>; a crash is written to build/fuzz/crashes/<name>/
# and makes the script fail. Copy a crash into tests/fuzz/corpus/<name>/
# once it is mended: `make test` replays every file there.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-30}
BUILD_DIR=${FUZZ_BUILD:-build/fuzz}
GENERATOR=$(command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
JOBS=${JOBS:-$(nproc)}

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G "$GENERATOR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVDN_FUZZ=ON -DKVDN_SANITIZE=ON -DKVDN_TESTS=OFF -DKVDN_BENCH=OFF -DKVDN_WERROR=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target fuzzers

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in tests/fuzz/*_fuzz.cpp; do
    n=$(basename "$f" _fuzz.cpp)
    targets+=("$n")
  done
fi

failed=()
for name in "${targets[@]}"; do
  work="$BUILD_DIR/corpus/$name"
  crashes="$BUILD_DIR/crashes/$name"
  mkdir -p "$work" "$crashes"
  extra=()
  case "$name" in
    # A helper process per input: larger inputs, a longer time per input.
    xls_reader) extra=(-max_len=65536 -timeout=20) ;;
    *) extra=(-max_len=4096 -timeout=10) ;;
  esac
  echo "== $name: ${SECONDS_EACH}s"
  if ! "$BUILD_DIR/bin/${name}_fuzzer" "$work" "tests/fuzz/corpus/$name" -max_total_time="$SECONDS_EACH" \
    -artifact_prefix="$crashes/" -print_final_stats=1 "${extra[@]}" 2>"$BUILD_DIR/$name.log"; then
    failed+=("$name")
    grep -E 'ERROR|SUMMARY|Test unit written' "$BUILD_DIR/$name.log" | head -20 || true
  fi
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$BUILD_DIR/$name.log" | tr '\n' ' ' || true
  echo "corpus $(find "$work" -type f | wc -l) files"
done
if ((${#failed[@]} > 0)); then
  echo "fuzz: crashes in ${failed[*]} (see $BUILD_DIR/crashes/)" >&2
  exit 1
fi
echo "fuzz: no crash in ${targets[*]}"
