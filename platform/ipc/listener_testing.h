// Test-only access to a Listener. Lives in the tamsel_ipc_testing library, which the daemon never
// links; nothing here is reachable from production code.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/ipc/service.h"

namespace tamsel::ipc {

struct ListenerTesting {
  // Admits any peer whose identity can be established, signed or not. Per-message sender
  // checks still run. For tests of the connection machinery in an unsigned test binary.
  static void admitAnyIdentifiedPeer(Listener& listener);
  // Every identified peer waits for a check of its own, which calls check (it may block) instead
  // of checking a signature; no verdict is cached.
  static void checkEveryPeerWith(Listener& listener, std::function<bool()> check);
  // Signature checks run so far (cache misses).
  static std::size_t verificationsRun(Listener& listener);
  // Connections currently held (admitted, not yet closed).
  static std::size_t connectionCount(Listener& listener);
  // Identified peers waiting for their check or in one, all users together.
  static std::size_t peersWaiting(Listener& listener);
};

}  // namespace tamsel::ipc
