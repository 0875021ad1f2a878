#!/usr/bin/env bash
# Builds Quillmark in ./build and runs the demo: writes a measurement and its sorted copy in ./out.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
build/tools/quillmark demo out
