#include <sys/prctl.h>

#include <atomic>
#include <cerrno>

#include "platform/process_protection.h"

namespace tamsel {

// A process that is not dumpable can be traced, and its /proc files opened, only by a process
// holding CAP_SYS_PTRACE. Nothing but the process itself or an exec makes it dumpable again, and
// an exec starts afresh with this flag too, so once per process is enough.
Status shutOutSameUserProcesses() {
  static std::atomic<bool> done{false};
  if (done.load(std::memory_order_relaxed)) return {};
  if (::prctl(PR_SET_DUMPABLE, 0) != 0) return Error::fromErrno(errno, "prctl(PR_SET_DUMPABLE)");
  done.store(true, std::memory_order_relaxed);
  return {};
}

}  // namespace tamsel
