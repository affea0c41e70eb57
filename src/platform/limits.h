// System limits the Java side sizes its batches by.
#pragma once

#include <limits.h>
#include <sys/uio.h>

namespace quarn::platform {

#if defined(UIO_MAXIOV)
inline constexpr int kUioMaxIov = UIO_MAXIOV;
#else
// FreeBSD keeps UIO_MAXIOV in the kernel's headers only; its value there is 1024.
inline constexpr int kUioMaxIov = 1024;
#endif

inline constexpr int kIovMax = IOV_MAX;

}  // namespace quarn::platform
