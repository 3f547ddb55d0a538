// What every connection exports: requests decoded against HelperProtocol and handed to the one
// HelperImpl; replies encoded back in the operation's reply shape.
#pragma once

#include <memory>
#include <string_view>

#include "platform/ipc/service.h"
#include "service/helper_impl.h"

namespace tamsel {

class HelperExport final : public ipc::RequestHandler {
 public:
  explicit HelperExport(std::shared_ptr<const HelperImpl> helper) : helper_(std::move(helper)) {}

  // Unknown selectors, wrong argument kinds and operations this build does not dispatch end the
  // connection with a protocol error; nothing reaches a body.
  void handle(ipc::Request request, ipc::Responder responder) const override;

  static bool dispatches(std::string_view selector);

 private:
  std::shared_ptr<const HelperImpl> helper_;
};

}  // namespace tamsel
