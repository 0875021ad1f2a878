#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short time (default 60 s) from
# the seed corpora in fuzz/corpus. For a longer local run: FUZZ_SECONDS=3600 bash scripts/fuzz-smoke.sh
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"

bash scripts/setup.sh
missing=()
for pkg in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
rm -rf build-fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQM_BUILD_FUZZ=ON -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF
cmake --build build-fuzz -j"$(nproc)" --target fuzz_reopen_append fuzz_sort fuzz_read_stream fuzz_inflate
export ASAN_OPTIONS=detect_leaks=1
for target in reopen_append sort read_stream inflate; do
  corpus_seed=fuzz/corpus/files
  [ "$target" = inflate ] && corpus_seed=fuzz/corpus/inflate
  work="build-fuzz/corpus-$target"
  mkdir -p "$work"
  echo "fuzzing $target for $seconds s"
  (cd build-fuzz && ./fuzz/fuzz_$target -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
      -max_len=65536 -print_final_stats=1 "../$work" "../$corpus_seed" > "../$work.log" 2>&1) || { grep -v "^#\|^INFO" "$work.log" | tail -n 60; exit 1; }
  tail -n 6 "$work.log"
done
