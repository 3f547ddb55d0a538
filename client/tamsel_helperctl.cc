// tamsel-helperctl: calls one operation of the helper and prints the reply.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "client/helper_client.h"
#include "client/helperctl_args.h"
#include "client/helperctl_doctor.h"
#include "client/helperctl_output.h"
#include "client/helperctl_status.h"
#include "platform/build_version.h"

using namespace tamsel;
using namespace tamsel::client;
using namespace tamsel::client::helperctl;

namespace {

// A full export means more may be waiting: ask again at once.
constexpr std::size_t kFullExportLines = 500;
constexpr auto kFollowInterval = std::chrono::seconds(1);

int fail(const std::string& message) {
  std::fprintf(stderr, "tamsel-helperctl: %s\n", message.c_str());
  return kExitUsage;
}

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::size_t lineCount(const std::string& text) {
  if (text.empty()) return 0;
  std::size_t n = 1;
  for (char c : text) n += c == '\n';
  return n;
}

// Like `journalctl -f`: each export starts after the last line already printed.
int follow(HelperClient& helper, const Invocation& inv) {
  std::string since = inv.followSince.value_or(
      isoTimestamp(std::chrono::system_clock::now() - std::chrono::minutes(1)));
  for (;;) {
    auto reply = helper.fetchHelperLogsSinceISO(since);
    if (!reply) return fail(reply.error().description);
    if (!reply->text) {
      // The store may come back; say so and keep trying.
      std::fprintf(stderr, "tamsel-helperctl: %s\n",
                   reply->message.value_or("the helper could not read its logs").c_str());
    } else if (!reply->text->empty()) {
      print(*reply->text + "\n");
      if (auto last = lastTimestamp(*reply->text)) since = *last;
      if (lineCount(*reply->text) >= kFullExportLines) continue;
    }
    std::this_thread::sleep_for(kFollowInterval);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto inv = parseCommandLine(args);
  if (!inv) {
    std::fprintf(stderr, "tamsel-helperctl: %s\nTry 'tamsel-helperctl --help'.\n",
                 inv.error().description.c_str());
    return kExitUsage;
  }
  if (inv->help) {
    print(usage());
    return kExitSuccess;
  }
  if (inv->version) {
    print("tamsel-helperctl " + std::string(productVersion()) + "\n");
    return kExitSuccess;
  }
  if (inv->local == LocalCommand::kStatus) {
    const StatusFacts facts = gatherStatus(inv->socketPath);
    print(renderStatus(facts, inv->json));
    return statusExitCode(facts);
  }
  if (inv->local == LocalCommand::kDoctor) {
    const auto findings = doctor();
    print(renderFindings(findings, inv->json));
    return findingsExitCode(findings);
  }
  auto helper = HelperClient::connect(inv->socketPath);
  if (!helper) return fail(helper.error().description);
  if (inv->follow) return follow(*helper, *inv);

  auto reply = helper->call(inv->operation->selector, std::move(inv->args));
  if (!reply) return fail(reply.error().description);
  const Rendered out = renderReply(inv->operation->reply, *reply, inv->json);
  print(out.text);
  return out.exitCode;
}
