// tamsel-helperctl: its argument checks and output in-process, and the real program run against
// a listener.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "client/client_test_support.h"
#include "client/helperctl_args.h"
#include "client/helperctl_output.h"
#include "platform/identity.h"

extern char** environ;

namespace tamsel::client::helperctl {
namespace {

using namespace tamsel::client::testing;

Result<Invocation> parse(std::vector<std::string_view> argv) {
  return parseCommandLine(argv);
}

TEST(HelperctlArguments, OperationsByShortNameOrSelectorWithTypedArguments) {
  auto a = parse({"--json", "--socket", "/tmp/x", "install-resolver", "test", "127.0.0.1", "53"});
  ASSERT_TRUE(a.ok()) << a.error().description;
  EXPECT_TRUE(a->json);
  EXPECT_EQ(a->socketPath, "/tmp/x");
  EXPECT_EQ(a->operation->selector, "installResolverWithTld:listenAddress:port:reply:");
  EXPECT_EQ(std::get<std::int64_t>(a->args.at(2)), 53);

  auto b = parse({"openListeningSocketWithFamily:port:reply:", "-1", "65535"});
  ASSERT_TRUE(b.ok()) << b.error().description;
  EXPECT_EQ(std::get<std::int64_t>(b->args.at(0)), -1);  // a negative number is no option
  EXPECT_EQ(std::get<std::uint16_t>(b->args.at(1)), 65535);
  EXPECT_EQ(parse({"ping"})->socketPath, tamsel::kServiceSocketPath);
  EXPECT_TRUE(parse({"--help"})->help);

  auto f = parse({"logs", "--follow"});
  ASSERT_TRUE(f.ok());
  EXPECT_TRUE(f->follow);
  EXPECT_FALSE(f->followSince.has_value());
  EXPECT_EQ(parse({"logs", "--follow", "2026-01-01T00:00:00Z"})->followSince,
            "2026-01-01T00:00:00Z");
}

TEST(HelperctlArguments, BadInputIsAClearUsageError) {
  struct Case {
    std::vector<std::string_view> argv;
    std::string_view mentions;
  };
  const std::vector<Case> cases = {
      {{"open-socket", "2", "65536"}, "port is out of range (0 to 65535)"},
      {{"open-socket", "2", "-1"}, "port is out of range"},
      {{"open-socket", "2", "80x"}, "port must be an integer"},
      {{"open-socket", "2", ""}, "port must be an integer"},
      {{"open-socket", "0x2", "80"}, "family must be an integer"},
      {{"install-resolver", "t", "a", "9223372036854775808"}, "port is out of range"},
      {{"chown-data-dir", "/p", "-9223372036854775809"}, "toUid is out of range"},
      {{"install-resolver", "t", "a"},
       "install-resolver takes 3 arguments (tld listenAddress port), got 2"},
      {{"ping", "extra"}, "ping takes 0 arguments, got 1"},
      {{"frobnicate"}, "unknown operation frobnicate"},
      {{"--colour", "ping"}, "unknown option --colour"},
      {{"--socket"}, "--socket needs a path"},
      {{}, "no operation given"},
      {{"logs", "--follow", "a", "b"}, "at most one argument"},
  };
  for (const auto& c : cases) {
    auto r = parse(c.argv);
    ASSERT_FALSE(r.ok()) << c.mentions;
    EXPECT_NE(r.error().description.find(c.mentions), std::string::npos) << r.error().description;
  }
  // The extremes themselves are fine.
  EXPECT_TRUE(parse({"chown-data-dir", "/p", "-9223372036854775808"}).ok());
  EXPECT_TRUE(parse({"install-resolver", "t", "a", "+9223372036854775807"}).ok());
}

TEST(HelperctlOutput, RepliesAsTextAndJsonWithTheirExitStatus) {
  auto status = [](bool ok, std::optional<std::string> m, std::int32_t code, bool json) {
    return renderReply(ReplyShape::kStatus, ipc::testing::values(ok, s(std::move(m)), code), json);
  };
  EXPECT_EQ(status(true, {}, 0, false).text, "OK\n");
  EXPECT_EQ(status(true, {}, 0, true).text, "{\"ok\":true,\"message\":null,\"code\":0}\n");
  auto no = status(false, "Refusing \"x\"\n\\ /\x01 caf\xc3\xa9 \xff", 13, true);
  EXPECT_EQ(no.exitCode, kExitRefused);
  EXPECT_EQ(
      no.text,
      "{\"ok\":false,\"message\":\"Refusing \\\"x\\\"\\n\\\\ \\/\\u0001 caf\xc3\xa9 \xef\xbf\xbd\","
      "\"code\":13}\n");
  EXPECT_EQ(status(false, "no such label", 0, false).text, "NO: no such label (code 0)\n");

  EXPECT_EQ(renderReply(ReplyShape::kPing, ipc::testing::values(true), true).text,
            "{\"alive\":true}\n");
  EXPECT_EQ(renderReply(ReplyShape::kPing, ipc::testing::values(false), false).exitCode,
            kExitRefused);
  EXPECT_EQ(renderReply(ReplyShape::kVersion, ipc::testing::values(s(" 1.0 ")), true).text,
            "{\"version\":\" 1.0 \"}\n");
  auto logsNull = renderReply(ReplyShape::kLogs,
                              ipc::testing::values(s({}), s("failed"), std::int32_t{0}), false);
  EXPECT_EQ(logsNull.exitCode, kExitRefused);
  auto logsEmpty =
      renderReply(ReplyShape::kLogs, ipc::testing::values(s(""), s({}), std::int32_t{0}), false);
  EXPECT_EQ(logsEmpty.exitCode, kExitSuccess);
  EXPECT_EQ(logsEmpty.text, "");

  // A socket reply shows the descriptor's local address.
  UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in6 addr {};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
  socklen_t len = sizeof(addr);
  ::getsockname(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), &len);
  const std::string port = std::to_string(ntohs(addr.sin6_port));
  auto sock =
      renderReply(ReplyShape::kSocket,
                  ipc::testing::values(ipc::FdValue{std::move(fd)}, s({}), std::int32_t{0}), true);
  EXPECT_EQ(sock.text, "{\"fd\":{\"family\":\"inet6\",\"address\":\"::1\",\"port\":" + port +
                           "},\"message\":null,\"code\":0}\n");
  auto noSock =
      renderReply(ReplyShape::kSocket,
                  ipc::testing::values(ipc::FdValue{}, s("EADDRINUSE"), std::int32_t{98}), true);
  EXPECT_EQ(noSock.exitCode, kExitRefused);
  EXPECT_EQ(noSock.text, "{\"fd\":null,\"message\":\"EADDRINUSE\",\"code\":98}\n");
}

TEST(HelperctlOutput, FollowPicksUpFromTheLastLineTime) {
  EXPECT_EQ(lastTimestamp("{\"ts\":\"A\"}\n{\"message\":\"\\\"ts\\\":\\\"fake\\\"\",\"ts\":\"B\"}"),
            "B");
  EXPECT_EQ(lastTimestamp("{\"ts\":\"A\"}\n"), "A");
  EXPECT_FALSE(lastTimestamp("").has_value());
  EXPECT_EQ(
      isoTimestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(1772356542123))),
      "2026-03-01T09:15:42.123Z");
}

// The real program, against a listener in this process.
struct Run {
  int exitCode = -1;
  std::string out, err;
};

// tamsel-helperctl makes itself non-dumpable; only root can then read its /proc entries, which
// identifying it needs (the daemon is root).
#define SKIP_UNLESS_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "identifying a non-dumpable client needs root"

Run helperctl(std::vector<std::string> args, int killAfterMs = 0) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  UniqueFd outR(out[0]), outW(out[1]), errR(err[0]), errW(err[1]);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, outW.get(), 1);
  posix_spawn_file_actions_adddup2(&fa, errW.get(), 2);
  args.insert(args.begin(), TAMSEL_HELPERCTL);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  const int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return {};
  outW.reset();
  errW.reset();
  if (killAfterMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
    ::kill(pid, SIGTERM);
  }
  Run r;
  auto drain = [](int fd, std::string& into) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof(buf))) > 0) into.append(buf, static_cast<std::size_t>(n));
  };
  drain(outR.get(), r.out);
  drain(errR.get(), r.err);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return r;
}

TEST(HelperctlProgram, ExitStatusTellsSuccessRefusalAndErrors) {
  SKIP_UNLESS_ROOT();
  FakeService service;
  const std::string sock = service.socket();
  auto ping = helperctl({"--socket", sock, "ping"});
  EXPECT_EQ(ping.exitCode, 0);
  EXPECT_EQ(ping.out, "YES\n");

  auto ok =
      helperctl({"--json", "--socket", sock,
                 "installResolverWithTld:listenAddress:port:reply:", "test", "127.0.0.1", "53"});
  EXPECT_EQ(ok.exitCode, 0);
  EXPECT_EQ(ok.out, "{\"ok\":true,\"message\":null,\"code\":0}\n");

  auto refused = helperctl({"--socket", sock, "chown-data-dir", "/Users/bob", "502"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out, "NO: /Users/bob:502 (code -7)\n");

  auto fd = helperctl({"--json", "--socket", sock, "open-socket", "2", "0"});
  EXPECT_EQ(fd.exitCode, 0);
  EXPECT_EQ(fd.out.rfind("{\"fd\":{\"family\":\"inet\",\"address\":\"127.0.0.1\",\"port\":", 0), 0u)
      << fd.out;

  auto usage = helperctl({"--socket", sock, "open-socket", "2", "65536"});
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_NE(usage.err.find("port is out of range"), std::string::npos);

  auto gone = helperctl({"--socket", service.dir.file("nothing"), "ping"});
  EXPECT_EQ(gone.exitCode, 2);
  EXPECT_NE(gone.err.find("cannot connect"), std::string::npos);

  // Something the helper refuses to dispatch ends the connection: an error, not a refusal.
  auto broken = helperctl({"--socket", sock, "remove-cli"});
  EXPECT_EQ(broken.exitCode, 2);
  EXPECT_NE(broken.err.find("malformed reply"), std::string::npos);

  auto help = helperctl({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("install-resolver tld listenAddress port"), std::string::npos);
}

TEST(HelperctlProgram, NotAdmittedIsAConnectionError) {
  SKIP_UNLESS_ROOT();
  TempDir dir;
  ipc::ListenerOptions options;
  options.socketPath = dir.file("s");
  ipc::Listener listener("test", options);
  listener.setConnectionCodeSigningRequirement("anchor apple generic");
  auto handler = std::make_shared<RecordingHandler>();
  AcceptingDelegate delegate(handler);
  listener.setDelegate(&delegate);
  listener.resume();
  auto r = helperctl({"--socket", dir.file("s"), "ping"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("refused this client"), std::string::npos) << r.err;
  EXPECT_EQ(handler->calls.load(), 0);
}

TEST(HelperctlProgram, FollowAsksAgainFromTheLastTimestamp) {
  SKIP_UNLESS_ROOT();
  FakeService service;
  auto r =
      helperctl({"--socket", service.socket(), "logs", "--follow", "2026-03-01T00:00:00Z"}, 2500);
  EXPECT_EQ(r.exitCode, -SIGTERM);
  // The two lines once, then nothing new.
  EXPECT_EQ(r.out,
            "{\"ts\":\"2026-03-01T09:15:42.123Z\",\"level\":\"info\",\"message\":\"a\"}\n"
            "{\"level\":\"error\",\"message\":\"b "
            "\\\"ts\\\":\\\"x\\\"\",\"ts\":\"2026-03-01T09:15:43.000Z\"}\n");
  const auto sinces = service.helper->sinces();
  ASSERT_GE(sinces.size(), 2u);
  EXPECT_EQ(sinces[0], "2026-03-01T00:00:00Z");
  for (std::size_t i = 1; i < sinces.size(); ++i) EXPECT_EQ(sinces[i], "2026-03-01T09:15:43.000Z");
}

}  // namespace
}  // namespace tamsel::client::helperctl
