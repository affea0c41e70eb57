# Cross build for FreeBSD 14 on AArch64 with Debian's clang 14 and lld, against FreeBSD's own
# headers and C library. QUARN_FREEBSD_SYSROOT names the sysroot's freebsd-aarch64 folder (the one
# ../shared/freebsd/unpack.sh prints). Nothing built here runs here: the C++ tests are compiled,
# not run, and the library is checked with readelf and nm.
include(${CMAKE_CURRENT_LIST_DIR}/freebsd-sysroot.cmake)

set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_SYSROOT ${QUARN_FREEBSD_SYSROOT})
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET aarch64-unknown-freebsd14)
set(CMAKE_CXX_COMPILER_TARGET aarch64-unknown-freebsd14)
# clang 14 does not find FreeBSD's libc++ headers in a sysroot by itself. Not a cached flag, so
# that a build folder follows the sysroot when it moves.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${QUARN_FREEBSD_SYSROOT}/usr/include/c++/v1)

# The sysroot has no crtbeginS.o, libgcc or C++ runtime: a shared library names its C library
# itself, and nothing that needs more can link here. CMake's compiler checks therefore build a
# static library instead of a program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostartfiles -nostdlib")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostartfiles -nostdlib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_C_STANDARD_LIBRARIES "-lc")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lc")

set(CMAKE_FIND_ROOT_PATH ${QUARN_FREEBSD_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
