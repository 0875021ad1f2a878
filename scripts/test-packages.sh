#!/usr/bin/env bash
# Builds the packages and checks them: the Debian package (contents, installed, a C host built
# against it with pkg-config alone, the command's version), the Python package installed with
# pip into a virtual environment, and the zip of the Windows cross build (contents).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh
jobs=$(nproc)
(( jobs > 2 )) && jobs=2
work=$(mktemp -d)
installed=""
cleanup() {
  [[ -n "$installed" ]] && dpkg --purge quillmark >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "test-packages: $*" >&2; exit 1; }
version=$(sed -n 's/^project(Quillmark VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# ---- Debian package ---------------------------------------------------------------------------
build="$root/build-package"
rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release \
  -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/quillmark_"$version"_*.deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/deb.txt"
for want in usr/bin/quillmark usr/include/quillmark/quillmark.h usr/include/quillmark/version.h \
            'usr/lib/(.*/)?libquillmark\.so' 'usr/lib/(.*/)?libquillmark\.so\.1' \
            "usr/lib/(.*/)?libquillmark\.so\.$version" 'usr/lib/(.*/)?pkgconfig/quillmark\.pc' \
            'usr/lib/(.*/)?cmake/Quillmark/QuillmarkConfig\.cmake'; do
  grep -qE "^\./$want\$" "$work/deb.txt" || fail "$(basename "$deb") lacks $want"
done
mkdir -p "$work/deb" && dpkg-deb -x "$deb" "$work/deb"
soname=$(objdump -p "$(find "$work/deb" -name "libquillmark.so.$version")" | awk '/SONAME/ { print $2 }')
[[ "$soname" == libquillmark.so.1 ]] || fail "SONAME is '$soname'"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "$(basename "$deb") names no dependencies"
echo "test-packages: $(basename "$deb") holds the library ($soname), header, CMake and pkg-config files and the command"

# Installed where the system looks (as root), else unpacked and found through PKG_CONFIG_PATH.
if [[ $(id -u) -eq 0 && "$(dpkg-query -W -f='${Status}' quillmark 2>/dev/null)" != *" installed" ]]; then
  dpkg -i "$deb" >/dev/null
  installed=yes
  q=/usr/bin/quillmark
else
  export PKG_CONFIG_PATH=$(dirname "$(find "$work/deb" -name quillmark.pc)")
  export LD_LIBRARY_PATH=$(dirname "$(find "$work/deb" -name libquillmark.so.1)")
  q="$work/deb/usr/bin/quillmark"
fi
[[ "$(pkg-config --modversion quillmark)" == "$version" ]] || fail "pkg-config does not find quillmark $version"
cat >"$work/version.c" <<C
#include <stdio.h>
#include <quillmark/quillmark.h>
int main(void) { printf("%s %d\n", QUILLMARK_VERSION_STRING, QUILLMARK_VERSION_MAJOR); return 0; }
C
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror "$work/version.c" -o "$work/version" $(pkg-config --cflags --libs quillmark)
# shellcheck disable=SC2046
cc -std=c99 -Wall tests/api/c_host.c -o "$work/c_host" $(pkg-config --cflags --libs quillmark)
[[ "$("$work/version")" == "$version ${version%%.*}" ]] || fail "version macros differ from $version"
mkdir -p "$work/host" && "$work/c_host" "$work/host" >/dev/null
"$q" info "$work/host/c_host_sorted.mf4" >/dev/null
[[ "$("$q" --version)" == "quillmark $version" ]] || fail "quillmark --version does not print $version"
echo "test-packages: a C host built with pkg-config alone writes and sorts files; quillmark --version prints $version"

# ---- Python package: pip install into a virtual environment that sees Debian's NumPy ---------
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --no-index --quiet "$root/python"
lib=$(find "$build" -maxdepth 1 -name "libquillmark.so.$version")
(cd "$work" && QUILLMARK_LIBRARY="$lib" "$work/venv/bin/python" - <<'PY'
import numpy as np, quillmark, pathlib
assert pathlib.Path(quillmark.__file__).parent.parent.name == "site-packages", quillmark.__file__
with quillmark.Writer("venv.mf4", author="Jane") as w:
    g = w.add_group("Engine", time=True)
    g.add_channel("Speed", unit="1/min")
    g.append(np.array([[0.0, 800.0], [0.01, 805.0]]))
quillmark.sort("venv.mf4", "venv_sorted.mf4")
PY
) >/dev/null
"$q" export "$work/venv_sorted.mf4" --group Engine | grep -qx '0.01,805' || fail "the venv's file lacks its values"
echo "test-packages: pip installs the Python package into a venv, which writes and sorts a file"

# ---- Windows zip ------------------------------------------------------------------------------
# The cross build of scripts/test-windows.sh when it is there, else one of its own.
winbuild="$root/build-windows"
if [[ ! -f "$winbuild/bin/quillmark.dll" ]]; then
  command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
    fail "no mingw-w64 cross compiler: run scripts/test-windows.sh first (it installs one)"
  winbuild="$root/build-package-windows"
  rm -rf "$winbuild"
  cmake -S . -B "$winbuild" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF >/dev/null
  cmake --build "$winbuild" -j"$jobs" >/dev/null
fi
rm -f "$winbuild"/quillmark-*.zip
(cd "$winbuild" && cpack -G ZIP >/dev/null)
zip=$(ls "$winbuild"/quillmark-"$version"-*.zip)
cmake -E tar tf "$zip" >"$work/zip.txt"
for want in bin/quillmark.dll bin/quillmark.exe lib/libquillmark.dll.a \
            include/quillmark/quillmark.h include/quillmark/version.h; do
  grep -qE "^[^/]+/$want\$" "$work/zip.txt" || fail "$(basename "$zip") lacks $want"
done
echo "test-packages: $(basename "$zip") holds the DLL, its import library, the header and quillmark.exe"
