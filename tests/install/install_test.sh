#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds against the
# installed package: both host examples through find_package, a C-only
# project through find_package, both examples through plain pkg-config
# (no --static), and the host layer's header under its new and its old
# include path. Every program must print the in-tree checksum.
#
#   install_test.sh BUILD_DIR SOURCE_DIR IN_TREE_C_EXAMPLE IN_TREE_CPP_EXAMPLE
set -euo pipefail
build_dir=$1 source_dir=$2 in_tree_c=$3 in_tree_cpp=$4
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=consumer_lib.sh
. "$here/consumer_lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

expected=$("$in_tree_c")
expected_cpp=$("$in_tree_cpp")
echo "in-tree: C '$expected', C++ '$expected_cpp'"
[ "$expected" = "$expected_cpp" ] || fail "in-tree C and C++ examples disagree"

# find_package, the examples project (C and C++).
cmake -S "$source_dir/examples" -B "$work/find" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/find" -j2 >/dev/null
check "find_package C host" "$("$work/find/polarmosaic_example_c")"
check "find_package C++ host" "$("$work/find/polarmosaic_example_cpp")"

# find_package from a project that enables C only.
consume_package "$prefix" "$work/c-only"
check "find_package, C-only project" "$("$work/c-only/consumer")"
only_c_runtime "$work/c-only/consumer"

# pkg-config, as a Makefile would call it: no --static.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib64/pkgconfig"
version=$(pkg-config --modversion polarmosaic)
echo "pkg-config reports version $version"
# shellcheck disable=SC2046
cc -std=c99 -O2 -o "$work/c_host" "$source_dir/examples/c_host.c" $(pkg-config --cflags --libs polarmosaic)
# shellcheck disable=SC2046
c++ -std=c++17 -O2 -o "$work/cpp_host" "$source_dir/examples/cpp_host.cpp" $(pkg-config --cflags --libs polarmosaic)
check "pkg-config C host" "$("$work/c_host")"
check "pkg-config C++ host" "$("$work/cpp_host")"
only_c_runtime "$work/c_host"

# Every public header is under include/polarmosaic/ and compiles as C; the
# old <polarmosaic.h> forwards with a note for one release.
for header in "$source_dir"/polarmosaic/include/polarmosaic/*.h; do
  name=polarmosaic/$(basename "$header")
  printf '#include <%s>\nint main(void) { return 0; }\n' "$name" >"$work/header.c"
  cc -std=c99 -fsyntax-only -Werror -I"$prefix/include" "$work/header.c" || fail "<$name> does not compile"
  echo "ok: <$name>"
done
printf '#include <polarmosaic.h>\nint main(void) { return POLARMOSAIC_VERSION_MAJOR > 0 ? 0 : 1; }\n' >"$work/old.c"
cc -std=c99 -fsyntax-only -I"$prefix/include" "$work/old.c" 2>"$work/old-c.log" \
  || { cat "$work/old-c.log"; fail "the old <polarmosaic.h> no longer compiles"; }
grep -q "deprecated" "$work/old-c.log" || fail "the old <polarmosaic.h> gives no deprecation note"
echo "ok: old <polarmosaic.h> forwards with a note"

# The host layer's header: <polarmosaic/mosaic_host.h>, and for one release
# the old <mosaic_host.h>, which forwards with a note.
if [ -f "$prefix/include/polarmosaic/mosaic_host.h" ]; then
  printf '#include <polarmosaic/mosaic_host.h>\nint main() { return polarmosaic::MinTileCount(10, 5) == 1 ? 0 : 1; }\n' >"$work/host_new.cpp"
  printf '#include <mosaic_host.h>\nint main() { return polarmosaic::MinTileCount(10, 5) == 1 ? 0 : 1; }\n' >"$work/host_old.cpp"
  c++ -std=c++17 -fsyntax-only -Werror -I"$prefix/include" "$work/host_new.cpp" \
    || fail "<polarmosaic/mosaic_host.h> does not compile"
  c++ -std=c++17 -fsyntax-only -I"$prefix/include" "$work/host_old.cpp" 2>"$work/old.log" \
    || { cat "$work/old.log"; fail "the old <mosaic_host.h> no longer compiles"; }
  grep -q "deprecated" "$work/old.log" || fail "the old <mosaic_host.h> gives no deprecation note"
  echo "ok: host header under include/polarmosaic/, old path forwards with a note"
fi

# The installed tool reports the package version.
if [ -x "$prefix/bin/polarmosaic" ]; then
  "$prefix/bin/polarmosaic" --version | grep -F "$version" >/dev/null \
    || fail "installed tool does not report version $version"
  echo "ok: installed tool reports $version"
fi
echo "install test passed"
