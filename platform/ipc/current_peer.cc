#include "platform/ipc/service.h"

namespace tamsel::ipc {
namespace {
thread_local std::optional<PeerCredentials> tCurrentPeer;
}  // namespace

std::optional<PeerCredentials> currentConnectionPeer() {
  return tCurrentPeer;
}

ScopedRequestPeer::ScopedRequestPeer(PeerCredentials peer) : previous_(tCurrentPeer) {
  tCurrentPeer = peer;
}

ScopedRequestPeer::~ScopedRequestPeer() {
  tCurrentPeer = previous_;
}

}  // namespace tamsel::ipc
