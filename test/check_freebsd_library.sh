#!/usr/bin/env bash
# The FreeBSD library, which cannot run here, checked from its ELF records: built for FreeBSD on
# AArch64, needing FreeBSD's C library and nothing else, every undefined symbol bound to a symbol
# version of that library, and kevent bound to the 64-byte record interface (FBSD_1.5; older
# versions take FreeBSD 11's 32-byte record). Then the FreeBSD jar: the classes plus exactly this
# library under META-INF/native/freebsd/.
#
#   check_freebsd_library.sh LIBRARY JAR-TOOL JAR LIBRARY-FILE-NAME
set -euo pipefail
library=$1
jar_tool=$2
jar=$3
name=$4
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

listing=$("$jar_tool" tf "$jar")
grep -qx "META-INF/native/freebsd/$name" <<<"$listing" || fail "$jar holds no META-INF/native/freebsd/$name"
grep -qx 'io/quarn/channel/kqueue/NativeLibraryLoader.class' <<<"$listing" || fail "$jar holds no classes"
stray=$(grep '^META-INF/native/.*[^/]$' <<<"$listing" | grep -vx "META-INF/native/freebsd/$name" || true)
[ -z "$stray" ] || fail "$jar holds other native files: $(echo $stray)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$jar_tool" xf "$jar" "META-INF/native/freebsd/$name")
cmp -s "$library" "$work/META-INF/native/freebsd/$name" || fail "the jar's library is not the one built"

[ "$failures" -eq 0 ] || exit 1
echo "FreeBSD library: $(echo $needed) needed, $(wc -l <<<"$undefined") versioned symbols bound, jar $(basename "$jar")"
