// FreeBSD has had pipe2 since 10.0; bound weakly so that the pipe path does not depend on it.
#include "platform/pipe.h"

#pragma weak pipe2

namespace quarn::platform {

int openNonBlockingPipe(int pair[2]) { return openNonBlockingPipeWith(pair, &::pipe2); }

}  // namespace quarn::platform
