#!/usr/bin/env bash
# Builds the fuzz harnesses (CMake option LUMORA_FUZZ, clang++ with libFuzzer, ASan and UBSan)
# and runs each for a bounded time from its seed corpus fuzz/corpus/<harness>/.
#   fuzz/run.sh                   every harness, 15 s each
#   FUZZ_SECONDS=60 fuzz/run.sh npy_read
# New inputs go to a scratch folder, not into the committed corpus. A failing input is saved as
# build/fuzz/artifacts/<harness>-crash-*; rerun it with build/fuzz/<harness>_fuzz FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-15}
harnesses=${*:-text tokens npy_header npy_read pickled}
bdir=build/fuzz
py=${PYTHON:-python3}
cmake -S . -B "$bdir" -G Ninja -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_FUZZ=ON -DLUMORA_ONLY=none \
  -DPython_EXECUTABLE="$("$py" -c 'import sys; print(sys.executable)')" >/dev/null
targets=""
for h in $harnesses; do targets="$targets ${h}_fuzz"; done
cmake --build "$bdir" --target $targets
mkdir -p "$bdir/artifacts"
status=0
for h in $harnesses; do
  scratch=$(mktemp -d)
  echo "== fuzz $h: ${seconds}s =="
  if ! "$bdir/${h}_fuzz" "$scratch" "fuzz/corpus/$h" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -max_len=16384 -artifact_prefix="$bdir/artifacts/$h-" \
       -print_final_stats=1 >"$bdir/$h.log" 2>&1; then
    tail -40 "$bdir/$h.log"
    echo "fuzz: $h failed; inputs in $bdir/artifacts/"
    status=1
  else
    grep -E "^(stat::number_of_executed_units|stat::new_units_added)" "$bdir/$h.log" || true
  fi
  rm -rf "$scratch"
done
exit $status
