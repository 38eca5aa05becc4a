#!/usr/bin/env bash
# bootstrap_lock.sh SOURCE_DIR: scripts/bootstrap waits for apt's locks held
# by another process instead of failing: first the package lists' lock,
# which `apt-get update` does not wait for by itself, then dpkg's front-end
# lock, which `apt-get install` waits for as bootstrap asks it to.
#
# apt-get is the real one, on a private configuration (APT_CONFIG) whose
# lists, status file and locks lie in a temporary directory and which has no
# package source, so that it can install nothing; dpkg-query is replaced by
# one that finds no package installed. A holder process takes both locks as
# apt takes them (fcntl) and gives each up only once bootstrap is seen
# waiting for it; the install then fails, as it must there, for want of the
# package, which shows that it got past both locks.
# Needs root (bootstrap installs only as root) and python3; skipped (77) without.
set -euo pipefail
source_dir=$1
skip() {
  echo "skipped: $*"
  exit 77
}
[[ $(id -u) == 0 ]] || skip "needs root: bootstrap calls apt-get only as root"
command -v apt-get >/dev/null || skip "no apt-get here"
command -v python3 >/dev/null || skip "needs python3 to hold a lock as apt takes it"

tmp=$(mktemp -d)
holder_pid='' bootstrap_pid=''
cleanup() {
  [[ -z $bootstrap_pid ]] || kill "$bootstrap_pid" 2>/dev/null || true
  [[ -z $holder_pid ]] || kill "$holder_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [[ ! -e $tmp/out ]] || { echo "--- bootstrap's output:" >&2; cat "$tmp/out" >&2; }
  exit 1
}

apt=$tmp/apt
mkdir -p "$apt"/lists/partial "$apt"/dpkg/updates "$apt"/cache/archives/partial \
  "$apt"/etc/sources.list.d "$apt"/etc/preferences.d "$apt"/etc/apt.conf.d "$apt"/log
touch "$apt"/dpkg/status "$apt"/etc/sources.list
cat >"$apt/apt.conf" <<CONF
Dir::State::lists "$apt/lists/";
Dir::State::status "$apt/dpkg/status";
Dir::Cache "$apt/cache/";
Dir::Etc::sourcelist "$apt/etc/sources.list";
Dir::Etc::sourceparts "$apt/etc/sources.list.d/";
Dir::Etc::preferencesparts "$apt/etc/preferences.d/";
Dir::Etc::parts "$apt/etc/apt.conf.d/";
Dir::Log "$apt/log/";
CONF
mkdir "$tmp/bin"
printf '#!/bin/sh\nexit 1\n' >"$tmp/bin/dpkg-query" # no package installed
chmod +x "$tmp/bin/dpkg-query"

# The holder: locks each path named, says "held", then releases one lock,
# in order, for each line it reads, and says "released PATH".
mkfifo "$tmp/to_holder" "$tmp/from_holder"
python3 -c '
import fcntl, os, sys
fds = []
for path in sys.argv[1:]:
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o640)
    fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    fds.append((path, fd))
print("held", flush=True)
for path, fd in fds:
    if not sys.stdin.readline():
        break
    fcntl.lockf(fd, fcntl.LOCK_UN)
    print("released", path, flush=True)
' "$apt/lists/lock" "$apt/dpkg/lock-frontend" <"$tmp/to_holder" >"$tmp/from_holder" &
holder_pid=$!
exec 3>"$tmp/to_holder" 4<"$tmp/from_holder"
read -r -t 30 line <&4 && [[ $line == held ]] || fail "the holder did not take the locks"

# waits_for TEXT: until bootstrap's output holds TEXT, or bootstrap ends.
waits_for() {
  local deadline=$((SECONDS + 60))
  until grep -qF -- "$1" "$tmp/out"; do
    kill -0 "$bootstrap_pid" 2>/dev/null || fail "bootstrap ended without waiting for $2"
    ((SECONDS < deadline)) || fail "bootstrap did not say within a minute that it waits for $2"
    sleep 0.1
  done
}
release() {
  echo >&3
  read -r -t 30 line <&4 && [[ $line == "released $1" ]] || fail "the holder did not release $1"
}

cd "$source_dir"
APT_CONFIG=$apt/apt.conf ZELT_APT_LOCK_TIMEOUT=120 PATH="$tmp/bin:$PATH" \
  scripts/bootstrap build >"$tmp/out" 2>&1 </dev/null &
bootstrap_pid=$!
waits_for "waiting for the package lists' lock" "the package lists' lock"
release "$apt/lists/lock"
waits_for "Waiting for cache lock" "dpkg's front-end lock"
release "$apt/dpkg/lock-frontend"
status=0
wait "$bootstrap_pid" || status=$?
bootstrap_pid=''
# With no package source, the install itself is what fails.
((status != 0)) || fail "bootstrap installed from a configuration with no package source"
grep -q '^E: Unable to locate package cmake' "$tmp/out" || fail "the install did not get as far as looking for its packages"
! grep -q '^E: Could not get lock\|^E: Unable to lock' "$tmp/out" || fail "apt-get failed on a lock"
echo "ok: bootstrap waited for the package lists' lock and for dpkg's front-end lock"
