#!/usr/bin/env bash
# Checks the packages that CPack made, unpacked: the three .debs split as
# the table below says, each with its copyright and changelog, every binary
# stripped with its debug information in the matching -dbgsym .ddeb (by
# build ID); then the three .debs unpacked together (with dpkg-deb -x) and
# the .tar.gz each in a directory of their own, and each tree working where
# it lies: zelt-io runs on its own libzelt and wait.so and prints the
# version, the manual page renders, the runtime exports no test hook, and
# hello.so from ../cli/outside, built with the flags that pkg-config reads
# from the unpacked zelt-extension.pc, exports its entry point alone and
# loads through the unpacked zelt-io.
#
# usage: unpacked.sh C_COMPILER VERSION PACKAGE_DIR
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
  dir=$tmp/cpack
else
  dir=$1
fi

# Each .deb: what it must hold (under usr/) and what it must not.
runtime=libzelt${version%%.*} # after libzelt's SONAME
declare -A holds=(
  [$runtime]="lib/libzelt.so.${version%%.*} lib/libzelt.so.$version lib/zelt/ext/wait.so lib/zelt/ext/wait_many.so lib/zelt/ext/wait_write.so"
  [libzelt-dev]="include/zelt.h include/zelt/embed.hpp lib/libzelt.so lib/pkgconfig/zelt.pc lib/pkgconfig/zelt-extension.pc lib/cmake/Zelt/ZeltConfig.cmake lib/cmake/Zelt/ZeltExtension.cmake lib/cmake/Zelt/zelt-extension.map"
  [zelt-io]="bin/zelt-io share/man/man1/zelt-io.1.gz"
)
declare -A lacks=(
  [$runtime]="include lib/libzelt.so bin share/man"
  [libzelt-dev]="lib/libzelt.so.${version%%.*} lib/zelt bin share/man"
  [zelt-io]="lib include"
)
debian_version=$version-1

tgzs=("$dir"/zelt-"$version"-Linux-*.tar.gz)
[[ -e ${tgzs[0]} && ${#tgzs[@]} == 1 ]] || fail "no single zelt-$version .tar.gz in $dir: $(ls "$dir")"
tgz=${tgzs[0]}

mkdir "$tmp/deb" "$tmp/tgz" "$tmp/dbgsym"
for name in "${!holds[@]}"; do
  debs=("$dir/${name}_${debian_version}"_*.deb)
  deb=${debs[0]}
  [[ -e $deb && ${#debs[@]} == 1 ]] || fail "no single ${name}_$debian_version .deb in $dir: $(ls "$dir")"
  [[ $(dpkg-deb -f "$deb" Package) == "$name" && $(dpkg-deb -f "$deb" Version) == "$debian_version" ]] ||
    fail "$deb: package $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version), not $name $debian_version"
  mkdir "$tmp/$name"
  dpkg-deb -x "$deb" "$tmp/$name"
  dpkg-deb -x "$deb" "$tmp/deb"
  for file in ${holds[$name]} share/doc/"$name"/copyright share/doc/"$name"/changelog.Debian.gz; do
    [[ -e $tmp/$name/usr/$file || -L $tmp/$name/usr/$file ]] || fail "${deb##*/}: no usr/$file"
  done
  for file in ${lacks[$name]}; do
    [[ ! -e $tmp/$name/usr/$file && ! -L $tmp/$name/usr/$file ]] || fail "${deb##*/}: holds usr/$file, which belongs to another package"
  done
  gzip -t "$tmp/$name/usr/share/doc/$name/changelog.Debian.gz" || fail "${deb##*/}: changelog.Debian.gz is no gzip file"
  for ddeb in "$dir/$name-dbgsym_${debian_version}"_*.ddeb; do
    [[ ! -e $ddeb ]] || dpkg-deb -x "$ddeb" "$tmp/dbgsym"
  done
done
tar -xzf "$tgz" -C "$tmp/tgz"
tgz_roots=("$tmp"/tgz/*)
((${#tgz_roots[@]} == 1)) || fail "$tgz holds more than one top directory"

# Every binary in the .debs is stripped, and the debug file named after its
# build ID holds its debug information; the .tar.gz's are stripped.
# sections FILE: the names of FILE's ELF sections, one a line.
sections() { readelf -SW "$1" 2>/dev/null | sed -n 's/^ *\[ *[0-9]*\] \([^ ]*\).*/\1/p'; }
elves=0
while IFS= read -r -d '' file; do
  [[ $(od -An -N4 -tx1 "$file") == " 7f 45 4c 46" ]] || continue # ELF
  elves=$((elves + 1))
  what=${file#"$tmp"/}
  ! grep -qxE '\.symtab|\.debug_info' <<<"$(sections "$file")" || fail "$what is not stripped"
  [[ $file == "$tmp/tgz/"* ]] && continue
  id=$(readelf -n "$file" | sed -n 's/^ *Build ID: \([0-9a-f]*\)$/\1/p')
  debug=$tmp/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [[ -n $id && -e $debug ]] || fail "$what: no debug file for build ID '$id' in a -dbgsym package"
  grep -qx '\.debug_info' <<<"$(sections "$debug")" || fail "$what: ${debug#"$tmp"/} holds no debug information"
done < <(find "$tmp/deb" "$tmp/tgz" -type f -print0)
((elves == 10)) || fail "found $elves ELF files in the .debs and the .tar.gz, not 5 in each"

# expect WHAT STDOUT COMMAND...: runs COMMAND, which must succeed with STDOUT.
expect() {
  local what=$1 out=$2 got
  shift 2
  got=$("$@" </dev/null 2>"$tmp/err") || { cat "$tmp/err" >&2; fail "$what: exit status $?"; }
  [[ $got == "$out" ]] || fail "$what: printed [$got], not [$out]"
}

for root in "$tmp/deb/usr" "${tgz_roots[0]}"; do
  name="the .debs"
  [[ $root == "$tmp/deb/usr" ]] || name=${tgz##*/}
  zelt_io=$root/bin/zelt-io
  for file in bin/zelt-io lib/libzelt.so.0 lib/zelt/ext/wait.so include/zelt.h \
    lib/pkgconfig/zelt.pc share/man/man1/zelt-io.1.gz; do
    [[ -e $root/$file ]] || fail "$name: no $file"
  done

  expect "$name: zelt-io --version" "zelt-io $version" "${emulator[@]}" "$zelt_io" --version
  ! nm -D --defined-only "$root/lib/libzelt.so.0" | grep -q 'N4zelt10test_hooks' ||
    fail "$name: libzelt.so.0 exports test hooks"
  MANWIDTH=80 man -l "$root/share/man/man1/zelt-io.1.gz" 2>&1 | grep -q "zelt $version" ||
    fail "$name: the manual page does not render with version $version"

  # wait.so from the unpacked tree, not from a build or an installed prefix.
  "${emulator[@]}" "$zelt_io" --require nope nread </dev/null 2>"$tmp/err" && fail "$name: found nope.so"
  searched=$(sed -n 's/^zelt-io: LoadError: cannot find extension nope.so (searched: \(.*\))$/\1/p' "$tmp/err")
  [[ -n $searched && $(realpath "$searched") == "$(realpath "$root/lib/zelt/ext")" ]] ||
    fail "$name: zelt-io looks for extensions outside its tree: $(<"$tmp/err")"

  export PKG_CONFIG_PATH=$root/lib/pkgconfig
  [[ $(realpath "$(pkg-config --variable=includedir zelt)") == "$(realpath "$root/include")" ]] ||
    fail "$name: pkg-config's includedir is not $root/include"
  out=$tmp/hello-${root##*/}
  mkdir "$out"
  # shellcheck disable=SC2046 # the flags are meant to split
  "$cc" -shared -fPIC -Wall -Wextra -Werror -o "$out/hello.so" \
    "$here/../cli/outside/hello.c" $(pkg-config --cflags --libs zelt-extension) || fail "$name: building hello.so"
  exported=$(nm -D --defined-only "$out/hello.so" | awk '{ print $3 }' | tr '\n' ' ')
  [[ $exported == "Init_hello " ]] || fail "$name: hello.so exports [$exported], not Init_hello alone"
  expect "$name: hello.so through zelt-io" $'42\n0' \
    env ZELT_EXT_PATH="$out" "${emulator[@]}" "$zelt_io" --require hello hello nread
done
echo "ok: $runtime, libzelt-dev, zelt-io, their -dbgsym and ${tgz##*/} as they should be, and working where they are unpacked"
