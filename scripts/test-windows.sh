#!/usr/bin/env bash
# Cross-builds quillmark.dll, its import library and the tests for 64-bit Windows with mingw-w64,
# checks the DLL's exports, and runs the test suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-windows"
started=$SECONDS
phase_start=$SECONDS
phase() {
  echo "test-windows: $1 took $((SECONDS - phase_start)) s"
  phase_start=$SECONDS
}

# ---- Tools: only what is missing is installed -------------------------------------------------
packages=(cmake make g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest nlohmann-json3-dev wine wine64 tzdata)
missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "test-windows: missing ${missing[*]}; run this script as root to install them" >&2
      exit 1
    fi
  fi
  echo "test-windows: installing ${missing[*]}"
  "${sudo[@]}" apt-get update </dev/null
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" </dev/null
fi
phase "installing tools"

# ---- Wine: a private prefix in the build folder, no questions, no display --------------------
rm -rf "$build"
mkdir -p "$build"
export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
# One server for the whole run instead of one per test program.
mkdir -p "$WINEPREFIX"
wineserver -p
wineboot -i </dev/null >/dev/null 2>&1
# Wine's background services start with the first program and keep its output streams open;
# started here, they cannot hold up a test whose output ctest waits for.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1
phase "preparing Wine"

# ---- Cross build -----------------------------------------------------------------------------
# Windows finds a program's DLLs beside it: the DLL, the CLI and the tests share one folder.
cmake -S "$root" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$build/bin" \
  -DQM_BUILD_BENCH=OFF -DQM_BUILD_FUZZ=OFF
jobs=$(nproc)
(( jobs > 2 )) && jobs=2
cmake --build "$build" -j"$jobs"
phase "building"

# ---- The DLL exports exactly the C interface, and needs nothing but system DLLs ---------------
dll="$build/bin/quillmark.dll"
[[ -f "$dll" ]] || { echo "test-windows: $dll was not built" >&2; exit 1; }
[[ -f "$build/libquillmark.dll.a" ]] || { echo "test-windows: import library missing" >&2; exit 1; }
expected=$(sed -n '/global:/,/local:/p' cmake/quillmark.map | grep -E '^[[:space:]]+[A-Za-z_][A-Za-z0-9_]*;' |
  tr -d ' \t;' | LC_ALL=C sort)
actual=$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]+\[ *[0-9]+\]' |
  awk '{ print $NF }' | LC_ALL=C sort)
if [[ "$actual" != "$expected" ]]; then
  echo "test-windows: exports of quillmark.dll differ from cmake/quillmark.map:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "test-windows: quillmark.dll exports the $(echo "$expected" | wc -l) functions of the C interface"
imports=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ { print $3 }' | LC_ALL=C sort -f)
foreign=$(echo "$imports" | grep -viE '^(kernel32|msvcrt|oleaut32|user32|advapi32|ucrtbase|api-ms-win-.*)\.dll$' || true)
if [[ -n "$foreign" ]]; then
  echo "test-windows: quillmark.dll needs DLLs that are not part of Windows: $foreign" >&2
  exit 1
fi

# ---- Tests under Wine ------------------------------------------------------------------------
# Wine takes the system time zone from TZ. The suite runs in Central Europe; the tests whose
# expectations depend on the zone run once more in Eastern Australia (summer in January).
TZ=Europe/Berlin ctest --test-dir "$build" --output-on-failure -j"$jobs"
TZ=Australia/Sydney ctest --test-dir "$build" --output-on-failure -j"$jobs" \
  -R '^TimeTest\.'
phase "testing"

# ---- The same host on both systems ---------------------------------------------------------
# The C host, built for Windows and run under Wine, writes, reopens, appends and sorts its
# files; the Linux command must show the same groups, channels, counts and values for them as
# for the files of the same host built for Linux (time fields aside).
linux_build="$root/build"
if [[ -x "$linux_build/tools/quillmark" && -x "$linux_build/tests/qm_c_host" ]]; then
  compare="$build/compare"
  rm -rf "$compare" && mkdir -p "$compare/linux" "$compare/windows"
  "$linux_build/tests/qm_c_host" "$compare/linux" >/dev/null
  (cd "$compare/windows" && wine "$build/bin/qm_c_host.exe" . </dev/null >/dev/null)
  for f in c_host.mf4 c_host_sorted.mf4; do
    for side in linux windows; do
      "$linux_build/tools/quillmark" info "$compare/$side/$f" |
        grep -viE 'start time|time:|^file|[0-9]{4}-[0-9]{2}-[0-9]{2}' >"$compare/$side/$f.info"
      "$linux_build/tools/quillmark" export "$compare/$side/$f" --output "$compare/$side/$f.csv" >/dev/null
    done
    diff -u "$compare/linux/$f.info" "$compare/windows/$f.info"
    diff -ru "$compare/linux/$f.csv" "$compare/windows/$f.csv"
  done
  echo "test-windows: the Windows host's files show the same groups, channels, counts and values as the Linux host's"
else
  echo "test-windows: no Linux build in ./build; the comparison with the Linux host is skipped"
fi
echo "test-windows: all done in $((SECONDS - started)) s"
