#include "client/helper_client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <future>

#include <gtest/gtest.h>

#include "client/client_test_support.h"

namespace tamsel::client {
namespace {

using namespace testing;

class HelperClientTest : public ::testing::Test {
 protected:
  HelperClient connect() {
    auto c = HelperClient::connect(service.socket());
    EXPECT_TRUE(c.ok()) << (c.ok() ? "" : c.error().description);
    return std::move(*c);
  }
  FakeService service;
};

TEST_F(HelperClientTest, EveryOperationArrivesWithItsArgumentsAndComesBackTyped) {
  HelperClient helper = connect();
  auto ok = helper.installResolver("test", "127.0.0.1", 53);
  ASSERT_TRUE(ok.ok());
  EXPECT_TRUE(ok->ok);
  EXPECT_FALSE(ok->message.has_value());
  auto no = helper.installResolver("bad tld", "127.0.0.1", -70000);
  ASSERT_TRUE(no.ok());
  EXPECT_FALSE(no->ok);
  EXPECT_EQ(no->message, "Refusing to write resolver file: \"bad tld\"\n/-70000");

  EXPECT_EQ(helper.removeResolver("r")->message, "r");
  EXPECT_EQ(helper.removeTrustedCACertificate("/home/a/caddy/root-ca.crt")->message,
            "/home/a/caddy/root-ca.crt");
  EXPECT_EQ(helper.reconcileSystemCACertificate("c")->message, "c");
  auto chown = helper.chownTamselDataDir("/Users/alice/x", 501);
  ASSERT_TRUE(chown.ok());
  EXPECT_EQ(chown->message, "/Users/alice/x:501");
  EXPECT_EQ(chown->code, -7);
  EXPECT_EQ(helper.helperVersion()->version, " 1.2.3 ");
  EXPECT_TRUE(helper.ping()->alive);
  auto logs = helper.fetchHelperLogsSinceISO("broken");
  ASSERT_TRUE(logs.ok());
  EXPECT_FALSE(logs->text.has_value());
  EXPECT_EQ(logs->message, "failed to read helper logs: gone");

  auto sock = helper.openListeningSocket(2, 0);
  ASSERT_TRUE(sock.ok());
  ASSERT_TRUE(sock->handle.valid());
  // A live listening socket of our own now: a connection to it is accepted.
  struct sockaddr_in addr {};
  socklen_t len = sizeof(addr);
  ASSERT_EQ(::getsockname(sock->handle.get(), reinterpret_cast<struct sockaddr*>(&addr), &len), 0);
  UniqueFd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(c.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
  UniqueFd accepted(::accept4(sock->handle.get(), nullptr, nullptr, SOCK_CLOEXEC));
  EXPECT_TRUE(accepted.valid());
  auto refused = helper.openListeningSocket(30, 8080);
  ASSERT_TRUE(refused.ok());
  EXPECT_FALSE(refused->handle.valid());
  EXPECT_EQ(refused->message, "unsupported address family");
  EXPECT_EQ(service.helper->seen().size(), 11u);
}

TEST_F(HelperClientTest, AReplyOfTheWrongShapeIsAnErrorNotAValue) {
  HelperClient helper = connect();
  auto r = helper.removeInstalledCLI();
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().description.find("malformed reply"), std::string::npos);
  // The connection itself is fine.
  EXPECT_TRUE(helper.ping().ok());
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
        if (auto v = helper.helperVersion(); v.ok() && v->version == " 1.2.3 ")
          versions.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(all.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(alive.load(), kCalls);
  EXPECT_EQ(versions.load(), 100);
  // A descriptor in a callback reply arrives open too.
  std::promise<bool> got;
  helper.openListeningSocket(
      2, 0, [&](Result<SocketReply> r) { got.set_value(r.ok() && r->handle.valid()); });
  EXPECT_TRUE(got.get_future().get());
}

TEST_F(HelperClientTest, AProtocolErrorEndsTheConnectionForEveryCaller) {
  HelperClient helper = connect();
  // A pending callback, held inside the helper.
  std::promise<Result<StatusReply>> pending;
  helper.reconcileInstalledCLI([&](Result<StatusReply> r) { pending.set_value(std::move(r)); });
  ASSERT_TRUE(eventually([&] { return service.helper->blocked.load() == 1; }));
  // Arguments that do not match the table never leave the client.
  auto wrong = helper.call("pingWithReply:", tamsel::ipc::testing::values(true));
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().code, EINVAL);
  // A second connection asks for something the helper does not know.
  HelperClient other = connect();
  auto unknown = other.call("noSuchOperation:", {});
  ASSERT_FALSE(unknown.ok());
  EXPECT_NE(unknown.error().description.find("unknown selector"), std::string::npos);
  EXPECT_FALSE(other.ping().ok());  // that connection is over
  // The first connection is unaffected and its callback completes once the body does.
  service.helper->gate.open();
  auto r = pending.get_future().get();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->code, -7);
  EXPECT_TRUE(helper.ping().ok());
}

TEST_F(HelperClientTest, DroppingTheClientAnswersPendingCallbacksWithAnError) {
  std::promise<Result<StatusReply>> pending;
  {
    HelperClient helper = connect();
    helper.reconcileInstalledCLI([&](Result<StatusReply> r) { pending.set_value(std::move(r)); });
    ASSERT_TRUE(eventually([&] { return service.helper->blocked.load() == 1; }));
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
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent is still one of the connection's admitted writers.
  EXPECT_TRUE(helper.ping().ok());
  EXPECT_EQ(service.helper->seen().size(), 3u);
}

TEST(HelperClientConnect, NotRunningAndNotAdmittedAreErrors) {
  TempDir dir;
  auto none = HelperClient::connect(dir.file("nothing-here"));
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().code, ENOENT);

  // A real requirement: this unsigned test program is not admitted.
  ipc::ListenerOptions options;
  options.socketPath = dir.file("s");
  ipc::Listener listener("test", options);
  listener.setConnectionCodeSigningRequirement("anchor apple generic");
  auto handler = std::make_shared<RecordingHandler>();
  AcceptingDelegate delegate(handler);
  listener.setDelegate(&delegate);
  listener.resume();
  auto refused = HelperClient::connect(dir.file("s"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code, EACCES);
  EXPECT_EQ(handler->calls.load(), 0);
}

}  // namespace
}  // namespace tamsel::client
