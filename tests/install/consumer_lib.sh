# Shared by install_test.sh and consumer_test.sh (sourced). Expects
# $expected (the checksum line every program must print) and $source_dir.

fail() {
  echo "FAIL: $*"
  exit 1
}

check() {
  local how=$1 got=$2
  [ "$got" = "$expected" ] || fail "$how printed '$got', expected '$expected'"
  echo "ok: $how"
}

# A program built against the module needs only the C runtime and libm (and
# libpolarmosaic when shared): no C++ runtime.
only_c_runtime() {
  local needed
  needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  for lib in $needed; do
    case $lib in
      libc.so.*|libm.so.*|libpolarmosaic.so.*|ld-linux*|libgcc_s.so.*) ;;
      *) fail "$(basename "$1") needs $lib (needed: $needed)" ;;
    esac
  done
  echo "ok: $(basename "$1") needs only $needed"
}

# Configures and builds the C-only consumer project in $2.
#   consume_package PREFIX BUILD_DIR
#   consume_source MODE BUILD_DIR   (MODE subdirectory or fetchcontent; the
#                                    project under $source_dir)
consumer_build() {
  local build=$1
  shift
  cmake -S "$source_dir/tests/install/consumer" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DPOLARMOSAIC_EXAMPLE_SOURCE="$source_dir/examples/c_host.c" "$@" >"$build.log" 2>&1 \
    || { cat "$build.log"; fail "configuring the consumer ($*)"; }
  cmake --build "$build" -j2 >>"$build.log" 2>&1 || { cat "$build.log"; fail "building the consumer ($*)"; }
}
consume_package() { consumer_build "$2" -DPOLARMOSAIC_CONSUME=package -DCMAKE_PREFIX_PATH="$1"; }
consume_source() {
  consumer_build "$2" -DPOLARMOSAIC_CONSUME="$1" -DPOLARMOSAIC_SOURCE_DIR="$3"
}
