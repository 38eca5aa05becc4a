#!/usr/bin/env bash
# secure_environment.sh ZELT_IO LIBZELT WAIT_SO: ZELT_EXT_PATH names code to
# load, so a process in secure-execution mode ignores it, as the dynamic
# loader ignores its own variables there; it ignores ZELT_WAKE_SIGNAL too,
# whose refusal of a bad value shows whether it was read. A copy of zelt-io
# given a file capability and run by another user is such a process; a
# plain copy run by that user is not.
#
# The copies run from a temporary directory that the other user can reach
# wherever the build lies (a checkout in a mode-700 home): bin/ holds them,
# lib/ the runtime under its SONAME, lib/zelt/ext/ wait.so (and wait_write.so, which zelt-io loads too) where the runtime
# looks, and each copy's RUNPATH names that lib/ by its absolute path (in
# secure-execution mode the dynamic loader takes $ORIGIN only in the
# system's own directories).
# Needs root, setcap, setpriv, patchelf and a file system with extended
# attributes; skipped (77) without them or under an emulator.
set -euo pipefail
zelt_io=$1 libzelt=$2 wait_so=$3
skip() {
  echo "skipped: $*"
  exit 77
}
[[ -z ${ZELT_TEST_EMULATOR-} ]] || skip "an emulator does not run a capable binary as one"
[[ $(id -u) == 0 ]] || skip "needs root to set a file capability"
command -v setcap >/dev/null && command -v setpriv >/dev/null || skip "needs setcap and setpriv"
command -v patchelf >/dev/null || skip "needs patchelf to give the copies their RUNPATH"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
chmod 755 "$tmp"
mkdir -p "$tmp/ext" "$tmp/bin" "$tmp/lib/zelt/ext"
echo "not a shared object" >"$tmp/ext/wait.so" # loading it fails, loudly
cp "$libzelt" "$tmp/lib/libzelt.so.0"
cp "$wait_so" "$tmp/lib/zelt/ext/wait.so"
cp "$(dirname "$wait_so")/wait_write.so" "$tmp/lib/zelt/ext/" # zelt-io loads both
for copy in plain capable; do
  cp "$zelt_io" "$tmp/bin/$copy"
  patchelf --set-rpath "$tmp/lib" "$tmp/bin/$copy"
done
setcap cap_net_bind_service=ep "$tmp/bin/capable" 2>/dev/null || skip "no file capabilities here"

nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
"${nobody[@]}" test -r "$tmp/lib/libzelt.so.0" || skip "user 65534 cannot reach $tmp (TMPDIR)"
cd "$tmp"
as_nobody() {
  ZELT_EXT_PATH="$tmp/ext" "${nobody[@]}" "$@" --file /dev/null nread 2>&1
}
if out=$(as_nobody "$tmp/bin/plain"); then
  echo "FAIL: the plain copy did not follow ZELT_EXT_PATH: $out" >&2
  exit 1
fi
grep -qF "cannot load $tmp/ext/wait.so" <<<"$out" || {
  echo "FAIL: the plain copy failed otherwise: $out" >&2
  exit 1
}
out=$(as_nobody "$tmp/bin/capable") || {
  echo "FAIL: the capable copy followed ZELT_EXT_PATH: $out" >&2
  exit 1
}
[[ $out == 0 ]] || {
  echo "FAIL: the capable copy answered $out" >&2
  exit 1
}
echo "ZELT_EXT_PATH followed by the plain copy, ignored by the capable one"

as_nobody_with_signal() {
  ZELT_WAKE_SIGNAL=NOPE "${nobody[@]}" "$@" --file /dev/null nread 2>&1
}
out=$(as_nobody_with_signal "$tmp/bin/plain")
grep -qF "ZELT_WAKE_SIGNAL=NOPE names no signal" <<<"$out" || {
  echo "FAIL: the plain copy did not read ZELT_WAKE_SIGNAL: $out" >&2
  exit 1
}
out=$(as_nobody_with_signal "$tmp/bin/capable")
[[ $out == 0 ]] || {
  echo "FAIL: the capable copy read ZELT_WAKE_SIGNAL: $out" >&2
  exit 1
}
echo "ZELT_WAKE_SIGNAL read by the plain copy, ignored by the capable one"
