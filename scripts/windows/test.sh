#!/usr/bin/env bash
# The Windows side of the tests:
#   1. every driver source compiles for 32-bit Windows (i686 mingw-w64, compile
#      only, against our platform headers), where the NDIS 4.0 characteristics
#      block must be 72 bytes;
#   2. drvupdate.exe is cross-built for 64-bit Windows (static, GUI subsystem)
#      and, as a build check, for 32-bit Windows;
#   3. drvupdate.exe runs under Wine in its paths (scripts/windows/wine_runs.py).
# Installs mingw-w64 and Wine when missing. Any failure ends with a non-zero
# status.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
out=$root/build/windows
started=$SECONDS

# --- tools -----------------------------------------------------------------------------
missing=()
for package in g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wine python3; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows: installing ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

mkdir -p "$out"
flags=(-std=c++20 -Wall -Wextra -Werror -I"$root")

# --- 1. the driver for 32-bit Windows ----------------------------------------------------
echo "windows: compiling the driver for i686"
mkdir -p "$out/driver-i686"
failed=0
count=0
while IFS= read -r -d '' source; do
  count=$((count + 1))
  object=$out/driver-i686/$(echo "${source%.cpp}" | tr '/' '_').o
  # The same flags as the driver's own build.
  if ! i686-w64-mingw32-g++ "${flags[@]}" -fno-strict-aliasing -c "$source" -o "$object"; then
    echo "windows: FAILED to compile $source for i686"
    failed=$((failed + 1))
  fi
done < <(find driver -name '*.cpp' -print0 | sort -z)
if [ "$count" -eq 0 ]; then
  echo "windows: no driver sources found"
  exit 1
fi
# The characteristics block, checked on its own so the check cannot be lost
# with a source file.
if ! printf '%s\n' '#include "platform/ndis.h"' \
    'static_assert(sizeof(void*) == 4, "a 32-bit target");' \
    'static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == 72, "NDIS 4.0 characteristics block");' |
    i686-w64-mingw32-g++ "${flags[@]}" -x c++ -c - -o "$out/driver-i686/characteristics.o"; then
  echo "windows: FAILED: the characteristics block is not 72 bytes on i686"
  failed=$((failed + 1))
fi
if [ "$failed" -ne 0 ]; then
  echo "windows: $failed driver compilation(s) failed for i686"
  exit 1
fi
echo "windows: $count driver sources compile for i686; the characteristics block is 72 bytes"

# --- 2. drvupdate.exe ------------------------------------------------------------------
program=(tools/drvupdate/*.cpp tools/drvupdate/win/*.cpp)
link=(-static -mwindows -lsetupapi -lnewdev)
echo "windows: building drvupdate.exe"
x86_64-w64-mingw32-g++ "${flags[@]}" -O2 "${program[@]}" -o "$out/drvupdate.exe" "${link[@]}"
mkdir -p "$out/i686"
i686-w64-mingw32-g++ "${flags[@]}" -O2 "${program[@]}" -o "$out/i686/drvupdate.exe" "${link[@]}"

# A GUI-subsystem program (no console), linked statically: it may import
# only system libraries.
check_image() {
  local objdump=$1 image=$2
  local headers
  headers=$("$objdump" -p "$image")
  if ! grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$headers"; then
    echo "windows: FAILED: $image is not a Windows GUI program"
    return 1
  fi
  local dlls unexpected
  dlls=$(grep -E 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u | tr '\n' ' ')
  unexpected=$(tr ' ' '\n' <<<"$dlls" | grep -Ev '^(kernel32|msvcrt|setupapi|newdev)\.dll$' | grep -v '^$' || true)
  if [ -n "$unexpected" ]; then
    echo "windows: FAILED: $image needs libraries beside the system's: $unexpected"
    return 1
  fi
  echo "windows: $image: GUI subsystem, imports $dlls"
}
check_image x86_64-w64-mingw32-objdump "$out/drvupdate.exe"
check_image i686-w64-mingw32-objdump "$out/i686/drvupdate.exe"

# --- 3. under Wine -----------------------------------------------------------------------
python3 scripts/windows/wine_runs.py --exe "$out/drvupdate.exe" --inf driver/mirelnd.inf \
  --prefix "$out/wineprefix" --logs "$out/logs"

echo "windows: done in $((SECONDS - started)) s"
