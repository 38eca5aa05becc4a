#!/usr/bin/env bash
# bootstrap_groups.sh SOURCE_DIR: what scripts/demo and each step of
# scripts/test would install on a machine that has nothing. dpkg-query is
# replaced by one that finds no package installed, and apt-get by one that
# records what it is asked to install and then fails, so that each job stops
# at its bootstrap; nothing is installed and nothing is built (cmake and the
# other tools a job runs next are replaced by ones that record that they ran).
# As another user than root, bootstrap names the missing packages instead of
# calling apt-get; those names are read then.
set -euo pipefail
source_dir=$1

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

fake=$tmp/bin
mkdir "$fake"
real_dpkg=$(command -v dpkg) || fail "no dpkg here"
cat >"$fake/dpkg-query" <<'FAKE'
#!/bin/sh
exit 1
FAKE
cat >"$fake/apt-get" <<FAKE
#!/bin/sh
echo "\$*" >>"$tmp/apt-get.log"
case " \$* " in *" install "*) echo "E: (test) not installing" >&2; exit 100 ;; esac
exit 0
FAKE
cat >"$fake/dpkg" <<FAKE
#!/bin/sh
case \$1 in --add-architecture) echo "\$*" >>"$tmp/dpkg.log"; exit 0 ;; esac
exec "$real_dpkg" "\$@"
FAKE
for tool in cmake ctest spin clang-format clang-tidy lintian cpack; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/ran.log"\nexit 99\n' "$tool" "$tmp" >"$fake/$tool"
done
chmod +x "$fake"/*

# asked_for COMMAND...: the packages that COMMAND's bootstraps would
# install, one a line, sorted.
asked_for() {
  rm -f "$tmp/apt-get.log" "$tmp/ran.log"
  local status=0
  env -u ZELT_IO PATH="$fake:$PATH" "$@" >"$tmp/out" 2>&1 </dev/null || status=$?
  ((status != 0)) || { cat "$tmp/out" >&2; fail "$*: succeeded with no package installed"; }
  [[ ! -e $tmp/ran.log ]] || { cat "$tmp/out" >&2; fail "$*: went past a failed bootstrap: $(<"$tmp/ran.log")"; }
  {
    if [[ -e $tmp/apt-get.log ]]; then
      grep -E '(^| )install ' "$tmp/apt-get.log" | sed 's/.* install //' | tr ' ' '\n' | grep -v '^-' || true
    fi
    sed -n 's/^bootstrap: missing packages: //p' "$tmp/out" | tr ' ' '\n'
  } | grep . | sort -u
}

# job  MUST-HOLD  MUST-LACK (an extended regular expression on one package)
cross_and_checkers='-aarch64-linux-gnu$|:arm64$|^qemu|^spin$|^lintian$'
jobs=(
  "scripts/demo|cmake ninja-build g++|$cross_and_checkers|^valgrind$|^clang|gtest|gmock|^libbenchmark"
  "scripts/test dev|cmake g++ libgtest-dev libgmock-dev patchelf man-db pkg-config dpkg-dev|$cross_and_checkers|^valgrind$"
  "scripts/test asan tsan|cmake libgtest-dev patchelf|$cross_and_checkers"
  "scripts/test aarch64|g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 libgmock-dev:arm64 patchelf|^spin$|^lintian$|^valgrind$"
  "scripts/test package|cmake dpkg-dev file lintian man-db|-aarch64-linux-gnu$|:arm64$|^qemu|^spin$"
  "scripts/test lint|clang clang-tidy clang-format libgtest-dev libbenchmark-dev|-aarch64-linux-gnu$|^qemu|^spin$|^lintian$"
  "scripts/test fuzz|clang libclang-rt-14-dev|-aarch64-linux-gnu$|^qemu|^spin$|^lintian$|gtest"
  "scripts/test model|spin gcc|-aarch64-linux-gnu$|^qemu|^lintian$|^cmake$"
  "scripts/test budgets|valgrind python3 libbenchmark-dev|-aarch64-linux-gnu$|^qemu|^spin$|^lintian$"
  # every step, as CI runs it on a fresh machine: all that CI needs, and the charts' gnuplot not
  "scripts/test|cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev patchelf man-db dpkg-dev lintian g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 libgmock-dev:arm64 clang clang-tidy clang-format libclang-rt-14-dev spin valgrind python3|^gnuplot"
)
cd "$source_dir"
for row in "${jobs[@]}"; do
  IFS='|' read -r command holds lacks <<<"$row"
  read -ra argv <<<"$command"
  got=$(asked_for "${argv[@]}")
  [[ -n $got ]] || { cat "$tmp/out" >&2; fail "$command: asked for no package"; }
  for package in $holds; do
    grep -qxF -- "$package" <<<"$got" || fail "$command: does not install $package; installs: $(tr '\n' ' ' <<<"$got")"
  done
  unwanted=$(grep -E -- "$lacks" <<<"$got" | tr '\n' ' ' || true)
  [[ -z $unwanted ]] || fail "$command: installs $unwanted, which it does not need"
  echo "ok: $command: $(wc -l <<<"$got") packages"
done
