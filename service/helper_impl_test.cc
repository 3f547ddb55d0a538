// The daemon's composition (listener, delegate, HelperImpl) driven over a real socket.
// The test binary is unsigned, so the listener admits any identified peer here; admission by
// signature is tried in the sandbox system tests.
#include "service/helper_impl.h"

#include <gtest/gtest.h>

#include "platform/identity.h"
#include "platform/ipc/ipc_test_support.h"
#include "platform/ipc/listener_testing.h"
#include "platform/testing/test_sink.h"
#include "service/helper_delegate.h"

namespace tamsel {
namespace {

using ipc::testing::RawPeer;
using ipc::testing::values;

class HelperImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ipc::ListenerOptions options;
    options.socketPath = dir.file("s");
    listener = std::make_unique<ipc::Listener>(kHelperIdentifier, options);
    ASSERT_TRUE(listener->status().ok());
    ipc::ListenerTesting::admitAnyIdentifiedPeer(*listener);
    listener->setDelegate(&delegate);
    listener->resume();
  }

  RawPeer peer() {
    RawPeer p(dir.file("s"));
    EXPECT_TRUE(p.waitHello());
    return p;
  }

  // Sends one request and returns the reply's values, or nothing when the connection ended.
  std::optional<std::vector<ipc::Value>> roundTrip(RawPeer& p, std::string selector,
                                                   std::vector<ipc::Value> args = {}) {
    EXPECT_TRUE(p.sendRequest(++lastId, std::move(selector), std::move(args)));
    auto frame = p.readFrame();
    if (!frame || !std::holds_alternative<ipc::wire::Reply>(*frame)) return std::nullopt;
    return std::get<ipc::wire::Reply>(std::move(*frame)).values;
  }

  ScratchDir dir;
  std::shared_ptr<log::TestSink> sink = std::make_shared<log::TestSink>();
  std::shared_ptr<const HelperImpl> helper = std::make_shared<const HelperImpl>(
      log::Logger(std::string(kHelperIdentifier), "helper", sink));
  HelperDelegate delegate{helper};
  std::unique_ptr<ipc::Listener> listener;
  std::uint64_t lastId = 0;
};

TEST_F(HelperImplTest, RepliesCarryTheOperationsReplyShape) {
  RawPeer p = peer();
  auto pong = roundTrip(p, "pingWithReply:");
  ASSERT_TRUE(pong && pong->size() == 1u);
  EXPECT_TRUE(std::get<bool>(pong->at(0)));

  // A null tld reaches the body as the empty string, which is refused as a label.
  auto refused =
      roundTrip(p, "installResolverWithTld:listenAddress:port:reply:",
                values(ipc::StringValue{}, ipc::StringValue{"127.0.0.1"}, std::int64_t{53}));
  ASSERT_TRUE(refused);
  ASSERT_EQ(refused->size(), 3u);
  EXPECT_FALSE(std::get<bool>(refused->at(0)));
  EXPECT_EQ(std::get<ipc::StringValue>(refused->at(1)).text,
            "Refusing to write resolver file:  is not a valid single DNS label");
  EXPECT_EQ(std::get<std::int32_t>(refused->at(2)), 0);
}

TEST_F(HelperImplTest, RequestsOutsideTheProtocolGetNoReplyAndRunNoBody) {
  struct Bad {
    std::string selector;
    std::vector<ipc::Value> (*args)();
  };
  const Bad bad[] = {
      {"unknownSelector:", [] { return values(); }},
      {"ping", [] { return values(); }},  // short names are the client's, not the wire's
      {"pingWithReply:", [] { return values(true); }},
      // port is 16 bits wide
      {"openListeningSocketWithFamily:port:reply:",
       [] { return values(std::int64_t{2}, std::int64_t{80}); }},
      {"removeResolverWithTld:reply:", [] { return values(std::int32_t{1}); }},
  };
  for (const auto& b : bad) {
    RawPeer p = peer();
    EXPECT_FALSE(roundTrip(p, b.selector, b.args())) << b.selector;
  }
  EXPECT_TRUE(sink->entries().empty()) << "a body ran for a request outside the protocol";
}

}  // namespace
}  // namespace tamsel
