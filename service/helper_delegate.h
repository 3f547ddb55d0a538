// Admits every connection the listener offers (the listener has already checked the peer's code
// signature) and exports the shared HelperImpl on it.
#pragma once

#include <memory>

#include "platform/ipc/service.h"
#include "service/helper_impl.h"

namespace tamsel {

class HelperDelegate final : public ipc::ListenerDelegate {
 public:
  explicit HelperDelegate(std::shared_ptr<const HelperImpl> exported)
      : exported_(std::move(exported)) {}

  bool shouldAcceptNewConnection(ipc::Connection& connection) override {
    connection.setExportedObject(exported_);
    connection.resume();
    return true;
  }

 private:
  std::shared_ptr<const HelperImpl> exported_;
};

}  // namespace tamsel
