// Shuts other processes of the same user out of this one: from now on they can neither trace it
// nor read or write its memory. The helper admits a client that is not root only after it has
// done this, since its signature says nothing about code written into it later.
#pragma once

#include "platform/result.h"

namespace tamsel {

Status shutOutSameUserProcesses();

}  // namespace tamsel
