#!/usr/bin/env bash
# Builds a C-only consumer project against polarmosaic taken from source the
# ways an integrator would, and checks it prints the in-tree checksum:
#
#   consumer_test.sh subdirectory SOURCE_DIR IN_TREE_C_EXAMPLE
#   consumer_test.sh fetchcontent SOURCE_DIR IN_TREE_C_EXAMPLE
#   consumer_test.sh shared       SOURCE_DIR IN_TREE_C_EXAMPLE
#
# subdirectory: add_subdirectory of the source tree, with defaults (no
#   GoogleTest, libpng or libjpeg needed, no -Werror).
# fetchcontent: FetchContent from a tarball of the source tree on the local
#   disk (no network).
# shared: a BUILD_SHARED_LIBS build of the library alone, installed; checks
#   its SONAME, that it exports exactly the functions its public headers
#   (polarmosaic.h, fitted.h) declare,
#   then links the consumer through find_package and through pkg-config.
set -euo pipefail
mode=$1 source_dir=$2 in_tree_c=$3
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=consumer_lib.sh
. "$here/consumer_lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected=$("$in_tree_c")

case $mode in
  subdirectory)
    consume_source subdirectory "$work/consumer" "$source_dir"
    check "add_subdirectory consumer" "$("$work/consumer/consumer")"
    ;;
  fetchcontent)
    tar -C "$source_dir" --exclude=./build --exclude=./.git --exclude='./build-*' \
      -czf "$work/polarmosaic.tar.gz" .
    consume_source fetchcontent "$work/consumer" "$work/polarmosaic.tar.gz"
    check "FetchContent consumer" "$("$work/consumer/consumer")"
    ;;
  shared)
    prefix=$work/prefix
    cmake -S "$source_dir" -B "$work/lib" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
      -DPOLARMOSAIC_BUILD_TESTS=OFF -DPOLARMOSAIC_BUILD_TOOL=OFF -DPOLARMOSAIC_BUILD_EXAMPLES=OFF \
      -DPOLARMOSAIC_INSTALL=ON >"$work/lib.log" 2>&1 || { cat "$work/lib.log"; fail "configuring the shared build"; }
    cmake --build "$work/lib" -j2 >>"$work/lib.log" 2>&1 || { cat "$work/lib.log"; fail "building the shared library"; }
    cmake --install "$work/lib" --prefix "$prefix" >/dev/null
    libdir=$(dirname "$(find "$prefix" -name 'libpolarmosaic.so' | head -n 1)")
    [ -n "$libdir" ] || fail "no libpolarmosaic.so installed"
    [ -z "$(find "$prefix" -name 'libpolarmosaic.a')" ] || fail "a static library was installed too"

    soname=$(readelf -d "$libdir/libpolarmosaic.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    major=$(sed -n 's/^#define POLARMOSAIC_VERSION_MAJOR \([0-9]*\).*/\1/p' "$source_dir/polarmosaic/include/polarmosaic/polarmosaic.h")
    [ -n "$major" ] || major=$(sed -n 's/^Version: \([0-9]*\).*/\1/p' "$libdir/pkgconfig/polarmosaic.pc")
    [ "$soname" = "libpolarmosaic.so.$major" ] || fail "SONAME is '$soname', expected libpolarmosaic.so.$major"
    echo "ok: SONAME $soname"

    # Exactly the functions the header declares, nothing internal.
    public_headers=("$source_dir"/polarmosaic/include/polarmosaic/*.h)
    declared=$( (cat "${public_headers[@]}" | grep -o '^POLARMOSAIC_API [^(]*(' |
      sed 's/.*[ *]\([A-Za-z_0-9]*\)($/\1/' || true) | sort -u)
    [ -n "$declared" ] || fail "no POLARMOSAIC_API function found in the public headers"
    exported=$(nm -D --defined-only "$libdir/libpolarmosaic.so" | awk '$2 ~ /^[TWDBRV]$/ { print $3 }' | sort -u)
    if [ "$declared" != "$exported" ]; then
      diff <(echo "$declared") <(echo "$exported") | sed 's/^</  declared, not exported:/; s/^>/  exported, not declared:/' || true
      fail "the shared library's exports differ from the public headers"
    fi
    echo "ok: exports exactly the $(echo "$declared" | wc -l) functions of the public headers"

    consume_package "$prefix" "$work/consumer"
    check "find_package, shared library" "$(LD_LIBRARY_PATH="$libdir" "$work/consumer/consumer")"
    readelf -d "$work/consumer/consumer" | grep -q 'NEEDED.*libpolarmosaic.so' \
      || fail "the find_package consumer is not linked to the shared library"
    only_c_runtime "$work/consumer/consumer"

    export PKG_CONFIG_PATH="$libdir/pkgconfig"
    # shellcheck disable=SC2046
    cc -std=c99 -O2 -o "$work/c_host" "$source_dir/examples/c_host.c" $(pkg-config --cflags --libs polarmosaic)
    check "pkg-config, shared library" "$(LD_LIBRARY_PATH="$libdir" "$work/c_host")"
    only_c_runtime "$work/c_host"
    ;;
  *)
    fail "unknown mode '$mode'"
    ;;
esac
