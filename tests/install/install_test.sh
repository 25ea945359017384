#!/bin/bash
# install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER CMAKE: installs BUILD_DIR into a temporary
# prefix and checks the installed tree from the outside: the SDK header through pkg-config and
# through the CMake package, the installed plexorectl, and the installed plexore-host finding
# its module and the built-in extension set beside itself. Fails with a message on the first
# thing that does not hold.
set -euo pipefail
build=$1 source=$2 cc=$3 cmake=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "install_test: $*" >&2; exit 1; }
# Nothing may be found through the environment instead of the installed RPATHs.
unset LD_LIBRARY_PATH HALCY_BROWSER_DIR HALCY_MODULE PKG_CONFIG_PATH CMAKE_PREFIX_PATH

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
  fail "cmake --install failed: $(cat "$work/install.log")"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
libdir=${libdir:-lib}

# An extension developer outside the project: the example library, copied away from the
# source tree, built with nothing but pkg-config's flags.
cp "$source/examples/native/weatherdesk/weatherdesk.c" "$work/ext.c"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
cflags=$(pkg-config --cflags plexore-native) || fail "pkg-config does not know plexore-native"
[[ $cflags == *"$prefix"* && $cflags != *"$source"* ]] ||
  fail "pkg-config --cflags plexore-native gives '$cflags', not the installed header"
"$cc" -shared -fPIC -Wall -Werror $cflags -o "$work/ext.so" "$work/ext.c" ||
  fail "the example does not build against the installed header"
nm -D --defined-only "$work/ext.so" | grep -q ' plexore_extension_load$' ||
  fail "the built library does not export plexore_extension_load"
unset PKG_CONFIG_PATH

# The same with find_package(plexore) and the plexore::native target.
mkdir "$work/cmakeuser"
cp "$work/ext.c" "$work/cmakeuser/ext.c"
cat >"$work/cmakeuser/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(cmakeuser C)
find_package(plexore 1 REQUIRED)
add_library(ext MODULE ext.c)
target_link_libraries(ext PRIVATE plexore::native)
CMAKE
"$cmake" -S "$work/cmakeuser" -B "$work/cmakeuser/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" >"$work/cmakeuser.log" 2>&1 &&
  "$cmake" --build "$work/cmakeuser/build" >>"$work/cmakeuser.log" 2>&1 ||
  fail "find_package(plexore) project does not build: $(cat "$work/cmakeuser.log")"

# The installed tools run from the prefix alone.
"$prefix/bin/plexorectl" --help | grep -q '^  manifest ' ||
  fail "the installed plexorectl --help does not list manifest"
extensions=$prefix/$libdir/plexore/resource/userdata/localextensions
for id in pagenotes translatebar weatherdesk; do
  "$prefix/bin/plexorectl" manifest --check "$extensions/$id" >"$work/check.out" ||
    fail "installed built-in extension $id is not clean: $(cat "$work/check.out")"
done
export HALCY_REGISTRY=$work/registry.reg HALCY_APPDATA=$work/appdata
"$prefix/bin/plexore-host" list --data-root "$work/data" >"$work/list.out" 2>&1 ||
  fail "the installed plexore-host list failed: $(cat "$work/list.out")"
for id in pagenotes translatebar weatherdesk; do
  grep -q "^$id	" "$work/list.out" ||
    fail "the installed host did not seed $id from its built-in set: $(cat "$work/list.out")"
done
echo "install_test: ok"
