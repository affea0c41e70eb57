#!/usr/bin/env bash
# The FreeBSD library, which cannot run here, checked from its ELF records: built for FreeBSD on
# AArch64, needing FreeBSD's C library and nothing else, every undefined symbol bound to a symbol
# version of that library, and kevent bound to the 64-byte record interface (FBSD_1.5; older
# versions take FreeBSD 11's 32-byte record). The freebsd-aarch_64 jar is checked by
# check_artifacts.sh.
#
#   check_freebsd_library.sh LIBRARY
set -euo pipefail
library=$1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

header=$(readelf -h "$library")
grep -Eq 'Machine:[[:space:]]+AArch64' <<<"$header" || fail "not an AArch64 object"
grep -Eq 'OS/ABI:[[:space:]]+UNIX - FreeBSD' <<<"$header" || fail "not built for FreeBSD"

needed=$(readelf -d -W "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
echo "NEEDED: $(echo $needed)"
for entry in $needed; do
  case "$entry" in
    libc.so.7 | libthr.so.3) ;;
    *) fail "needs $entry; only FreeBSD's C library (and its thread library) may be needed" ;;
  esac
done
grep -qx 'libc.so.7' <<<"$needed" || fail "does not need libc.so.7"

# Undefined dynamic symbols as name@version; an unversioned one binds to no library's interface.
undefined=$(readelf --dyn-syms -W "$library" | awk '$7 == "UND" && $8 != "" {print $8}' | sort)
unversioned=$(grep -v '@FBSD_' <<<"$undefined" || true)
[ -z "$unversioned" ] || fail "undefined symbols outside FreeBSD's C library: $(echo $unversioned)"
grep -qx 'kevent@FBSD_1.5' <<<"$undefined" || fail "kevent is not bound to kevent@FBSD_1.5"
echo "binds: $(echo $undefined)"

[ "$failures" -eq 0 ] || exit 1
echo "FreeBSD library: $(echo $needed) needed, $(wc -l <<<"$undefined") versioned symbols bound"
