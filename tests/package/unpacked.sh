#!/usr/bin/env bash
# Unpacks the .deb (with dpkg-deb -x) and the .tar.gz that CPack made, each
# in a directory of its own, and checks that each tree works where it lies:
# zelt-io runs on its own libzelt and wait.so and prints the version, the
# manual page is there, and hello.so from ../cli/outside, built with the
# flags that pkg-config reads from the unpacked zelt.pc, loads through the
# unpacked zelt-io.
#
# usage: unpacked.sh C_COMPILER VERSION DEB TGZ
#        unpacked.sh C_COMPILER VERSION --cpack CPACK BUILD_DIR
# The second form runs CPACK on BUILD_DIR first, into a temporary directory.
# ZELT_TEST_EMULATOR runs a cross-built zelt-io (empty when native).
set -euo pipefail
cc=$1 version=$2
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
read -ra emulator <<<"${ZELT_TEST_EMULATOR-}"
unset ZELT_EXT_PATH PKG_CONFIG_PATH

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

if [[ $1 == --cpack ]]; then
  "$2" --config "$3/CPackConfig.cmake" -B "$tmp/cpack" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log" >&2; fail "cpack on $3"; }
  debs=("$tmp"/cpack/*.deb) tgzs=("$tmp"/cpack/*.tar.gz)
  ((${#debs[@]} == 1 && ${#tgzs[@]} == 1)) || fail "cpack made no single .deb and .tar.gz: $(ls "$tmp/cpack")"
  deb=${debs[0]} tgz=${tgzs[0]}
else
  deb=$1 tgz=$2
fi

[[ $(dpkg-deb -f "$deb" Package) == zelt && $(dpkg-deb -f "$deb" Version) == "$version" ]] ||
  fail "$deb: package $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version), not zelt $version"

mkdir "$tmp/deb" "$tmp/tgz"
dpkg-deb -x "$deb" "$tmp/deb"
tar -xzf "$tgz" -C "$tmp/tgz"
tgz_roots=("$tmp"/tgz/*)
((${#tgz_roots[@]} == 1)) || fail "$tgz holds more than one top directory"

# expect WHAT STDOUT COMMAND...: runs COMMAND, which must succeed with STDOUT.
expect() {
  local what=$1 out=$2 got
  shift 2
  got=$("$@" </dev/null 2>"$tmp/err") || { cat "$tmp/err" >&2; fail "$what: exit status $?"; }
  [[ $got == "$out" ]] || fail "$what: printed [$got], not [$out]"
}

for root in "$tmp/deb/usr" "${tgz_roots[0]}"; do
  name=${deb##*/}
  [[ $root == "$tmp/deb/usr" ]] || name=${tgz##*/}
  zelt_io=$root/bin/zelt-io
  for file in bin/zelt-io lib/libzelt.so.0 lib/zelt/ext/wait.so include/zelt.h \
    lib/pkgconfig/zelt.pc share/man/man1/zelt-io.1; do
    [[ -e $root/$file ]] || fail "$name: no $file"
  done

  expect "$name: zelt-io --version" "zelt-io $version" "${emulator[@]}" "$zelt_io" --version
  MANWIDTH=80 man -l "$root/share/man/man1/zelt-io.1" 2>&1 | grep -q "zelt $version" ||
    fail "$name: the manual page does not render with version $version"

  # wait.so from the unpacked tree, not from a build or an installed prefix.
  "${emulator[@]}" "$zelt_io" --require nope nread </dev/null 2>"$tmp/err" && fail "$name: found nope.so"
  searched=$(sed -n 's/^zelt-io: LoadError: cannot find extension nope.so (searched: \(.*\))$/\1/p' "$tmp/err")
  [[ -n $searched && $(realpath "$searched") == "$(realpath "$root/lib/zelt/ext")" ]] ||
    fail "$name: zelt-io looks for extensions outside its tree: $(<"$tmp/err")"

  export PKG_CONFIG_PATH=$root/lib/pkgconfig
  [[ $(realpath "$(pkg-config --variable=includedir zelt)") == "$(realpath "$root/include")" ]] ||
    fail "$name: pkg-config's includedir is not $root/include"
  out=$tmp/${name}-hello
  mkdir "$out"
  # shellcheck disable=SC2046 # the flags are meant to split
  "$cc" -shared -fPIC -fvisibility=hidden -Wall -Wextra -Werror -o "$out/hello.so" \
    "$here/../cli/outside/hello.c" $(pkg-config --cflags --libs zelt) || fail "$name: building hello.so"
  expect "$name: hello.so through zelt-io" $'42\n0' \
    env ZELT_EXT_PATH="$out" "${emulator[@]}" "$zelt_io" --require hello hello nread
done
echo "ok: ${deb##*/} and ${tgz##*/} work where they are unpacked"
