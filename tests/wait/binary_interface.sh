#!/bin/sh
# binary_interface.sh SO [NAME]: the built extension NAME.so (wait by
# default) exports Init_NAME alone, names libzelt as a library it needs, and
# imports no allocation function (it allocates nothing of its own: what it
# answers, the runtime makes).
set -eu
so=$1
name=${2:-wait}
status=0
fail() {
  echo "$so: $*" >&2
  status=1
}

exported=$(nm -D --defined-only "$so" | awk '{ print $3 }' | sort | tr '\n' ' ')
[ "$exported" = "Init_$name " ] || fail "exports [$exported], not Init_$name alone"

readelf -d "$so" | grep -q '(NEEDED).*\[libzelt\.so\.0\]' || fail "does not need libzelt.so.0"

allocators='^(malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc|pvalloc|strdup|strndup|_Zn[wa].*|_Zd[la].*)$'
imported=$(nm -D --undefined-only "$so" | awk '{ print $2 }' | sed 's/@.*//' | grep -E "$allocators" | tr '\n' ' ' || true)
[ -z "$imported" ] || fail "imports allocation functions: $imported"

exit $status
