#!/usr/bin/env bash
# man_page.sh PAGE ZELT_IO RUNTIME_SOURCES: the configured zelt-io(1) renders
# without a warning, names every option that `zelt-io --help` lists and every
# environment variable the runtime reads, shows the usage error zelt-io
# prints, and gives the version --version prints. ZELT_TEST_EMULATOR runs a
# cross-built zelt-io (empty when native).
set -euo pipefail
page=$1 zelt_io=$2 sources=$3
read -ra emulator <<<"${ZELT_TEST_EMULATOR-}"
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
MANWIDTH=80 man --warnings -l "$page" >"$tmp/page" 2>"$tmp/err" || fail "man -l $page failed"
[[ ! -s $tmp/err ]] || fail "man -l warns: $(<"$tmp/err")"
text=$(col -b <"$tmp/page")

for section in NAME SYNOPSIS DESCRIPTION OPTIONS CALLS 'EXIT STATUS' ENVIRONMENT EXAMPLES; do
  grep -qx "$section" <<<"$text" || fail "no section $section"
done

# Each option as --help lists it ("  --fd N ...", "  -h, --help ...").
options=$("${emulator[@]}" "$zelt_io" --help | grep -oE '^  (-[a-z], )?--[a-z]+' | grep -oE -- '--[a-z]+')
[[ -n $options ]] || fail "zelt-io --help lists no option"
for option in $options; do
  grep -qE -- "^ {7}(-[a-z], )?$option\b" <<<"$text" || fail "option $option is not described"
done

# The malformed CALL under EXAMPLES gives what zelt-io prints for it, the
# usage's synopsis included, line by line.
refusal=$("${emulator[@]}" "$zelt_io" 'wait(1,' </dev/null 2>&1 >/dev/null) && fail "zelt-io took 'wait(1,'"
spaced=$(col -bx <"$tmp/page") # its indentation in spaces, as zelt-io's
while IFS= read -r line; do
  grep -qF -- "$line" <<<"$spaced" || fail "EXAMPLES does not show zelt-io's line \"$line\""
done <<<"$refusal"

# The script under EXAMPLES that branches on --status says "end of stream"
# where standard input is /dev/null (cron, CI, ssh -n), and its line loop
# passes each line on and stops at the end.
script=$(sed -n '/^[[:space:]]*zelt-io --status .wait(5)/,/^[[:space:]]*esac$/p' <<<"$text")
[[ -n $script ]] || fail "no --status script under EXAMPLES"
loop=$(sed -n '/^[[:space:]]*while :; do$/,/^[[:space:]]*done$/p' <<<"$text")
[[ -n $loop ]] || fail "no line loop under EXAMPLES"
if [[ ${#emulator[@]} -eq 0 ]]; then
  mkdir "$tmp/bin" && ln -s "$zelt_io" "$tmp/bin/zelt-io"
  said=$(PATH="$tmp/bin:$PATH" sh -c "$script" </dev/null 2>&1)
  [[ $said == "end of stream" ]] || fail "the --status script on /dev/null says \"$said\""
  said=$(printf 'one\ntwo' | PATH="$tmp/bin:$PATH" sh -c "$loop" 2>&1)
  [[ $said == $'got one\ngot two' ]] || fail "the line loop says \"$said\""
fi

version=$("${emulator[@]}" "$zelt_io" --version)
grep -F "$version" <<<"$text" | grep -q Print || fail "the page does not give \"$version\" for --version"

# Every variable the runtime reads has its entry under ENVIRONMENT.
environment=$(sed -n '/^ENVIRONMENT$/,/^[A-Z]/p' <<<"$text")
variables=$(grep -ohE 'getenv\("[A-Z_]+"\)' "$sources"/*.cpp | grep -oE '[A-Z_]{2,}' | sort -u)
[[ -n $variables ]] || fail "found no getenv in $sources"
for variable in $variables; do
  grep -qE "^ {7}$variable$" <<<"$environment" || fail "environment variable $variable is not described"
done
exit $status
