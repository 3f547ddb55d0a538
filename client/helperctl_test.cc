// tamsel-helperctl: its argument checks and output in-process, and the real program against a
// helper served in this process.
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/helperctl_args.h"
#include "client/helperctl_output.h"
#include "host/subprocess.h"
#include "platform/testing/helper_server.h"

namespace tamsel::client::helperctl {
namespace {

using ipc::testing::values;

Result<Invocation> parse(std::vector<std::string_view> argv) {
  return parseCommandLine(argv);
}

ipc::StringValue s(std::optional<std::string> text) {
  return ipc::StringValue{std::move(text)};
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
  EXPECT_TRUE(parse({"logs", "--follow"})->follow);
  EXPECT_EQ(parse({"logs", "--follow", "2026-01-01T00:00:00Z"})->followSince,
            "2026-01-01T00:00:00Z");
}

TEST(HelperctlArguments, BadInputIsAClearUsageError) {
  const std::pair<std::vector<std::string_view>, std::string_view> cases[] = {
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
      {{"doctor", "x"}, "doctor takes no arguments"},
  };
  for (const auto& [argv, mentions] : cases) {
    auto r = parse(argv);
    ASSERT_FALSE(r.ok()) << mentions;
    EXPECT_NE(r.error().description.find(mentions), std::string::npos) << r.error().description;
  }
  // The extremes themselves are fine.
  EXPECT_TRUE(parse({"chown-data-dir", "/p", "-9223372036854775808"}).ok());
  EXPECT_TRUE(parse({"install-resolver", "t", "a", "+9223372036854775807"}).ok());
}

TEST(HelperctlOutput, RepliesAsTextAndJsonWithTheirExitStatus) {
  const struct {
    ReplyShape shape;
    std::vector<ipc::Value> reply;
    bool json;
    std::string_view text;
    int exitCode;
  } cases[] = {
      {ReplyShape::kStatus, values(true, s({}), 0), false, "OK\n", kExitSuccess},
      {ReplyShape::kStatus, values(true, s({}), 0), true,
       "{\"ok\":true,\"message\":null,\"code\":0}\n", kExitSuccess},
      {ReplyShape::kStatus, values(false, s("no such label"), 0), false,
       "NO: no such label (code 0)\n", kExitRefused},
      {ReplyShape::kStatus, values(false, s("\"/ \xff"), 13), true,
       "{\"ok\":false,\"message\":\"\\\"\\/ \xef\xbf\xbd\",\"code\":13}\n", kExitRefused},
      {ReplyShape::kPing, values(true), true, "{\"alive\":true}\n", kExitSuccess},
      {ReplyShape::kPing, values(false), false, "NO\n", kExitRefused},
      {ReplyShape::kVersion, values(s(" 1.0 ")), true, "{\"version\":\" 1.0 \"}\n", kExitSuccess},
      {ReplyShape::kLogs, values(s({}), s("failed"), 0), false, "NO: failed (code 0)\n",
       kExitRefused},
      {ReplyShape::kLogs, values(s(""), s({}), 0), false, "", kExitSuccess},
      {ReplyShape::kSocket, values(ipc::FdValue{}, s("EADDRINUSE"), 98), true,
       "{\"fd\":null,\"message\":\"EADDRINUSE\",\"code\":98}\n", kExitRefused},
  };
  for (const auto& c : cases) {
    const Rendered r = renderReply(c.shape, c.reply, c.json);
    EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.text;
  }
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

// The real program. It makes itself non-dumpable, so only root can read the /proc entries that
// identifying it needs (the daemon is root).
class HelperctlProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "identifying a non-dumpable client needs root";
  }
  HelperSubprocess::Output run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--socket", server_.socketPath()});
    return HelperSubprocess::run(TAMSEL_HELPERCTL, args).value();
  }
  HelperServer server_;
};

TEST_F(HelperctlProgram, ExitStatusTellsSuccessRefusalAndErrors) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string_view out, err;  // the whole output; a part of standard error
  } cases[] = {
      {{"ping"}, 0, "YES\n", ""},
      {{"chown-data-dir", "/Users/bob", "502"}, 1, "NO: /Users/bob:502 (code -7)\n", ""},
      {{"open-socket", "2", "65536"}, 2, "", "port is out of range"},
      {{"--socket", "/nonexistent/socket", "ping"}, 2, "", "cannot connect"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.stderr;
    EXPECT_EQ(r.stdout, c.out) << c.args.back();
    EXPECT_NE(r.stderr.find(c.err), std::string::npos) << r.stderr;
  }
  // A descriptor in the reply is shown by its local address.
  auto fd = run({"--json", "open-socket", "2", "0"});
  EXPECT_THAT(fd.stdout,
              ::testing::MatchesRegex(
                  R"(\{"fd":\{"family":"inet","address":"0\.0\.0\.0","port":[1-9][0-9]*\},)"
                  R"("message":null,"code":0\})"
                  "\n"));
  const auto help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.stdout.find("install-resolver tld listenAddress port"), std::string::npos);
}

TEST_F(HelperctlProgram, FollowAsksAgainFromTheLastTimestamp) {
  const auto r = HelperSubprocess::run("/usr/bin/timeout",
                                       {"2.5", TAMSEL_HELPERCTL, "--socket", server_.socketPath(),
                                        "logs", "--follow", "2026-03-01T00:00:00Z"})
                     .value();
  EXPECT_EQ(r.status, 124);  // still following when stopped
  EXPECT_EQ(r.stdout, std::string(ScriptedHelper::kTwoLogLines) + "\n");  // once, then nothing new
  const auto requests = server_.requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0], "fetchHelperLogsSinceISO:reply: 2026-03-01T00:00:00Z");
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i], "fetchHelperLogsSinceISO:reply: 2026-03-01T09:15:43.000Z");
  }
}

}  // namespace
}  // namespace tamsel::client::helperctl
