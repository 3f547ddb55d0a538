#include "client/helper_client.h"

#include <sys/wait.h>

#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/testing/helper_server.h"
#include "platform/testing/reply_printers.h"

namespace tamsel::client {
namespace {

class HelperClientTest : public ::testing::Test {
 protected:
  HelperClient connect() { return HelperClient::connect(server_.socketPath()).value(); }
  // Holds a callback inside the helper until the server opens its gate.
  void callAndWait(HelperClient& helper, std::promise<Result<StatusReply>>& reply) {
    helper.chownTamselDataDir("wait", 1,
                              [&](Result<StatusReply> r) { reply.set_value(std::move(r)); });
    ASSERT_TRUE(ipc::testing::eventually([&] { return server_.helper.waiting.load() == 1; }));
  }
  HelperServer server_;
};

TEST_F(HelperClientTest, EveryOperationLeavesWithItsArgumentsAndComesBackTyped) {
  HelperClient helper = connect();
  EXPECT_EQ(helper.installResolver("test", "127.0.0.1", 53).value(), StatusReply::success());
  EXPECT_EQ(helper.installResolver("bad tld", "::1", -70000).value(),
            StatusReply::failure("bad tld|::1|-70000", 22));
  EXPECT_EQ(helper.removeResolver("r").value(), StatusReply::failure("r", -7));
  EXPECT_EQ(helper.chownTamselDataDir("/Users/alice/x", 501).value(),
            StatusReply::failure("/Users/alice/x:501", -7));
  EXPECT_EQ(helper.helperVersion()->version, " 1.2.3 ");
  EXPECT_TRUE(helper.ping()->alive);
  EXPECT_EQ(helper.fetchHelperLogsSinceISO("broken").value(),
            (LogsReply{std::nullopt, "failed to read helper logs: gone", 0}));
  EXPECT_EQ(helper.openListeningSocket(30, 8080)->message, "unsupported address family");

  auto sock = helper.openListeningSocket(2, 0);
  ASSERT_TRUE(sock.ok() && sock->handle.valid());
  EXPECT_EQ(helper.removeTrustedCACertificate("/home/a/caddy/root-ca.crt").value(),
            StatusReply::failure("removed /home/a/caddy/root-ca.crt", -7));
  EXPECT_EQ(helper.reconcileSystemCACertificate("c").value(),
            StatusReply::failure("reconciled c", -7));
  EXPECT_EQ(helper.reconcileInstalledCLI().value(), StatusReply::success());
  EXPECT_EQ(helper.removeInstalledCLI().value(), StatusReply::failure("gone"));
  // Each reply above tells its own arguments apart, but for the port.
  EXPECT_EQ(server_.requests().at(7), "openListeningSocketWithFamily:port:reply: 30 8080");
}

TEST_F(HelperClientTest, AReplyOfTheWrongShapeIsAnErrorNotAValue) {
  server_.alterReplies([](std::string_view selector, std::vector<ipc::Value>& values) {
    if (selector == "pingWithReply:") values.clear();
    if (selector == "helperVersionWithReply:") values[0] = ipc::StringValue{};  // never null
  });
  HelperClient helper = connect();
  for (const Error& e : {helper.ping().error(), helper.helperVersion().error()}) {
    EXPECT_EQ(e.code, EPROTO);
    EXPECT_NE(e.description.find("malformed reply"), std::string::npos);
  }
  EXPECT_TRUE(helper.removeResolver("r").ok());  // the connection itself is fine
}

TEST_F(HelperClientTest, CallbacksRunOnceEachAlongsideBlockingCalls) {
  HelperClient helper = connect();
  constexpr int kCalls = 200;
  std::atomic<int> answered{0}, alive{0};
  std::promise<void> all;
  for (int i = 0; i < kCalls; ++i) {
    helper.ping([&](Result<PingReply> r) {
      if (r.ok() && r->alive) alive.fetch_add(1);
      if (answered.fetch_add(1) + 1 == kCalls) all.set_value();
    });
  }
  // Blocking calls on other threads at the same time.
  std::vector<std::thread> threads;
  std::atomic<int> versions{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        if (auto v = helper.helperVersion(); v.ok() && v->version == " 1.2.3 ") versions++;
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(all.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(alive.load(), kCalls);
  EXPECT_EQ(versions.load(), 100);
}

TEST_F(HelperClientTest, AProtocolErrorEndsOnlyItsOwnConnection) {
  HelperClient helper = connect();
  std::promise<Result<StatusReply>> pending;
  callAndWait(helper, pending);
  // On a second connection: arguments that do not match the table never leave the client, and
  // an operation the helper does not know ends that connection.
  HelperClient other = connect();
  auto wrong = other.call("pingWithReply:", ipc::testing::values(true));
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().code, EINVAL);
  auto unknown = other.call("noSuchOperation:", {});
  ASSERT_FALSE(unknown.ok());
  EXPECT_NE(unknown.error().description.find("unknown selector"), std::string::npos);
  EXPECT_FALSE(other.ping().ok());  // that connection is over
  // The first one is not, and its callback completes once the body does.
  server_.helper.gate.open();
  EXPECT_EQ(pending.get_future().get().value(), StatusReply::failure("wait:1", -7));
  EXPECT_TRUE(helper.ping().ok());
}

TEST_F(HelperClientTest, DroppingTheClientAnswersPendingCallbacksWithAnError) {
  std::promise<Result<StatusReply>> pending;
  {
    HelperClient helper = connect();
    callAndWait(helper, pending);
  }
  auto f = pending.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(f.get().ok());
}

TEST_F(HelperClientTest, AForkedChildIntroducesItselfAndIsServed) {
  HelperClient helper = connect();
  ASSERT_TRUE(helper.ping().ok());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto v = helper.helperVersion();
    ::_exit(v.ok() && v->version == " 1.2.3 " ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // The parent is still one of the connection's admitted writers.
  EXPECT_TRUE(helper.ping().ok());
  EXPECT_EQ(server_.requests().size(), 3u);
}

TEST(HelperClientConnect, NotRunningAndNotAdmittedAreErrors) {
  ScratchDir dir("helper-client");
  auto none = HelperClient::connect(dir.file("nothing-here"));
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().code, ENOENT);
  // This unsigned test program is not admitted where a signature is demanded.
  HelperServer server(HelperServer::Admission::kSignedPeers);
  auto refused = HelperClient::connect(server.socketPath());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code, EACCES);
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace tamsel::client
