#!/usr/bin/env bash
# Build some or all extension modules in place (into src/lumora/) for development.
#   tools/devbuild.sh                 all modules
#   tools/devbuild.sh lm_spread       one module (its own build folder, so parallel builds don't clash)
# Then run the tests against the source tree with: PYTHONPATH=src python -m pytest
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
mods="$*"
tag=${mods:-all}; tag=${tag// /-}
pyver=$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
bdir=build/dev$pyver-$tag
cmake -S . -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DPython_EXECUTABLE="$("$py" -c 'import sys; print(sys.executable)')" \
  -DLUMORA_WERROR=ON -DLUMORA_SANITIZE=${SANITIZE:-OFF} -DLUMORA_ONLY="${mods// /;}" >/dev/null
cmake --build "$bdir"
# Rename into place: overwriting a loaded shared object in place crashes the processes using it.
for so in "$bdir"/lm_*.so "$bdir"/_engine*.so; do
  [ -e "$so" ] || continue
  cp "$so" "src/lumora/.$(basename "$so").tmp" && mv -f "src/lumora/.$(basename "$so").tmp" "src/lumora/$(basename "$so")"
done
