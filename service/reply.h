// Reply functions handed to operation bodies. Each is answered at most once: the first call
// consumes it, a later one is ignored (and trips an assertion in debug builds). One that is
// dropped unanswered is caught by the service layer, which ends that connection instead.
#pragma once

#include <cassert>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/unique_fd.h"

namespace tamsel {

template <typename... Args>
class ReplyOnce {
 public:
  ReplyOnce() = default;
  explicit ReplyOnce(std::function<void(Args...)> fn) : fn_(std::move(fn)) {}
  ReplyOnce(ReplyOnce&&) noexcept = default;
  ReplyOnce& operator=(ReplyOnce&&) noexcept = default;
  ReplyOnce(const ReplyOnce&) = delete;
  ReplyOnce& operator=(const ReplyOnce&) = delete;

  void operator()(Args... args) {
    assert(fn_ && "reply called twice");
    if (!fn_) return;
    auto fn = std::exchange(fn_, nullptr);
    fn(std::move(args)...);
  }

  bool answered() const { return !fn_; }

 private:
  std::function<void(Args...)> fn_;
};

using Message = std::optional<std::string>;

// ok, message (absent on success), code
using StatusReply = ReplyOnce<bool, Message, std::int32_t>;
// handle (invalid when refused), message, code
using SocketReply = ReplyOnce<UniqueFd, Message, std::int32_t>;
using VersionReply = ReplyOnce<std::string>;
// text (absent on a store failure), message, code
using LogsReply = ReplyOnce<std::optional<std::string>, Message, std::int32_t>;
using PingReply = ReplyOnce<bool>;

}  // namespace tamsel
