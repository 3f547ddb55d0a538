#include "platform/ipc/listener_testing.h"

#include "platform/ipc/listener_impl.h"

namespace tamsel::ipc {

void ListenerTesting::admitAnyIdentifiedPeer(Listener& listener) {
  listener.impl_->admission().admitAny_ = true;
}

std::size_t ListenerTesting::verificationsRun(Listener& listener) {
  return listener.impl_->admission().verificationsRun();
}

std::size_t ListenerTesting::connectionCount(Listener& listener) {
  return listener.impl_->connectionCount();
}

}  // namespace tamsel::ipc
