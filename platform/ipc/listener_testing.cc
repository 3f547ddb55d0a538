#include "platform/ipc/listener_testing.h"

#include "platform/ipc/listener_impl.h"

namespace tamsel::ipc {

void ListenerTesting::admitAnyIdentifiedPeer(Listener& listener) {
  listener.impl_->admission_.admitAny_ = true;
}

void ListenerTesting::checkEveryPeerWith(Listener& listener, std::function<bool()> check) {
  listener.impl_->admission_.checkInstead_ = std::move(check);
}

std::size_t ListenerTesting::verificationsRun(Listener& listener) {
  return listener.impl_->admission_.verificationsRun();
}

std::size_t ListenerTesting::connectionCount(Listener& listener) {
  std::lock_guard lock(listener.impl_->mutex_);
  return listener.impl_->connections_.size();
}

std::size_t ListenerTesting::peersWaiting(Listener& listener) {
  std::lock_guard lock(listener.impl_->mutex_);
  std::size_t n = 0;
  for (const auto& [uid, load] : listener.impl_->users_)
    n += static_cast<std::size_t>(load.waiting);
  return n;
}

}  // namespace tamsel::ipc
