#include <sys/prctl.h>

#include <cerrno>

#include "platform/process_protection.h"

namespace tamsel {

// A process that is not dumpable can be traced, and its /proc files opened, only by a process
// holding CAP_SYS_PTRACE.
Status shutOutSameUserProcesses() {
  if (::prctl(PR_SET_DUMPABLE, 0) != 0) return Error::fromErrno(errno, "prctl(PR_SET_DUMPABLE)");
  return {};
}

}  // namespace tamsel
