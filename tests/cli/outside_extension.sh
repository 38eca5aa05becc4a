#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds the extension in
# outside/, in C and in C++, against it with pkg-config (zelt-extension) and
# with the CMake package, each unoptimised and optimised, checks that each
# exports its entry point alone, and loads each through the installed
# zelt-io. The installed libzelt exports no test hook.
#
# usage: outside_extension.sh BUILD_DIR CMAKE GENERATOR C_COMPILER CXX_COMPILER
#
# For a cross build, ZELT_TEST_EMULATOR is the command that runs the built
# programs (e.g. "qemu-aarch64 -L /usr/aarch64-linux-gnu") and
# ZELT_TEST_TOOLCHAIN the CMake toolchain file; both empty for a native build.
set -euo pipefail
build=$1 cmake=$2 generator=$3 cc=$4 cxx=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
unset ZELT_EXT_PATH
read -ra emulator <<<"${ZELT_TEST_EMULATOR-}"
toolchain=()
[[ -z ${ZELT_TEST_TOOLCHAIN-} ]] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$ZELT_TEST_TOOLCHAIN")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect WHAT STATUS STDOUT STDERR COMMAND...: runs COMMAND and compares.
expect() {
  local what=$1 status=$2 out=$3 err=$4 got_status=0
  shift 4
  "$@" </dev/null >"$tmp/out" 2>"$tmp/err" || got_status=$?
  [[ $got_status == "$status" && $(<"$tmp/out") == "$out" && $(<"$tmp/err") == "$err" ]] && return
  echo "--- stdout:" >&2; cat "$tmp/out" >&2
  echo "--- stderr:" >&2; cat "$tmp/err" >&2
  fail "$what: exit status $got_status (expected $status), output above"
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

# The layout extension authors rely on.
for file in lib/libzelt.so lib/libzelt.so.0 include/zelt.h include/zelt/embed.hpp \
  lib/zelt/ext/wait.so bin/zelt-io lib/pkgconfig/zelt.pc lib/pkgconfig/zelt-extension.pc \
  lib/cmake/Zelt/ZeltConfig.cmake lib/cmake/Zelt/ZeltConfigVersion.cmake \
  lib/cmake/Zelt/ZeltExtension.cmake lib/cmake/Zelt/zelt-extension.map; do
  [[ -e $prefix/$file ]] || fail "not installed: $file"
done
[[ -L $prefix/lib/libzelt.so && -L $prefix/lib/libzelt.so.0 ]] || fail "libzelt's SONAME links are missing"
readelf -d "$prefix/bin/zelt-io" | grep -q 'R.*PATH.*\[\$ORIGIN/\.\./lib\]' || fail "bin/zelt-io has no \$ORIGIN/../lib RPATH"
hooks=$(nm -D --defined-only "$prefix/lib/libzelt.so.0" | grep -c 'N4zelt10test_hooks' || true)
((hooks == 0)) || fail "the installed libzelt exports $hooks test hooks"

# The installed zelt-io runs on its own libzelt and finds wait.so beside it.
zelt_io=$prefix/bin/zelt-io
expect "installed zelt-io" 0 $'nil\n0' "" "${emulator[@]}" "$zelt_io" 'ready?' nread
"${emulator[@]}" "$zelt_io" --require nope nread </dev/null 2>"$tmp/err" && fail "a missing extension was found"
searched=$(sed -n 's/^zelt-io: LoadError: cannot find extension nope.so (searched: \(.*\))$/\1/p' "$tmp/err")
[[ -n $searched && $(realpath "$searched") == "$prefix/lib/zelt/ext" ]] ||
  fail "the installed zelt-io looks for extensions elsewhere: $(<"$tmp/err")"

# hello.so built with pkg-config's zelt-extension, unoptimised and optimised:
# a C++ extension compiles more of the C++ library's templates at -O0.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[[ $(realpath "$(pkg-config --variable=extensiondir zelt)") == "$prefix/lib/zelt/ext" ]] ||
  fail "pkg-config's extensiondir is not $prefix/lib/zelt/ext"
for opt in -O0 -O2; do
  mkdir "$tmp/pc$opt"
  # shellcheck disable=SC2046 # the flags are meant to split
  "$cc" "$opt" -shared -fPIC -Wall -Wextra -Werror -o "$tmp/pc$opt/hello.so" "$here/outside/hello.c" $(pkg-config --cflags --libs zelt-extension)
  # shellcheck disable=SC2046
  "$cxx" "$opt" -shared -fPIC -Wall -Wextra -Werror -o "$tmp/pc$opt/hello_cxx.so" "$here/outside/hello_cxx.cpp" $(pkg-config --cflags --libs zelt-extension)
done

# Without ZL_INIT, a C++ entry point has a mangled name: the loader says so.
mkdir "$tmp/mangled"
sed 's/^ZL_INIT(hello_cxx)/ZL_API void Init_hello_cxx(void)/' "$here/outside/hello_cxx.cpp" >"$tmp/mangled/hello_cxx.cpp"
grep -q '^ZL_API void Init_hello_cxx' "$tmp/mangled/hello_cxx.cpp" || fail "no entry point to unwrap in hello_cxx.cpp"
# shellcheck disable=SC2046
"$cxx" -shared -fPIC -o "$tmp/mangled/hello_cxx.so" "$tmp/mangled/hello_cxx.cpp" $(pkg-config --cflags --libs zelt-extension)
ZELT_EXT_PATH="$tmp/mangled" "${emulator[@]}" "$zelt_io" --require hello_cxx nread </dev/null 2>"$tmp/err" &&
  fail "a mangled entry point was loaded"
grep -q 'has no entry point Init_hello_cxx.*ZL_INIT(hello_cxx)' "$tmp/err" ||
  fail "the loader does not tell why a C++ entry point is not found: $(<"$tmp/err")"

# hello.so built with the CMake package, as a Debug (-O0) and a Release build.
for type in Debug Release; do
  "$cmake" -S "$here/outside" -B "$tmp/cm-$type" -G "$generator" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" "${toolchain[@]}" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE="$type" >"$tmp/cm.log" 2>&1 ||
    { cat "$tmp/cm.log" >&2; fail "configuring outside/ with the CMake package ($type)"; }
  "$cmake" --build "$tmp/cm-$type" >>"$tmp/cm.log" 2>&1 || { cat "$tmp/cm.log" >&2; fail "building outside/ ($type)"; }
  [[ -e $tmp/cm-$type/hello.so && -e $tmp/cm-$type/hello_cxx.so ]] || fail "the CMake package built no hello.so or hello_cxx.so ($type)"
done

for dir in "$tmp/pc-O0" "$tmp/pc-O2" "$tmp/cm-Debug" "$tmp/cm-Release"; do
  for so in hello hello_cxx; do
    exported=$(nm -D --defined-only "$dir/$so.so" | awk '{ print $3 }' | tr '\n' ' ')
    [[ $exported == "Init_$so " ]] || fail "${dir##*/}/$so.so exports [$exported], not Init_$so alone"
  done
  expect "hello.so and hello_cxx.so from ${dir##*/}" 1 $'42\n14\n0\nnil' "zelt-io: IOError: closed stream" \
    env ZELT_EXT_PATH="$dir" "${emulator[@]}" "$zelt_io" --require hello --require hello_cxx \
    hello hello_cxx nread close hello_cxx nread
done
echo "ok: installed tree, hello.so (C) and hello_cxx.so (C++) built with pkg-config and the CMake package, -O0 and optimised, each exporting its entry point alone"
