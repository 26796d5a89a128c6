#!/usr/bin/env bash
# Feeds the polarmosaic tool hostile input files (fuzz/hostile/*: empty,
# not an image, truncated and corrupt PNG and JPEG, headers that claim
# enormous sizes, a PNG text chunk claiming 1.35 GB, JPEGs cut short and closed with an end marker, a
# progressive JPEG padded with a comment to look long enough, a flat
# arithmetic-coded JPEG of the largest size, a 12-bit JPEG), a valid
# all-zero 30000 x 30000 PNG made here (875 KB that decode to 900 million
# pixels) and a directory, and checks for each: exit status 1, one line on
# standard error naming the input, nothing on standard output, and no
# output file left behind.
#
# Files named valid-* are genuine pictures with hostile metadata (EXIF
# directories that fan out to billions of entries): each is written as PNG
# and as TIFF with status 0, within 30 seconds, to an output under 1 MiB,
# with nothing on standard error but warnings naming the input.
#
#   fuzz/hostile_inputs.sh TOOL [MEMORY_LIMIT_KB]
#
# With MEMORY_LIMIT_KB the tool runs under that address-space limit (use an
# uninstrumented build): a loader that allocated for a claimed size before
# finding the data missing would fail there instead of refusing cleanly.
# Under a sanitizer build, a report makes the tool exit with status 86.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tool="${1:?usage: fuzz/hostile_inputs.sh TOOL [MEMORY_LIMIT_KB]}"
tool="$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")"
limit="${2:-}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:exitcode=86:detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:halt_on_error=1:exitcode=86"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/a-directory.png"
inputs=("$here"/hostile/* "$work/a-directory.png")
if command -v python3 >/dev/null; then
  python3 - "$work/zero-30000x30000.png" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
size = 30000
packer = zlib.compressobj(9)
row = bytes(size + 1)  # filter byte and one grey byte per pixel, all zero
idat = b"".join(packer.compress(row) for _ in range(size)) + packer.flush()
with open(sys.argv[1], "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", idat) + chunk(b"IEND", b""))
PY
  inputs+=("$work/zero-30000x30000.png")
fi
passed=0
failed=0
run_tool() {
  if [ -n "$limit" ]; then
    (ulimit -v "$limit"; exec timeout 30 "$tool" "$@") >"$work/stdout" 2>"$work/stderr" </dev/null
  else
    timeout 30 "$tool" "$@" >"$work/stdout" 2>"$work/stderr" </dev/null
  fi
}
report() {
  if [ ${#problems[@]} -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok    $1: $(head -c 200 "$work/stderr")"
  else
    failed=$((failed + 1))
    echo "FAIL  $1: ${problems[*]}"
    head -c 2000 "$work/stderr"
  fi
}
for input in "${inputs[@]}"; do
  name="$(basename "$input")"
  rm -rf "$work/out" && mkdir "$work/out"
  if [[ "$name" == valid-* ]]; then
    for format in png tif; do
      out="$work/out/result.$format"
      run_tool "$input" "$out"
      status=$?
      problems=()
      [ "$status" -eq 0 ] || problems+=("exit status $status")
      [ -f "$out" ] || problems+=("no output")
      [ -f "$out" ] && [ "$(wc -c <"$out")" -ge 1048576 ] && problems+=("output of $(wc -c <"$out") bytes")
      grep -v -q "^polarmosaic: warning: .*$name: " "$work/stderr" && problems+=("stderr other than warnings")
      report "$name as $format"
    done
    continue
  fi
  out="$work/out/result.png"
  run_tool "$input" "$out"
  status=$?
  problems=()
  [ "$status" -eq 1 ] || problems+=("exit status $status")
  [ "$(wc -l <"$work/stderr")" -eq 1 ] || problems+=("$(wc -l <"$work/stderr") lines on stderr")
  grep -q "^polarmosaic: .*$name: " "$work/stderr" || problems+=("message does not name the input")
  grep -q "out of memory" "$work/stderr" && problems+=("ran out of memory instead of refusing the file")
  [ ! -s "$work/stdout" ] || problems+=("output on stdout")
  [ -z "$(ls -A "$work/out")" ] || problems+=("left $(ls -A "$work/out" | tr '\n' ' ')")
  report "$name"
done
echo "hostile inputs: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
