#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds both host examples
# against the installed package - once through find_package, once through
# pkg-config - and checks that they print the same checksum as the in-tree
# builds.
set -euo pipefail
build_dir=$1 source_dir=$2 in_tree_c=$3 in_tree_cpp=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

expected_c=$("$in_tree_c")
expected_cpp=$("$in_tree_cpp")
echo "in-tree: C '$expected_c', C++ '$expected_cpp'"
[ "$expected_c" = "$expected_cpp" ] || { echo "FAIL: in-tree C and C++ examples disagree"; exit 1; }

check() {
  local how=$1 got=$2
  if [ "$got" != "$expected_c" ]; then
    echo "FAIL: $how printed '$got', expected '$expected_c'"
    exit 1
  fi
  echo "ok: $how"
}

# find_package
cmake -S "$source_dir/examples" -B "$work/find" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/find" -j2 >/dev/null
check "find_package C host" "$("$work/find/polarmosaic_example_c")"
check "find_package C++ host" "$("$work/find/polarmosaic_example_cpp")"

# pkg-config
pc_dir=$(dirname "$(find "$prefix" -name polarmosaic.pc | head -n 1)")
export PKG_CONFIG_PATH=$pc_dir
version=$(pkg-config --modversion polarmosaic)
echo "pkg-config reports version $version"
# shellcheck disable=SC2046
cc -std=c99 -O2 -o "$work/c_host" "$source_dir/examples/c_host.c" $(pkg-config --cflags --libs --static polarmosaic)
# shellcheck disable=SC2046
c++ -std=c++17 -O2 -o "$work/cpp_host" "$source_dir/examples/cpp_host.cpp" $(pkg-config --cflags --libs --static polarmosaic)
check "pkg-config C host" "$("$work/c_host")"
check "pkg-config C++ host" "$("$work/cpp_host")"

# The installed tool reports the package version.
if [ -x "$prefix/bin/polarmosaic" ]; then
  "$prefix/bin/polarmosaic" --version | grep -F "$version" >/dev/null \
    || { echo "FAIL: installed tool does not report version $version"; exit 1; }
  echo "ok: installed tool reports $version"
fi
echo "install test passed"
