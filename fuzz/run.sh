#!/usr/bin/env bash
# Runs fuzz targets one after another, each for a bounded time, single
# process and niced (the machine is shared). Each run first replays the
# target's corpus, then mutates for the rest of the time.
#
#   fuzz/run.sh SECONDS [TARGET...]      (default: every target)
#   fuzz/run.sh 15                       CI: replay and a brief run
#   fuzz/run.sh 600                      before a release
#
# Needs the "fuzz" preset built (cmake --preset fuzz && cmake --build --preset
# fuzz). Each target starts from its committed seeds in fuzz/corpus/<target>
# and keeps what it finds in build/fuzz/work/<target>; a crash, sanitizer
# report, property failure or a single input that runs longer than
# FUZZ_TIMEOUT seconds (default 10) stops the run with the input saved under
# build/fuzz/artifacts/ and makes this script fail.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
bin="$root/build/fuzz/fuzz"
seconds="${1:?usage: fuzz/run.sh SECONDS [TARGET...]}"
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_mosaic fuzz_forward fuzz_inverse fuzz_turns fuzz_ramp fuzz_plan)
  [ -x "$bin/fuzz_image_load" ] && targets+=(fuzz_image_load)
  [ -x "$bin/fuzz_animation" ] && targets+=(fuzz_animation)
fi
timeout_s="${FUZZ_TIMEOUT:-10}"
mkdir -p "$root/build/fuzz/artifacts"
failed=0
for t in "${targets[@]}"; do
  work="$root/build/fuzz/work/$t"
  mkdir -p "$work"
  log="$root/build/fuzz/$t.log"
  echo "fuzz: $t for ${seconds}s (timeout ${timeout_s}s per input)"
  if nice -n 10 "$bin/$t" "$work" "$here/corpus/$t" \
       -max_total_time="$seconds" -timeout="$timeout_s" -rss_limit_mb=2048 \
       -malloc_limit_mb=1024 -print_final_stats=1 \
       -artifact_prefix="$root/build/fuzz/artifacts/$t-" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    replayed=$(sed -n 's/^#\([0-9]*\)[[:space:]]*INITED.*/\1/p' "$log" | tail -1)
    echo "fuzz: $t passed, ${execs:-?} executions (${replayed:-?} corpus inputs replayed), ${rate:-?}/s"
  else
    echo "fuzz: $t FAILED (log: $log)"
    tail -40 "$log"
    failed=1
  fi
done
exit $failed
