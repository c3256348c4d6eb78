#!/usr/bin/env bash
# Builds and runs all tests twice: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build. Any failure or sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

for variant in normal asan; do
  echo "== $variant build"
  scripts/build.sh "$variant"
  echo "== $variant tests"
  ctest --test-dir "build/$variant" --output-on-failure -j"$(nproc)" --timeout 900
done
# The Windows side: drvupdate.exe cross-built and run under Wine, and the
# driver compiled for 32-bit Windows.
if [ -x scripts/windows/test.sh ]; then
  echo "== windows"
  scripts/windows/test.sh
fi
echo "== all tests passed"
