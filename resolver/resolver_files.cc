#include "resolver/resolver_files.h"

#include "platform/files.h"
#include "host/path_under_home.h"

namespace tamsel {
namespace {

std::string parentOf(const std::string& standardised) {
  std::size_t slash = standardised.rfind('/');
  return slash == 0 ? "/" : standardised.substr(0, slash);
}

StatusReply failure(std::string_view leadIn, const Error& error) {
  return StatusReply::failure(std::string(leadIn) + error.description, error.code);
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

StatusReply installResolverIn(std::string_view directory, const log::Logger& logger,
                              const std::string& tld, const std::string& listenAddress,
                              std::int64_t port) {
  logger.info("installResolver: tld=%{public}s, address=%{public}s, port=%ld", tld, listenAddress,
              port);
  std::optional<std::string> path = resolverFilePathIn(directory, tld);
  if (!path) {
    return StatusReply::failure("Refusing to write resolver file: " + tld +
                                " is not a valid single DNS label");
  }
  const std::string content = resolverFileContent(tld, listenAddress, port);
  const std::string dir(directory);
  constexpr std::string_view kFailed = "Failed to write resolver file: ";
  if (!entryExists(dir)) {
    if (Status s = createDirectories(dir); !s) return failure(kFailed, s.error());
  }
  if (Status s = atomicWriteFile(*path, content); !s) return failure(kFailed, s.error());
  return StatusReply::success();
}

StatusReply removeResolverIn(std::string_view directory, const log::Logger& logger,
                             const std::string& tld) {
  logger.info("removeResolver: tld=%{public}s", tld);
  std::optional<std::string> path = resolverFilePathIn(directory, tld);
  if (!path) {
    return StatusReply::failure("Refusing to remove resolver file: " + tld +
                                " is not a valid single DNS label");
  }
  // A link whose target is missing counts as no file: it is left alone.
  if (!entryExists(*path)) return StatusReply::success();
  if (Status s = removeItem(*path); !s) {
    return failure("Failed to remove resolver file: ", s.error());
  }
  return StatusReply::success();
}

StatusReply installResolver(const log::Logger& logger, const std::string& tld,
                            const std::string& listenAddress, std::int64_t port) {
  return installResolverIn(kResolverDirectory, logger, tld, listenAddress, port);
}

StatusReply removeResolver(const log::Logger& logger, const std::string& tld) {
  return removeResolverIn(kResolverDirectory, logger, tld);
}

}  // namespace tamsel
