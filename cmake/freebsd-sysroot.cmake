# Sets QUARN_FREEBSD_SYSROOT from the environment, or stops with one message when it names no
# FreeBSD AArch64 sysroot. Read by the FreeBSD toolchain file, and by the top CMakeLists.txt before
# project(), so that a missing sysroot is reported before any compiler is looked for.
set(QUARN_FREEBSD_SYSROOT "$ENV{QUARN_FREEBSD_SYSROOT}")
if(NOT QUARN_FREEBSD_SYSROOT OR NOT EXISTS "${QUARN_FREEBSD_SYSROOT}/usr/include/sys/event.h"
   OR NOT EXISTS "${QUARN_FREEBSD_SYSROOT}/lib/libc.so.7")
  message(FATAL_ERROR "QUARN_FREEBSD_SYSROOT must name a FreeBSD AArch64 sysroot (the freebsd-aarch64 folder that "
                      "../shared/freebsd/unpack.sh DEST prints); it is '${QUARN_FREEBSD_SYSROOT}'")
endif()
