// glibc has had pipe2 since 2.9; it is still bound weakly, as on every system, so that the
// library's pipe path does not depend on it being there.
#include "platform/pipe.h"

#pragma weak pipe2

namespace quarn::platform {

int openNonBlockingPipe(int pair[2]) { return openNonBlockingPipeWith(pair, &::pipe2); }

}  // namespace quarn::platform
