// The per-domain resolver files under "/etc/resolver": one file per top-level label, sending
// lookups under that label to the name server and port the client gives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/log/logger.h"
#include "platform/resolver_file_format.h"
#include "service/reply_shapes.h"

namespace tamsel {

// "/etc/resolver/" + label, or absent when label must not name a file there.
std::optional<std::string> resolverFilePath(std::string_view label);

// Operation bodies: each logs its entry line, then returns its reply.
StatusReply installResolver(const log::Logger& logger, const std::string& tld,
                            const std::string& listenAddress, std::int64_t port);
StatusReply removeResolver(const log::Logger& logger, const std::string& tld);

// The same, in directory in place of "/etc/resolver" (tests work in a scratch directory).
std::optional<std::string> resolverFilePathIn(std::string_view directory, std::string_view label);
StatusReply installResolverIn(std::string_view directory, const log::Logger& logger,
                              const std::string& tld, const std::string& listenAddress,
                              std::int64_t port);
StatusReply removeResolverIn(std::string_view directory, const log::Logger& logger,
                             const std::string& tld);

// The file's text: a comment line, a "nameserver" line and a "port" line, no final newline.
std::string resolverFileContent(std::string_view label, std::string_view listenAddress,
                                std::int64_t port);

}  // namespace tamsel
