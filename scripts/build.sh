#!/usr/bin/env bash
# scripts/build.sh normal|asan - configures and builds one variant under build/.
set -euo pipefail
cd "$(dirname "$0")/.."

variant=${1:-normal}
case "$variant" in
  normal) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIREL_SANITIZE=OFF) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DMIREL_SANITIZE=ON) ;;
  *) echo "unknown variant $variant (normal or asan)" >&2; exit 2 ;;
esac

if [ ! -f "build/$variant/build.ninja" ]; then
  cmake -S . -B "build/$variant" -G Ninja "${flags[@]}" >/dev/null
fi
cmake --build "build/$variant" -- -j"$(nproc)"
