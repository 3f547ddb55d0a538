#include "resolver/resolver_files.h"

#include "host/file_ops.h"
#include "host/path_under_home.h"

namespace tamsel {
namespace {

std::string parentOf(const std::string& standardised) {
  std::size_t slash = standardised.rfind('/');
  return slash == 0 ? "/" : standardised.substr(0, slash);
}

void replyFailure(StatusReply& reply, std::string_view leadIn, const Error& error) {
  reply(false, std::string(leadIn) + error.description, error.code);
}

}  // namespace

std::optional<std::string> resolverFilePathIn(std::string_view directory, std::string_view label) {
  if (!isValidDNSLabel(label)) return std::nullopt;
  std::string path = standardisePath(std::string(directory) + "/" + std::string(label));
  // A second guard: whatever the label, the file lies directly in the directory.
  if (path.empty() || parentOf(path) != standardisePath(directory)) return std::nullopt;
  return path;
}

std::optional<std::string> resolverFilePath(std::string_view label) {
  return resolverFilePathIn(kResolverDirectory, label);
}

std::string resolverFileContent(std::string_view label, std::string_view listenAddress,
                                std::int64_t port) {
  std::string text(kResolverMarkerHead);
  text += label;
  text += kResolverMarkerTail;
  text += "\nnameserver ";
  text += listenAddress;
  text += "\nport ";
  text += std::to_string(port);
  return text;
}

void installResolverIn(std::string_view directory, const HelperImpl& helper, const std::string& tld,
                       const std::string& listenAddress, std::int64_t port, StatusReply reply) {
  helper.logger().info("installResolver: tld=%{public}s, address=%{public}s, port=%ld", tld,
                       listenAddress, port);
  std::optional<std::string> path = resolverFilePathIn(directory, tld);
  if (!path) {
    reply(false, "Refusing to write resolver file: " + tld + " is not a valid single DNS label", 0);
    return;
  }
  const std::string content = resolverFileContent(tld, listenAddress, port);
  const std::string dir(directory);
  constexpr std::string_view kFailed = "Failed to write resolver file: ";
  if (!entryExists(dir)) {
    if (Status s = createDirectories(dir); !s) return replyFailure(reply, kFailed, s.error());
  }
  if (Status s = atomicWriteFile(*path, content); !s) {
    return replyFailure(reply, kFailed, s.error());
  }
  reply(true, std::nullopt, 0);
}

void removeResolverIn(std::string_view directory, const HelperImpl& helper, const std::string& tld,
                      StatusReply reply) {
  helper.logger().info("removeResolver: tld=%{public}s", tld);
  std::optional<std::string> path = resolverFilePathIn(directory, tld);
  if (!path) {
    reply(false, "Refusing to remove resolver file: " + tld + " is not a valid single DNS label",
          0);
    return;
  }
  // A link whose target is missing counts as no file: it is left alone.
  if (!entryExists(*path)) {
    reply(true, std::nullopt, 0);
    return;
  }
  if (Status s = removeItem(*path); !s) {
    return replyFailure(reply, "Failed to remove resolver file: ", s.error());
  }
  reply(true, std::nullopt, 0);
}

void installResolver(const HelperImpl& helper, const std::string& tld,
                     const std::string& listenAddress, std::int64_t port, StatusReply reply) {
  installResolverIn(kResolverDirectory, helper, tld, listenAddress, port, std::move(reply));
}

void removeResolver(const HelperImpl& helper, const std::string& tld, StatusReply reply) {
  removeResolverIn(kResolverDirectory, helper, tld, std::move(reply));
}

}  // namespace tamsel
