#!/usr/bin/env bash
# Installs the build and test tools Quillmark needs, only when some are missing.
set -euo pipefail

# The Python package's tests and the fleet example use Debian's NumPy, pytest and Dask; the
# package checks use venv, pkg-config and dpkg-shlibdeps (dpkg-dev).
packages=(build-essential cmake zlib1g-dev libdeflate-dev libgtest-dev libgmock-dev googletest libbenchmark-dev nlohmann-json3-dev tzdata
          python3 python3-numpy python3-pytest python3-venv python3-distributed pkgconf dpkg-dev)

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$pkg")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all build dependencies are installed"
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
  else
    echo "setup: missing ${missing[*]}; run this script as root to install them" >&2
    exit 1
  fi
fi

echo "setup: installing ${missing[*]}"
"${sudo[@]}" apt-get update </dev/null
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" </dev/null
