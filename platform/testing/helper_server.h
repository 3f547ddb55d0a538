// The client side's counterpart in tests: a HelperProtocol implementation served the way the
// daemon serves HelperImpl (through the protocol table, with a protocol error for a request it
// cannot take), on a real listener in a scratch directory. Every request is recorded as text.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/ipc_test_support.h"
#include "platform/ipc/listener_testing.h"
#include "platform/sockets.h"
#include "platform/testing/scratch_dir.h"
#include "service/helper_protocol.h"

namespace tamsel {

// Answers each operation from its arguments, so that a test sees they arrived.
class ScriptedHelper final : public HelperProtocol {
 public:
  static constexpr std::string_view kTwoLogLines =
      "{\"ts\":\"2026-03-01T09:15:42.123Z\",\"level\":\"info\",\"message\":\"a\"}\n"
      "{\"level\":\"error\",\"message\":\"b "
      "\\\"ts\\\":\\\"x\\\"\",\"ts\":\"2026-03-01T09:15:43.000Z\"}";
  static constexpr std::string_view kLastLogTime = "2026-03-01T09:15:43.000Z";

  StatusReply installResolverWithTld(const OptionalString& tld, const OptionalString& address,
                                     std::int64_t port) const override {
    if (port == 53) return StatusReply::success();
    return StatusReply::failure(
        tld.value_or("") + "|" + address.value_or("") + "|" + std::to_string(port), 22);
  }
  StatusReply removeResolverWithTld(const OptionalString& tld) const override {
    return StatusReply::failure(tld.value_or(""), -7);
  }
  StatusReply removeTrustedCACertificateWithCertPath(const OptionalString& path) const override {
    return StatusReply::failure("removed " + path.value_or(""), -7);
  }
  StatusReply reconcileSystemCACertificateWithCertPath(const OptionalString& path) const override {
    return StatusReply::failure("reconciled " + path.value_or(""), -7);
  }
  StatusReply reconcileInstalledCLIWithReply() const override { return StatusReply::success(); }
  StatusReply removeInstalledCLIWithReply() const override { return StatusReply::failure("gone"); }
  // Family 2: a real listening socket on port (0: any free one).
  SocketReply openListeningSocketWithFamily(std::int64_t family,
                                            std::uint16_t port) const override {
    if (family != 2) return {UniqueFd(), "unsupported address family", 0};
    auto opened = openTcpListener(IpFamily::kIPv4, port, 4);
    return {std::move(std::get<UniqueFd>(opened)), std::nullopt, 0};
  }
  VersionReply helperVersionWithReply() const override { return {" 1.2.3 "}; }
  // The path "wait" waits for the gate first.
  StatusReply chownTamselDataDirWithPath(const OptionalString& path,
                                         std::int64_t toUid) const override {
    if (path == "wait") {
      waiting.fetch_add(1);
      gate.wait();
    }
    return StatusReply::failure(path.value_or("") + ":" + std::to_string(toUid), -7);
  }
  LogsReply fetchHelperLogsSinceISO(const OptionalString& since) const override {
    if (since == "broken") return {std::nullopt, "failed to read helper logs: gone", 0};
    if (since == kLastLogTime) return {std::string(), std::nullopt, 0};
    return {std::string(kTwoLogLines), std::nullopt, 0};
  }
  PingReply pingWithReply() const override { return {true}; }

  mutable ipc::testing::Gate gate;
  mutable std::atomic<int> waiting{0};
};

class HelperServer final : public ipc::RequestHandler {
 public:
  // kAnyPeer admits every identified peer, signed or not; kSignedPeers demands a signature.
  enum class Admission { kAnyPeer, kSignedPeers };

  explicit HelperServer(Admission admission = Admission::kAnyPeer) {
    ipc::ListenerOptions options;
    options.socketPath = socketPath();
    listener_ = std::make_unique<ipc::Listener>("test", options);
    if (admission == Admission::kAnyPeer) {
      ipc::ListenerTesting::admitAnyIdentifiedPeer(*listener_);
    } else {
      listener_->setConnectionCodeSigningRequirement("anchor apple generic");
    }
    listener_->setDelegate(&delegate_);
    listener_->resume();
  }
  ~HelperServer() override {
    helper.gate.open();
    listener_.reset();
  }

  std::string socketPath() const { return dir.file("helper.socket"); }

  // "selector arg arg ..." of each request that reached the helper, in order.
  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Changes every reply's values before they are sent (to send what a helper must not).
  void alterReplies(std::function<void(std::string_view selector, std::vector<ipc::Value>&)> f) {
    std::lock_guard lock(mutex_);
    alter_ = std::move(f);
  }

  // As HelperImpl::handle, recording the request and altering the reply on the way.
  void handle(ipc::Request request, ipc::Responder responder) const override {
    const ProtocolOperation* op = findOperation(request.selector);
    if (op == nullptr || op->selector != request.selector || !argumentsMatch(*op, request.args)) {
      return std::move(responder).protocolError("unknown selector or arguments");
    }
    std::string text = request.selector;
    for (const ipc::Value& v : request.args) {
      const auto* s = std::get_if<ipc::StringValue>(&v);
      const auto* i = std::get_if<std::int64_t>(&v);
      text += " " + (s ? s->text.value_or("(null)")
                       : std::to_string(i ? *i : std::get<std::uint16_t>(v)));
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(text));
    }
    std::vector<ipc::Value> values = op->invoke(helper, request.args);  // may wait for the gate
    std::lock_guard lock(mutex_);
    if (alter_) alter_(request.selector, values);
    std::move(responder).reply(std::move(values));
  }

  ScratchDir dir{"helper-server"};
  ScriptedHelper helper;

 private:
  // The listener holds the exported object by shared_ptr; this one lives as long as it does.
  ipc::testing::AcceptingDelegate delegate_{std::shared_ptr<const ipc::RequestHandler>(
      std::shared_ptr<const ipc::RequestHandler>(), this)};
  std::unique_ptr<ipc::Listener> listener_;
  mutable std::mutex mutex_;
  mutable std::vector<std::string> requests_;                              // guarded by mutex_
  std::function<void(std::string_view, std::vector<ipc::Value>&)> alter_;  // guarded by mutex_
};

}  // namespace tamsel
