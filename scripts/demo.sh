#!/usr/bin/env bash
# Builds Quillmark in ./build and runs the demo (or, without the command-line tool, the tests).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"

if [[ -x build/tools/quillmark ]]; then
  build/tools/quillmark demo out
else
  echo "demo: the command-line tool build/tools/quillmark is not built yet; running the tests instead"
  ctest --test-dir build --output-on-failure -j2
fi
