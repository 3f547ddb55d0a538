// A stand-in for the helper's operations, served by a real listener in the test process: it
// answers every selector of the protocol table with replies the tests can predict, and records
// the arguments it was given.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/ipc/ipc_test_support.h"
#include "platform/ipc/listener_testing.h"
#include "service/helper_protocol.h"

namespace tamsel::client::testing {

using namespace tamsel::ipc::testing;

inline ipc::StringValue s(std::optional<std::string> text) {
  return ipc::StringValue{std::move(text)};
}

class FakeHelper final : public ipc::RequestHandler {
 public:
  void handle(ipc::Request req, ipc::Responder responder) const override {
    {
      std::lock_guard lock(mutex_);
      seen_.push_back(req.selector);
      if (req.selector == "fetchHelperLogsSinceISO:reply:") {
        sinces_.push_back(std::get<ipc::StringValue>(req.args.at(0)).text.value_or("<null>"));
      }
    }
    const tamsel::ProtocolOperation* op = tamsel::findOperation(req.selector);
    if (op == nullptr || op->selector != req.selector) {
      return std::move(responder).protocolError("unknown selector");
    }
    auto& a = req.args;
    const std::string& sel = req.selector;
    if (sel == "installResolverWithTld:listenAddress:port:reply:") {
      const auto tld = std::get<ipc::StringValue>(a.at(0)).text.value_or("");
      const auto port = std::get<std::int64_t>(a.at(2));
      if (tld == "test" && port == 53)
        return std::move(responder).reply(values(true, s({}), std::int32_t{0}));
      return std::move(responder).reply(values(
          false, s("Refusing to write resolver file: \"" + tld + "\"\n/" + std::to_string(port)),
          std::int32_t{0}));
    }
    if (sel == "openListeningSocketWithFamily:port:reply:") {
      if (std::get<std::int64_t>(a.at(0)) != 2) {
        return std::move(responder).reply(
            values(ipc::FdValue{}, s("unsupported address family"), std::int32_t{0}));
      }
      UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      struct sockaddr_in addr {};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(std::get<std::uint16_t>(a.at(1)));
      if (::bind(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
          ::listen(fd.get(), 4) != 0) {
        return std::move(responder).reply(
            values(ipc::FdValue{}, s("bind failed"), std::int32_t{errno}));
      }
      return std::move(responder).reply(
          values(ipc::FdValue{std::move(fd)}, s({}), std::int32_t{0}));
    }
    if (sel == "helperVersionWithReply:") return std::move(responder).reply(values(s(" 1.2.3 ")));
    if (sel == "fetchHelperLogsSinceISO:reply:") {
      const auto since = std::get<ipc::StringValue>(a.at(0)).text.value_or("");
      if (since == "broken") {
        return std::move(responder).reply(
            values(s({}), s("failed to read helper logs: gone"), std::int32_t{0}));
      }
      // Two entries newer than anything but the second one's time.
      if (since == "2026-03-01T09:15:43.000Z")
        return std::move(responder).reply(values(s(""), s({}), std::int32_t{0}));
      return std::move(responder).reply(
          values(s("{\"ts\":\"2026-03-01T09:15:42.123Z\",\"level\":\"info\",\"message\":\"a\"}\n"
                   "{\"level\":\"error\",\"message\":\"b "
                   "\\\"ts\\\":\\\"x\\\"\",\"ts\":\"2026-03-01T09:15:43.000Z\"}"),
                 s({}), std::int32_t{0}));
    }
    if (sel == "pingWithReply:") return std::move(responder).reply(values(true));
    if (sel == "removeInstalledCLIWithReply:") {
      // The wrong shape on purpose: a client must notice.
      return std::move(responder).reply(values(true));
    }
    if (sel == "reconcileInstalledCLIWithReply:") {
      blocked.fetch_add(1);
      gate.wait();
    }
    // Every other status operation echoes its first string argument as the message.
    std::optional<std::string> echo;
    if (!a.empty()) {
      if (auto* str = std::get_if<ipc::StringValue>(&a[0])) echo = str->text;
    }
    if (a.size() == 2) {
      if (auto* uid = std::get_if<std::int64_t>(&a[1]))
        echo = echo.value_or("") + ":" + std::to_string(*uid);
    }
    std::move(responder).reply(values(false, s(echo), std::int32_t{-7}));
  }

  std::vector<std::string> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::vector<std::string> sinces() const {
    std::lock_guard lock(mutex_);
    return sinces_;
  }

  mutable std::atomic<int> blocked{0};
  mutable Gate gate;

 private:
  mutable std::mutex mutex_;
  mutable std::vector<std::string> seen_;
  mutable std::vector<std::string> sinces_;
};

// A listener in a temporary directory serving a FakeHelper to any identified peer.
struct FakeService {
  FakeService() {
    ipc::ListenerOptions options;
    options.socketPath = dir.file("s");
    listener = std::make_unique<ipc::Listener>("test", options);
    ipc::ListenerTesting::admitAnyIdentifiedPeer(*listener);
    listener->setDelegate(&delegate);
    listener->resume();
  }
  ~FakeService() {
    helper->gate.open();
    listener.reset();
  }
  std::string socket() const { return dir.file("s"); }

  TempDir dir;
  std::shared_ptr<FakeHelper> helper = std::make_shared<FakeHelper>();
  AcceptingDelegate delegate{helper};
  std::unique_ptr<ipc::Listener> listener;
};

}  // namespace tamsel::client::testing
